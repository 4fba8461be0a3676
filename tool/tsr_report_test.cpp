// The troubleshooting report: its exact bytes on a controlled machine, the OS
// name table, the system summary's lines and sources, the commands' output.
// The test program carries the tool's own resources (BXHVNTSR.rc), so the
// service name and the version lines are the tool's.
#include "tool/tsr_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"
#include "tool/crash_check.h"
#include "tool/file_version_info.h"
#include "tool/service_details.h"
#include "tool/tsr_page.h"

namespace {

using bx::test::FileExists;
using bx::test::Narrow;
using bx::test::ReadFileBytes;

std::wstring TempPath(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length) + name;
}

// --- the OS name table through the seam ------------------------------------

OsFacts Nt(DWORD major, DWORD minor, BYTE productType, WORD suite = 0, WORD arch = PROCESSOR_ARCHITECTURE_AMD64) {
    OsFacts f;
    f.versionOk = true;
    f.platformId = VER_PLATFORM_WIN32_NT;
    f.major = major;
    f.minor = minor;
    f.build = 7601;
    f.productType = productType;
    f.suiteMask = suite;
    f.nativeArchitecture = arch;
    return f;
}

TEST(OSDisplayName, ServerR2EnterpriseWithServicePackReadsAsDocumented) {
    OsFacts f = Nt(6, 1, VER_NT_SERVER);
    f.servicePack = L"Service Pack 1";
    f.haveProductInfo = true;
    f.productInfoType = 10;
    EXPECT_EQ(FormatOSDisplayName(f),
              L"Microsoft Windows Server 2008 R2 Enterprise Edition  Service Pack 1 (build 7601) 64-bit");
}

TEST(OSDisplayName, EveryEditionOfTheProductTypeTable) {
    struct Case {
        DWORD type;
        const wchar_t* edition;
    } cases[] = {
        {1, L"Ultimate Edition "},
        {2, L"Home Basic Edition "},
        {3, L"Home Premium Edition "},
        {4, L"Enterprise Edition "},
        {10, L"Enterprise Edition "},
        {6, L"Business Edition "},
        {7, L"Standard Edition "},
        {8, L"Datacenter Edition "},
        {9, L"Small Business Server "},
        {11, L"Starter Edition "},
        {12, L"Datacenter Edition (core installation) "},
        {13, L"Standard Edition (core installation) "},
        {14, L"Enterprise Edition (core installation) "},
        {15, L"Enterprise Edition for Itanium-based Systems "},
        {17, L"Web Server Edition "},
        {18, L"Cluster Server Edition "},
        {25, L"Small Business Server Premium Edition "},
        {48, L"Professional  "},
        {5, L""},
        {16, L""},
        {0, L""},
        {0xABCD, L""},
    };
    for (const Case& c : cases) {
        OsFacts f = Nt(6, 1, VER_NT_WORKSTATION);
        f.haveProductInfo = true;
        f.productInfoType = c.type;
        EXPECT_EQ(FormatOSDisplayName(f), std::wstring(L"Microsoft Windows 7 ") + c.edition + L" (build 7601) 64-bit")
            << "type " << c.type;
    }
}

TEST(OSDisplayName, EveryVersionRow) {
    struct Case {
        OsFacts facts;
        const wchar_t* name;
    } cases[] = {
        {Nt(6, 0, VER_NT_WORKSTATION), L"Microsoft Windows Vista  (build 7601) 64-bit"},
        {Nt(6, 0, VER_NT_SERVER), L"Microsoft Windows Server 2008  (build 7601) 64-bit"},
        {Nt(6, 1, VER_NT_DOMAIN_CONTROLLER), L"Microsoft Windows Server 2008 R2  (build 7601) 64-bit"},
        {Nt(6, 2, VER_NT_WORKSTATION), L"Microsoft  (build 7601) 64-bit"},
        {Nt(10, 0, VER_NT_WORKSTATION, 0, PROCESSOR_ARCHITECTURE_INTEL), L"Microsoft  (build 7601) 32-bit"},
        {Nt(6, 1, VER_NT_WORKSTATION, 0, PROCESSOR_ARCHITECTURE_IA64), L"Microsoft Windows 7  (build 7601) "},
        {Nt(5, 2, VER_NT_SERVER, 0x2000), L"Microsoft Windows Storage Server 2003  (build 7601) "},
        {Nt(5, 2, VER_NT_SERVER, 0x8000), L"Microsoft Windows Home Server  (build 7601) "},
        {Nt(5, 2, VER_NT_WORKSTATION), L"Microsoft Windows XP Professional x64 Edition  (build 7601) "},
        {Nt(5, 2, VER_NT_WORKSTATION, 0, PROCESSOR_ARCHITECTURE_INTEL),
         L"Microsoft Windows Server 2003  (build 7601) "},
        {Nt(5, 2, VER_NT_SERVER), L"Microsoft Windows Server 2003  (build 7601) "},
        {Nt(5, 1, VER_NT_WORKSTATION, 0x200), L"Microsoft Windows XP Home Edition   (build 7601) "},
        {Nt(5, 1, VER_NT_WORKSTATION), L"Microsoft Windows XP Professional   (build 7601) "},
        {Nt(5, 0, VER_NT_WORKSTATION, 0x80), L"Microsoft Windows 2000 Professional  (build 7601) "},
        {Nt(5, 0, VER_NT_SERVER, 0x80 | 0x2), L"Microsoft Windows 2000 Datacenter Server   (build 7601) "},
        {Nt(5, 0, VER_NT_SERVER, 0x2), L"Microsoft Windows 2000 Advanced Server  (build 7601) "},
        {Nt(5, 0, VER_NT_SERVER), L"Microsoft Windows 2000 Server  (build 7601) "},
        {Nt(4, 0, VER_NT_SERVER), L""},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatOSDisplayName(c.facts), c.name) << Narrow(c.name);

    OsFacts r2 = Nt(5, 2, VER_NT_SERVER, 0x2000);
    r2.server2003R2 = true;  // the metric wins over the suite bits
    EXPECT_EQ(FormatOSDisplayName(r2), L"Microsoft Windows Server 2003 R2  (build 7601) ");
    OsFacts xp = Nt(5, 1, VER_NT_WORKSTATION);
    xp.servicePack = L"Service Pack 3";
    xp.build = 2600;
    EXPECT_EQ(FormatOSDisplayName(xp), L"Microsoft Windows XP Professional   Service Pack 3 (build 2600) ");
    OsFacts noEditionCall = Nt(6, 0, VER_NT_WORKSTATION);
    noEditionCall.productInfoType = 1;  // ignored: GetProductInfo absent
    EXPECT_EQ(FormatOSDisplayName(noEditionCall), L"Microsoft Windows Vista  (build 7601) 64-bit");
    OsFacts failed = Nt(6, 1, VER_NT_SERVER);
    failed.versionOk = false;
    EXPECT_EQ(FormatOSDisplayName(failed), L"");
    OsFacts nine = Nt(6, 1, VER_NT_SERVER);
    nine.platformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(FormatOSDisplayName(nine), L"");
}

TEST(OSDisplayName, ThroughTheRealCalls) {
    // Wine answers GetVersionExW as the version the manifest asks for (no
    // supportedOS entry: 6.2) and GetNativeSystemInfo as AMD64.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(::GetVersionExW(&version));
#pragma GCC diagnostic pop
    std::wstring name = CTSRReport::GetOSDisplayName();
    EXPECT_EQ(name.rfind(L"Microsoft ", 0), 0u) << Narrow(name);
    EXPECT_NE(name.find(L" (build " + std::to_wstring(version.dwBuildNumber) + L") "), std::wstring::npos)
        << Narrow(name);
    SYSTEM_INFO system{};
    ::GetNativeSystemInfo(&system);
    if (version.dwMajorVersion > 5 && system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
        ASSERT_GE(name.size(), 6u);
        EXPECT_EQ(name.substr(name.size() - 6), L"64-bit");
    }
    EXPECT_EQ(name, FormatOSDisplayName(QueryOsFacts()));
}

// --- the system summary ----------------------------------------------------

SystemFacts ControlledFacts() {
    SystemFacts s;
    s.os = Nt(6, 1, VER_NT_SERVER);
    s.os.servicePack = L"Service Pack 1";
    s.os.haveProductInfo = true;
    s.os.productInfoType = 7;
    s.netbiosName = L"TSHOST01";
    s.oemManufacturer = L"Maker Inc.";
    s.oemModel = L"Model 9";
    s.processorIdentifier = L"Intel64 Family 6 Model 85 Stepping 7";
    s.processorVendor = L"GenuineIntel";
    s.processorMhz = 2394;
    s.biosDate = L"06/23/99";
    s.windowsDirectory = L"C:\\windows";
    s.haveLocale = true;
    s.localeCountry = L"United States";
    s.haveTimeZone = true;
    s.timeZoneName = L"Pacific Standard Time";
    s.totalPhysical = 8ull << 30;
    s.availablePhysical = (3ull << 30) + 12345;
    s.totalVirtual = 128ull << 40;
    s.availableVirtual = (127ull << 40) + (1ull << 19);
    s.pageFile = 12ull << 30;
    return s;
}

TEST(SystemSummary, EveryLineInItsFormatAndOrder) {
    EXPECT_EQ(
        FormatSystemSummary(ControlledFacts()),
        L"\nSystem Summary\n"
        L"\tOS Name . . . . . . . . . . . . . : Microsoft Windows Server 2008 R2 Standard Edition  Service Pack 1 "
        L"(build 7601) 64-bit\n"
        L"\tSystem Name . . . . . . . . . . . : 6.1.7601 Service Pack 1 Build 7601\n"
        L"\tOS Manufacturer . . . . . . . . . : Microsoft Corporation\n"
        L"\tSystem Name . . . . . . . . . . . : TSHOST01\n"
        L"\tSystem Manufacturer . . . . . . . : Maker Inc.\n"
        L"\tSystem Model  . . . . . . . . . . : Model 9\n"
        L"\tSystem Type . . . . . . . . . . . : X86-based PC\n"
        L"\tProcessor . . . . . . . . . . . . : Intel64 Family 6 Model 85 Stepping 7 GenuineIntel ~2394 Mhz\n"
        L"\tBIOS Version  . . . . . . . . . . : 06/23/99\n"
        L"\tWindows Directory . . . . . . . . : C:\\windows\n"
        L"\tLocale  . . . . . . . . . . . . . : United States\n"
        L"\tTime Zone . . . . . . . . . . . . : Pacific Standard Time\n"
        L"\tTotal Physical Memory . . . . . . : 8192 MB\n"
        L"\tAvailable Physical Memory . . . . : 3072 MB\n"
        L"\tTotal Virtual Memory  . . . . . . : 134217728 MB\n"
        L"\tAvailable Virtual Memory  . . . . : 133169152 MB\n"
        L"\tPage File Space . . . . . . . . . : 12288 MB\n");
}

TEST(SystemSummary, UnknownSpeedLocaleAndZoneDropTheirPartsOnly) {
    SystemFacts s = ControlledFacts();
    s.processorMhz = 0;
    s.haveLocale = false;
    s.haveTimeZone = false;
    s.os.servicePack.clear();
    std::wstring text = FormatSystemSummary(s);
    EXPECT_NE(text.find(L"\tSystem Name . . . . . . . . . . . : 6.1.7601  Build 7601\n"), std::wstring::npos);
    EXPECT_NE(text.find(L": Intel64 Family 6 Model 85 Stepping 7 GenuineIntel\n\tBIOS Version"), std::wstring::npos);
    EXPECT_NE(text.find(L"C:\\windows\n\tTotal Physical Memory"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Locale"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Time Zone"), std::wstring::npos);
    s.ntFamily = false;
    EXPECT_EQ(FormatSystemSummary(s).find(L"BIOS Version"), std::wstring::npos);
}

// Sets registry values for the case and puts the old ones back afterwards.
class MachineValues : public ::testing::Test {
protected:
    static constexpr const wchar_t* kOem = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\OemInfo";
    static constexpr const wchar_t* kCpu = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    static constexpr const wchar_t* kSystem = L"HARDWARE\\DESCRIPTION\\System";

    struct Saved {
        std::wstring key, name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    void Set(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        Remember(key, name);
        bx::win::UniqueRegKey k;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(k.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text) {
        Set(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void Delete(const wchar_t* key, const wchar_t* name) {
        Remember(key, name);
        bx::win::UniqueRegKey k;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, k.put()) == ERROR_SUCCESS)
            ::RegDeleteValueW(k.get(), name);
    }
    void TearDown() override {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            bx::win::UniqueRegKey k;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, it->key.c_str(), 0, KEY_ALL_ACCESS, k.put()) != ERROR_SUCCESS)
                continue;
            if (it->existed)
                ::RegSetValueExW(k.get(), it->name.c_str(), 0, it->type, it->data.data(),
                                 static_cast<DWORD>(it->data.size()));
            else
                ::RegDeleteValueW(k.get(), it->name.c_str());
        }
    }

private:
    void Remember(const wchar_t* key, const wchar_t* name) {
        Saved saved{key, name, false, 0, {}};
        bx::win::UniqueRegKey k;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, k.put()) == ERROR_SUCCESS) {
            DWORD size = 0;
            if (::RegQueryValueExW(k.get(), name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
                saved.data.resize(size);
                saved.existed =
                    ::RegQueryValueExW(k.get(), name, nullptr, &saved.type, saved.data.data(), &size) == ERROR_SUCCESS;
            }
        }
        saved_.push_back(saved);
    }
    std::vector<Saved> saved_;
};

TEST_F(MachineValues, TheSummaryReadsTheRegistryValuesTheMachineHolds) {
    SetString(kOem, L"WbemOem", L"Test Maker");
    SetString(kOem, L"WbemProduct", L"Test Model 7");
    SetString(kCpu, L"Identifier", L"Test Family 1");
    SetString(kCpu, L"VendorIdentifier", L"TestVendor");
    DWORD mhz = 3210;
    Set(kCpu, L"~MHz", REG_DWORD, &mhz, sizeof mhz);
    SetString(kSystem, L"SystemBiosDate", L"01/02/03");
    std::wstring text = CTSRReport::GetSystemSummary();
    EXPECT_NE(text.find(L"\tSystem Manufacturer . . . . . . . : Test Maker\n"), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(L"\tSystem Model  . . . . . . . . . . : Test Model 7\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\tProcessor . . . . . . . . . . . . : Test Family 1 TestVendor ~3210 Mhz\n"),
              std::wstring::npos);
    EXPECT_NE(text.find(L"\tBIOS Version  . . . . . . . . . . : 01/02/03\n"), std::wstring::npos);
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_NE(text.find(L"\tWindows Directory . . . . . . . . : " + std::wstring(windows) + L"\n"), std::wstring::npos);
    wchar_t name[16];
    DWORD size = 16;
    ::GetComputerNameW(name, &size);
    EXPECT_NE(text.find(L"\tSystem Name . . . . . . . . . . . : " + std::wstring(name) + L"\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"\tSystem Type . . . . . . . . . . . : X86-based PC\n"), std::wstring::npos);

    Delete(kCpu, L"~MHz");
    Delete(kOem, L"WbemProduct");
    text = CTSRReport::GetSystemSummary();
    EXPECT_NE(text.find(L"\tProcessor . . . . . . . . . . . . : Test Family 1 TestVendor\n"), std::wstring::npos)
        << Narrow(text);
    EXPECT_NE(text.find(L"\tSystem Model  . . . . . . . . . . : \n"), std::wstring::npos);
}

// --- the report file -------------------------------------------------------

class ReportFile : public ::testing::Test {
protected:
    void SetUp() override {
        ::DeleteFileW(old_.c_str());
        ::DeleteFileW(current_.c_str());
        bool running = false;
        ASSERT_EQ(TSRGetServiceStatus(L"BXhvns", running), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST))
            << "the agent service must not be installed in the test prefix";
    }
    void TearDown() override {
        ::DeleteFileW(old_.c_str());
        ::DeleteFileW(current_.c_str());
        ::DeleteFileW(report_.c_str());
    }
    static CTSRReport::Sources Fixed() {
        CTSRReport::Sources sources;
        sources.systemSummary = [] { return std::wstring(L"\nSystem Summary\n\tLine\r\n"); };
        sources.runCommand = [](const std::wstring& program, const std::wstring& arguments) {
            return L"[" + program + L"|" + arguments + L"]\r\nsecond line\r\n";
        };
        return sources;
    }
    static std::string AppBlock() {
        CFileVersionInfo version;
        std::string productVersion;
        if (version.Load()) productVersion = Narrow(version.GetProductVersion() + version.GetString(L"PrivateBuild"));
        return "Application Name:               Brontavex Halvern Trouble Shooting Report\r\n"
               "Application Version:            " +
               productVersion +
               "\r\n"
               "Service Name:                    (BXhvns)\r\n"
               "Service Version:                \r\n"
               "Service Status:                 Not installed\r\n";
    }
    static std::string Middle() {
        return "\r\nSystem Summary\r\n\tLine\r\n"
               "\r\n[ipconfig| /all]\r\nsecond line\r\n"
               "\r\n[netstat | -r -n]\r\nsecond line\r\n"
               "\r\nLog Files\r\n";
    }
    std::wstring dir_ = CTSRReport::ProgramDirectory();
    std::wstring old_ = dir_ + L"old_BXHVNAgent.log";
    std::wstring current_ = dir_ + L"BXHVNAgent.log";
    std::wstring report_ = TempPath(L"tsr_report_test.txt");
};

TEST_F(ReportFile, ExactBytesWithBothLogsBuiltTwiceHoldsOnlyTheSecondBuild) {
    ASSERT_TRUE(bx::test::WriteFileBytes(old_, "old line 1\r\nold line 2\r\n"));
    ASSERT_TRUE(bx::test::WriteFileBytes(current_, "12/09/26 05:00:00 Info: started\r\nbare LF\nend"));
    CTSRReport report(Fixed());
    EXPECT_EQ(report.Create(report_), 7);
    ASSERT_TRUE(bx::test::WriteFileBytes(current_, "second build\r\n"));
    EXPECT_EQ(report.Create(report_), 7);
    std::string expected = AppBlock() + Middle() + "\r\n" + Narrow(old_) + "\r\nold line 1\r\nold line 2\r\n" + "\r\n" +
                           Narrow(current_) + "\r\nsecond build\r\n";
    EXPECT_EQ(ReadFileBytes(report_), expected);
}

TEST_F(ReportFile, WithoutLogsTheReportEndsWithTheLogFilesLine) {
    CTSRReport report(Fixed());
    EXPECT_EQ(report.Create(report_), 5);
    EXPECT_EQ(ReadFileBytes(report_), AppBlock() + Middle());
}

TEST_F(ReportFile, OnlyTheCurrentLogIsCopiedVerbatim) {
    std::string binary("a\r\nb\n\0c\r\r\n", 11);
    ASSERT_TRUE(bx::test::WriteFileBytes(current_, binary));
    CTSRReport report(Fixed());
    EXPECT_EQ(report.Create(report_), 6);
    EXPECT_EQ(ReadFileBytes(report_), AppBlock() + Middle() + "\r\n" + Narrow(current_) + "\r\n" + binary);
}

// A log that is there but cannot be read whole leaves its header and a line
// saying why, never a part copy, and the report goes on.
TEST_F(ReportFile, ALogHeldWithoutSharingLeavesALineSayingWhy) {
    ASSERT_TRUE(bx::test::WriteFileBytes(current_, "held\r\n"));
    bx::win::UniqueFile held(
        ::CreateFileW(current_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_FALSE(CTSRReport::AddFile(report_, current_));
    EXPECT_EQ(ReadFileBytes(report_), "\r\n" + Narrow(current_) + "\r\nFailed to read " + Narrow(current_) + ": " +
                                          Narrow(bx::test::SystemErrorText(ERROR_SHARING_VIOLATION)) + "\r\n");

    // Built whole, the report holds the line in place of the log and the
    // old log after it as usual.
    ASSERT_TRUE(bx::test::WriteFileBytes(old_, "old\r\n"));
    CTSRReport report(Fixed());
    EXPECT_EQ(report.Create(report_), 6);
    EXPECT_EQ(ReadFileBytes(report_), AppBlock() + Middle() + "\r\n" + Narrow(old_) + "\r\nold\r\n" + "\r\n" +
                                          Narrow(current_) + "\r\nFailed to read " + Narrow(current_) + ": " +
                                          Narrow(bx::test::SystemErrorText(ERROR_SHARING_VIOLATION)) + "\r\n");
}

// A file that gives fewer bytes than its size (as one that shrinks between
// the size and the read does): a sysfs file, reached through Wine's Z:
// drive, reports 4096 bytes and reads a few. The copy is not written; the
// line tells how much of it could be read.
TEST_F(ReportFile, ALogThatReadsShortOfItsSizeIsNotCopiedInPart) {
    const std::wstring source = L"Z:\\sys\\devices\\system\\cpu\\online";
    LARGE_INTEGER size{};
    {
        bx::win::UniqueFile probe(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(probe) << "no " << Narrow(source) << " here: " << ::GetLastError();
        ASSERT_TRUE(::GetFileSizeEx(probe.get(), &size));
    }
    std::string content = ReadFileBytes(source);
    ASSERT_FALSE(content.empty());
    ASSERT_LT(static_cast<long long>(content.size()), size.QuadPart) << "the file reads as long as its size";
    EXPECT_TRUE(CTSRReport::AddFile(report_, source));
    EXPECT_EQ(ReadFileBytes(report_), "\r\n" + Narrow(source) + "\r\nFailed to read " + Narrow(source) + " (" +
                                          std::to_string(content.size()) + " of " + std::to_string(size.QuadPart) +
                                          " bytes): " + Narrow(bx::test::SystemErrorText(ERROR_HANDLE_EOF)) + "\r\n");
}

// A log that is not there is left out without a header.
TEST_F(ReportFile, AMissingLogIsSkippedWithoutAHeader) {
    EXPECT_FALSE(CTSRReport::AddFile(report_, current_));
    EXPECT_FALSE(FileExists(report_));
}

TEST_F(ReportFile, ALogTheAgentKeepsOpenForWritingIsStillCopied) {
    ASSERT_TRUE(bx::test::WriteFileBytes(current_, "being written\r\n"));
    bx::win::UniqueFile writer(::CreateFileW(current_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_TRUE(CTSRReport::AddFile(report_, current_));
    EXPECT_EQ(ReadFileBytes(report_), "\r\n" + Narrow(current_) + "\r\nbeing written\r\n");
}

TEST_F(ReportFile, ServiceBlockOfAServiceThatIsNotInstalled) {
    EXPECT_EQ(CTSRReport::GetServiceInfo(L"BXhvnsNoSuchService"),
              L"Service Name:                    (BXhvnsNoSuchService)\n"
              L"Service Version:                \n"
              L"Service Status:                 Not installed");
}

TEST(AddText, CarriageReturnsAreDroppedAndLineFeedsWrittenAsCrLf) {
    std::wstring path = TempPath(L"tsr_addtext_test.txt");
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(CTSRReport::AddText(path, L"a\r\nb\r\r\nc\nd\re"), 1);
    EXPECT_EQ(CTSRReport::AddText(path, L"\n"), 1);
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\nc\r\nde\r\n");
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(CTSRReport::AddText(L"C:\\no\\such\\folder\\x.txt", L"x"), 0);
}

TEST(RunCommand, CapturesStandardOutputAndErrorOfTheRealCommands) {
    std::wstring both = CTSRReport::RunCommand(L"cmd", L"/c echo to-out& echo to-err 1>&2");
    EXPECT_NE(both.find(L"to-out"), std::wstring::npos) << Narrow(both);
    EXPECT_NE(both.find(L"to-err"), std::wstring::npos) << Narrow(both);
    // Wine ships both commands the report runs; its ipconfig prints the
    // adapters, its netstat has no route table and prints nothing for -r.
    std::wstring ipconfig = CTSRReport::RunCommand(L"ipconfig", L" /all");
    EXPECT_NE(ipconfig.find(L"IP"), std::wstring::npos) << Narrow(ipconfig);
    std::wstring netstat = CTSRReport::RunCommand(L"netstat ", L" -r -n");
    EXPECT_EQ(netstat.find(L'\0'), std::wstring::npos);
    EXPECT_EQ(CTSRReport::RunCommand(L"no_such_program_here", L""), L"");
}

// The tool runs elevated: an ipconfig.exe that someone left in the folder it
// was started from (the tests' viewer, which records each start) is not the
// one it runs.
TEST(RunCommand, APlantedIpconfigInTheCurrentFolderIsNotRun) {
    const std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"planted ipconfig");
    ASSERT_TRUE(::CopyFileW((bx::test::ExeDirectory() + L"viewer_recorder.exe").c_str(),
                            (dir + L"ipconfig.exe").c_str(), FALSE));
    wchar_t previous[MAX_PATH];
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(::SetCurrentDirectoryW(dir.c_str()));
    std::wstring output = CTSRReport::RunCommand(L"ipconfig", L" /all");
    ::SetCurrentDirectoryW(previous);
    EXPECT_FALSE(FileExists(dir + L"viewer_calls.txt")) << "the planted program ran";
    EXPECT_NE(output.find(L"IP"), std::wstring::npos) << Narrow(output);
}

// A command that does not end is ended at the bound, and the output says so.
TEST(RunCommand, ACommandThatDoesNotEndIsStoppedAtTheBound) {
    std::wstring output = CTSRReport::RunCommand(L"cmd", L"/c ping -n 60 127.0.0.1", 1000);
    EXPECT_NE(output.find(L"cmd did not end within 1 seconds and was stopped"), std::wstring::npos) << Narrow(output);
}

}  // namespace

namespace {

// The offered names at fixed times: the Reports page's local 24-hour name
// and the crash dialog's UTC 12-hour one (hour 0 reads 12, 13 reads 01),
// across midnight and month and year ends.
TEST(SaveAsName, TheOfferedNamesAtFixedTimes) {
    struct Case {
        WORD year, month, day, hour, minute, second;
        const wchar_t* report;
        const wchar_t* crash;
    };
    const Case cases[] = {
        {2012, 8, 26, 14, 30, 5, L"BX HVN TSR_082612143005.txt", L"HVNReport_082612023005"},
        {2012, 8, 26, 0, 30, 5, L"BX HVN TSR_082612003005.txt", L"HVNReport_082612123005"},
        {2012, 8, 26, 11, 30, 5, L"BX HVN TSR_082612113005.txt", L"HVNReport_082612113005"},
        {2012, 8, 26, 12, 30, 5, L"BX HVN TSR_082612123005.txt", L"HVNReport_082612123005"},
        {2012, 8, 26, 13, 30, 5, L"BX HVN TSR_082612133005.txt", L"HVNReport_082612013005"},
        {2012, 8, 26, 23, 30, 5, L"BX HVN TSR_082612233005.txt", L"HVNReport_082612113005"},
        {2000, 1, 1, 0, 0, 0, L"BX HVN TSR_010100000000.txt", L"HVNReport_010100120000"},
        {1999, 12, 31, 23, 59, 59, L"BX HVN TSR_123199235959.txt", L"HVNReport_123199115959"},
        {2024, 2, 29, 12, 0, 0, L"BX HVN TSR_022924120000.txt", L"HVNReport_022924120000"},
        {2009, 1, 2, 0, 30, 5, L"BX HVN TSR_010209003005.txt", L"HVNReport_010209123005"},
        {2105, 10, 9, 9, 8, 7, L"BX HVN TSR_100905090807.txt", L"HVNReport_100905090807"},
    };
    for (const Case& c : cases) {
        SYSTEMTIME when{c.year, c.month, 0, c.day, c.hour, c.minute, c.second, 0};
        EXPECT_EQ(TSRDefaultFileName(when), c.report) << Narrow(c.report);
        EXPECT_EQ(bx::tool::CrashReportDefaultName(when), c.crash) << Narrow(c.crash);
    }
}

}  // namespace

namespace {

TEST(CrashNames, OldNamesInsertOldBeforeTheExtension) {
    EXPECT_EQ(bx::tool::OldName(L"C:\\p\\HVNCrash.dmp"), L"C:\\p\\HVNCrash_old.dmp");
    EXPECT_EQ(bx::tool::OldName(L"C:\\t\\HVNCrashReport.zip"), L"C:\\t\\HVNCrashReport_old.zip");
}

}  // namespace
