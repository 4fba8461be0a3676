#include "platform/version_info.h"

#include <windows.h>

#include <vector>

namespace bx::host {

bool GetProductVersion(ProductVersion& version) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info ||
        infoSize < sizeof(VS_FIXEDFILEINFO))
        return false;
    version.parts[0] = HIWORD(info->dwProductVersionMS);
    version.parts[1] = LOWORD(info->dwProductVersionMS);
    version.parts[2] = HIWORD(info->dwProductVersionLS);
    version.parts[3] = LOWORD(info->dwProductVersionLS);
    return true;
}

}  // namespace bx::host
