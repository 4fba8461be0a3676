// The installation-information form that the agent posts at every service
// start, and the values it reports: the version text of the installer's
// product version, the operating-system description, the report text and the
// form body. Portable: the Windows side gathers the facts (feedback_post.cpp,
// os_description.cpp) and hands them here.
#pragma once
#include <cstdint>
#include <string>

namespace bx::feedback {

// Form fields.
constexpr wchar_t kExtAppName[] = L"HVN";
constexpr wchar_t kSubject[] = L"Ostrand Brontavex Halvern Installation Information";
constexpr wchar_t kProductLine[] = L"Ostrand Brontavex Halvern";
constexpr wchar_t kArchitecture[] = L"64-bit";
constexpr wchar_t kContentTypeHeader[] = L"Content-Type: application/x-www-form-urlencoded";
// The host name when the system cannot give one.
constexpr wchar_t kUnavailable[] = L"Unavailable";

// The installer's "Version" property (decimal text) as a signed 32-bit number:
// base 10, leading white space and a sign allowed, digits up to the first
// other character; values beyond the range clip to the largest (or smallest)
// 32-bit value. No digits give 0.
int32_t ParseInstallerVersion(const std::wstring& text);

// The installer's ProductVersion property ("major.minor.build", each part
// decimal: major and minor 0-255, build 0-65535, a fourth part ignored) as
// the number the "Version" property holds (major << 24 | minor << 16 |
// build). False for anything else.
bool ParseProductVersion(const std::wstring& text, int32_t& version);

// "major.minor.build" of an installer version number: bits 24-31, 16-23 and
// 0-7 (the third number is the low 8 bits, not 16): 50331720 gives "3.0.72".
std::wstring VersionText(int32_t version);

// What the operating system says about itself (OSVERSIONINFOEXW's fields).
struct OsFacts {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint8_t productType = 0;  // 1 workstation, 2 domain controller, 3 server
    uint16_t suiteMask = 0;   // 0x200: personal (Home) edition
    std::wstring servicePack;
};
constexpr uint8_t kWorkstation = 1;
constexpr uint8_t kDomainController = 2;
constexpr uint8_t kServer = 3;
constexpr uint16_t kSuitePersonal = 0x200;

// Base name (5.0 Windows 2000, 5.1 XP, other 5.x "5.%02u", 6.x Vista, other
// "%u.%02u"), edition, then " major.minor.build <service pack> Build <build>".
std::wstring OsDescription(const OsFacts& facts);

// The report text (the form's Comment): six lines joined by line feeds.
std::wstring ReportText(const std::wstring& version, const std::wstring& hostName, const std::wstring& installationId,
                        const std::wstring& osDescription);

// "ExtAppName=HVN&Subject=...&Comment=<report>&FromEmailID=<mailbox>&Username=<mailbox>",
// values as they are (no URL encoding).
std::wstring FormBody(const std::wstring& reportText, const std::wstring& mailbox);

}  // namespace bx::feedback
