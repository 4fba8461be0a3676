// Crash dumps of the agent service. While installed, an unhandled exception on
// any thread writes a minidump of the process as "HVNCrash.dmp" next to the
// executable (the previous dump kept as "HVNCrash_old.dmp"), then logs one
// line through the service's logger, turns off the system's crash dialog and
// lets the process end.
//
// The dump and its temporary file grant SYSTEM and Administrators only (a
// dump holds the process's memory: names, the shared key).
//
// Everything the filter needs (paths, that security descriptor, a thread
// that writes the dump) is made at the first installation and kept for the
// process's life: the filter itself allocates nothing and needs little
// stack, so it works on a thread that overflowed its stack too, and a crash
// racing the filter's removal never meets freed state. The dump is written to
// "HVNCrash.tmp" and only a complete dump is renamed to "HVNCrash.dmp"; an
// incomplete one is deleted, and the dumps that were there stay as they were.
//
// The filter cannot hang: the dump comes first and is given up when it makes
// no progress for a few seconds (its writer stuck on a lock the crashed
// thread holds); the log line is written only when the logger can be entered
// without waiting (BXLog_TryLog), with a bound of its own.
#pragma once
#include <windows.h>

#include <cstdint>

class CBXLogger;

namespace bx::service {

constexpr wchar_t kCrashDumpName[] = L"HVNCrash.dmp";
constexpr wchar_t kCrashDumpOldName[] = L"HVNCrash_old.dmp";
constexpr wchar_t kCrashDumpTempName[] = L"HVNCrash.tmp";

// Installs the filter as the process's unhandled-exception filter.
// loggerReference points at the service's crash-logger pointer (it may be
// null, and may hold null): the filter logs through the logger it holds at the
// time of the crash. Installing again only changes the logger reference.
// Returns 0 or the Windows error that kept the filter from being installed.
uint32_t InstallCrashHandler(CBXLogger* const* loggerReference);

// Removes the filter (the platform's default handling applies again) and
// forgets the logger reference. When a crash is being handled at that moment,
// waits (bounded) for its filter, so that the caller may free the logger
// afterwards.
void RemoveCrashHandler();

// The filter itself: dumps, logs, sets the no-fault-error-box mode, returns 1.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exceptionPointers);

}  // namespace bx::service
