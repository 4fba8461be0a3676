#include "platform/win/os_version.h"

#include <windows.h>

namespace bx::win {

bool ReadOsVersion(OsVersion& version) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    // Deprecated, and answered as the manifest's supported OS says; the
    // documents ask for this record's fields (service pack, suite, product type).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
#pragma GCC diagnostic pop
    version.platformId = info.dwPlatformId;
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    version.build = info.dwBuildNumber;
    version.servicePack = info.szCSDVersion;
    version.suiteMask = info.wSuiteMask;
    version.productType = info.wProductType;
    return true;
}

bool IsVistaOrLater() {
    OsVersion version;
    return ReadOsVersion(version) && version.platformId == VER_PLATFORM_WIN32_NT && version.major > 5;
}

}  // namespace bx::win
