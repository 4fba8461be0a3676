// The snoop driver stand-in as a kernel driver service, and its device as a
// feeder uses it. Windows only; shared by snoopctl and the driver's tests.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "agent/snoop/snoop_event.h"

namespace bx::sim {

// What failed, for a message such as "StartServiceW failed Error:1058".
struct DriverFailure {
    std::wstring step;
    uint32_t error = 0;
};

// "%SystemRoot%\system32\drivers\bxhvnd.sys" expanded: where Windows loads
// the driver from.
std::wstring InstalledDriverPath();

// Makes the kernel service "bxhvnd" run the driver file sysPath: stops a
// running service, copies the file to InstalledDriverPath(), creates the
// service (SERVICE_KERNEL_DRIVER, demand start) or corrects an existing one,
// starts it and waits up to 10 s until it runs. Safe to repeat.
// Returns 0 or the Windows error, with the failing step in failure.
uint32_t LoadDriverService(const std::wstring& sysPath, DriverFailure& failure);

// Stops the service (waiting up to 10 s), deletes it and its installed file.
// A service that does not exist is no error; wasLoaded tells whether it did.
uint32_t UnloadDriverService(DriverFailure& failure, bool* wasLoaded = nullptr);

// Sends one record through the inject control code on a handle opened for
// synchronous I/O. Returns 0 or the Windows error (1450,
// ERROR_NO_SYSTEM_RESOURCES, when the driver's queue is full).
uint32_t InjectSnoopEvent(HANDLE device, const snoop_event_t& event);

}  // namespace bx::sim
