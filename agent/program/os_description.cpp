#include "agent/program/os_description.h"

#include <mutex>

#include "platform/win/os_version.h"

namespace bx::program {

bool QueryOsFacts(bx::feedback::OsFacts& facts) {
    bx::win::OsVersion version;
    if (!bx::win::ReadOsVersion(version)) return false;
    facts.major = version.major;
    facts.minor = version.minor;
    facts.build = version.build;
    facts.productType = version.productType;
    facts.suiteMask = version.suiteMask;
    facts.servicePack = version.servicePack;
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
