#include "agent/program/os_description.h"

#include <windows.h>

#include <mutex>

namespace bx::program {

bool QueryOsFacts(bx::feedback::OsFacts& facts) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
    facts.major = info.dwMajorVersion;
    facts.minor = info.dwMinorVersion;
    facts.build = info.dwBuildNumber;
    facts.productType = info.wProductType;
    facts.suiteMask = info.wSuiteMask;
    facts.servicePack = info.szCSDVersion;
    return true;
}

const std::wstring& OperatingSystemDescription() {
    static std::once_flag once;
    static std::wstring description;
    std::call_once(once, [] {
        bx::feedback::OsFacts facts;
        if (QueryOsFacts(facts)) description = bx::feedback::OsDescription(facts);
    });
    return description;
}

}  // namespace bx::program
