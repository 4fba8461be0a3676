// The agent service as the Service Control Manager and the registry describe
// it, and the tool's registry reads.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// Whether the service's current state is SERVICE_RUNNING (pending states
// count as not running). 0, or the Windows error of the failing step.
DWORD TSRGetServiceStatus(const std::wstring& serviceName, bool& running);

struct ServiceDetails {
    std::wstring status;       // "Running", "Not running", "Not installed", "Failed to get"
    std::wstring version;      // file version of the service's program, or empty
    std::wstring displayName;  // or empty
};
// Always succeeds; a text that cannot be obtained is empty.
ServiceDetails GetServiceDetails(const std::wstring& serviceName);

namespace bx::tool {

// A string value: read into a 2048-byte buffer, again into one of the
// reported size when that is too small. 0 or the error of the open or the
// read (text empty).
DWORD ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& text);
// A 32-bit value; 0 or the error (value untouched).
DWORD ReadRegistryDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value);

}  // namespace bx::tool
