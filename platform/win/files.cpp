// Whole files on Windows.
#include "platform/files.h"

#include <windows.h>

#include "platform/win/admin_security.h"
#include "platform/win/handles.h"

namespace bx::files {
wchar_t PathSeparator() { return L'\\'; }

std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    if (dir.empty()) return name;
    std::wstring path = dir;
    if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
    return path + name;
}

uint32_t WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
    if (size > 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
    bx::win::AdminOnlySecurity security;
    if (security.Error()) return security.Error();
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         security.Attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    // A file that was there keeps its DACL: it is given the new one before
    // anything of it changes.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (uint32_t error = bx::win::RestrictFileToAdministrators(file.get())) return error;
        if (!SetEndOfFile(file.get())) return GetLastError();
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr)) return GetLastError();
    if (written != size) return ERROR_DISK_FULL;
    return bx::win::CloseNow(file);
}

uint32_t ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    uint8_t chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            const DWORD error = GetLastError();
            bytes.clear();
            return error;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return 0;
}

uint32_t DeleteFileAt(const std::wstring& path) {
    if (!DeleteFileW(path.c_str())) return GetLastError();
    return 0;
}

}  // namespace bx::files
