// The system's own version record (GetVersionExW with OSVERSIONINFOEXW): the
// one reader behind the feedback post's operating-system description, the
// troubleshooting report's OS name and summary, and the tool's choice of the
// elevation verb.
#pragma once
#include <cstdint>
#include <string>

namespace bx::win {

struct OsVersion {
    uint32_t platformId = 0;  // VER_PLATFORM_WIN32_NT (2) on every NT system
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    std::wstring servicePack;  // the CSD text, may be empty
    uint16_t suiteMask = 0;
    uint8_t productType = 0;  // VER_NT_WORKSTATION (1), domain controller (2), server (3)
};

// True with the record; false (version untouched) when the call fails.
bool ReadOsVersion(OsVersion& version);

// An NT system of major version 6 or later (Vista on): the one that has
// integrity levels and asks for elevation ("RunAs").
bool IsVistaOrLater();

}  // namespace bx::win
