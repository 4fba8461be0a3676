// The custom actions against the real SCM and registry under Wine, driven
// through a session of the test's own that holds CustomActionData and
// records every reported message. Wine has no "tcpip", "tdx" or "netbt"
// services: the tests make stand-ins (tests/support/win/driver_services.h)
// and write the group order value themselves.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "installer/appliance_settings.h"
#include "installer/custom_actions.h"
#include "installer/install_journal.h"
#include "platform/win/handles.h"
#include "tests/support/win/driver_services.h"
#include "tests/support/win/import_patch.h"
#include "tests/support/win/security_readback.h"
#include "tests/support/win/service_manager.h"

extern "C" decltype(&ChangeServiceConfig2W) __imp_ChangeServiceConfig2W;
extern "C" decltype(&OpenServiceW) __imp_OpenServiceW;
extern "C" decltype(&QueryServiceConfigW) __imp_QueryServiceConfigW;
extern "C" decltype(&SetNamedSecurityInfoW) __imp_SetNamedSecurityInfoW;

namespace {

using bx::installer::Change;
using bx::test::kTcpipTag;
using bx::test::kTdxTag;

class RecordingSession : public bx::installer::Session {
public:
    std::map<std::wstring, std::wstring> properties;
    std::vector<std::string> messages;

    UINT GetProperty(const wchar_t* name, wchar_t* buffer, DWORD* length) override {
        auto found = properties.find(name);
        if (found == properties.end()) {
            // MsiGetPropertyW answers an unset property with an empty value.
            if (*length) buffer[0] = L'\0';
            *length = 0;
            return ERROR_SUCCESS;
        }
        const std::wstring& value = found->second;
        if (value.size() >= *length) {
            *length = static_cast<DWORD>(value.size());
            return ERROR_MORE_DATA;
        }
        wcscpy(buffer, value.c_str());
        *length = static_cast<DWORD>(value.size());
        return ERROR_SUCCESS;
    }
    std::vector<std::string> infos;  // what went to the log only
    void ReportError(const wchar_t* text) override { messages.push_back(bx::test::Narrow(text)); }
    void ReportInfo(const wchar_t* text) override { infos.push_back(bx::test::Narrow(text)); }
    std::string All() const {
        std::string all;
        for (const auto& m : messages) all += m + "\n";
        return all;
    }
};

// Wine's QueryServiceConfigW answers every service with an empty dependency
// list, although its SCM stores the list (the registry value
// DependOnService). While a DependencyShim lives, this program's
// QueryServiceConfigW fills the list in from that value, so that the actions
// meet a service's dependencies as Windows reports them.
std::map<SC_HANDLE, std::wstring> g_openedServices;
decltype(&OpenServiceW) g_realOpenService = nullptr;
decltype(&QueryServiceConfigW) g_realQueryConfig = nullptr;

std::wstring StoredDependencies(const std::wstring& service) {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + service;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring list(buffer, size / sizeof(wchar_t));
    while (list.size() >= 2 && list[list.size() - 1] == L'\0' && list[list.size() - 2] == L'\0') list.pop_back();
    return list.size() > 1 ? list + L'\0' : std::wstring();  // names, each with its NUL, and the closing NUL
}

SC_HANDLE WINAPI ShimOpenService(SC_HANDLE scm, LPCWSTR name, DWORD access) {
    SC_HANDLE service = g_realOpenService(scm, name, access);
    if (service) g_openedServices[service] = name;
    return service;
}

BOOL WINAPI ShimQueryConfig(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD size, LPDWORD needed) {
    auto opened = g_openedServices.find(service);
    std::wstring deps = opened == g_openedServices.end() ? std::wstring() : StoredDependencies(opened->second);
    const DWORD extra = static_cast<DWORD>(deps.size() * sizeof(wchar_t));
    if (!g_realQueryConfig(service, config, size, needed)) {
        DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) *needed += extra;
        SetLastError(error);
        return FALSE;
    }
    if (deps.empty() || (config->lpDependencies && *config->lpDependencies)) return TRUE;
    BYTE* base = reinterpret_cast<BYTE*>(config);
    size_t end = sizeof *config;
    for (LPWSTR text : {config->lpBinaryPathName, config->lpLoadOrderGroup, config->lpDependencies,
                        config->lpServiceStartName, config->lpDisplayName})
        if (text) end = std::max(end, static_cast<size_t>(reinterpret_cast<BYTE*>(text + wcslen(text) + 1) - base));
    end = (end + 1) & ~size_t(1);
    if (end + extra > size) {
        *needed = static_cast<DWORD>(end + extra);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(base + end, deps.data(), extra);
    config->lpDependencies = reinterpret_cast<LPWSTR>(base + end);
    return TRUE;
}

class DependencyShim {
public:
    DependencyShim()
        : open_(__imp_OpenServiceW, &ShimOpenService), query_(__imp_QueryServiceConfigW, &ShimQueryConfig) {
        g_realOpenService = open_.Original();
        g_realQueryConfig = query_.Original();
    }
    ~DependencyShim() { g_openedServices.clear(); }

private:
    bx::test::ImportPatch<decltype(&OpenServiceW)> open_;
    bx::test::ImportPatch<decltype(&QueryServiceConfigW)> query_;
};

// The dependency list of a service as the SCM stores it.
std::vector<std::wstring> Dependencies(const wchar_t* service) {
    std::wstring list = StoredDependencies(service);
    std::vector<std::wstring> names;
    for (size_t at = 0; at < list.size() && list[at];) {
        names.emplace_back(list.c_str() + at);
        at += names.back().size() + 1;
    }
    return names;
}

// A folder of the test's own holding the driver stand-in as "bxhvnd.sys".
std::wstring DriverSourceFolder() {
    static const std::wstring folder = [] {
        std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_source");
        CopyFileW((bx::test::ExeDirectory() + L"bxhvnd.sys").c_str(), (dir + L"bxhvnd.sys").c_str(), FALSE);
        return dir;  // ends in "\"
    }();
    return folder;
}

// The pending renames of the next restart, as one text (entries separated
// by NULs; a deletion has an empty target).
std::wstring PendingRenames() {
    wchar_t buffer[16384] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_ANY, nullptr, buffer, &size) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(buffer, size / sizeof(wchar_t));
}

bool JournalExists() {
    bx::win::UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, bx::installer::kJournalKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

class CustomActions : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_EQ(0u, bx::test::MakeTransportStandIns(why)) << why;
        for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) ASSERT_TRUE(bx::test::RemoveService(name));
        DeleteFileW(bx::test::InstalledDriverFile().c_str());
        bx::test::ResetInstallerState();
        ASSERT_EQ(0u, bx::test::WriteGroupOrder({1, kTcpipTag, kTdxTag, 9}));
        session.properties[L"CustomActionData"] = DriverSourceFolder();
    }
    void TearDown() override {
        for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) bx::test::RemoveService(name);
        DeleteFileW(bx::test::InstalledDriverFile().c_str());
        bx::test::ResetInstallerState();
    }
    std::vector<DWORD> GroupOrder() {
        std::vector<DWORD> tags;
        EXPECT_TRUE(bx::test::ReadGroupOrder(tags));
        return tags;
    }
    DependencyShim shim;
    RecordingSession session;
};

TEST_F(CustomActions, InstallRegistersTheDriverServiceAfterTheTransport) {
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    EXPECT_EQ("", session.All());
    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    ASSERT_TRUE(driver.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), driver.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), driver.start);
    EXPECT_EQ(L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys", driver.binaryPath);
    EXPECT_EQ(std::wstring(bx::test::kTransportGroup), driver.group);
    EXPECT_EQ(L"Brontavex Halvern", driver.displayName);
    EXPECT_EQ(bx::test::ReadFileBytes(DriverSourceFolder() + L"bxhvnd.sys"),
              bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    // Windows gives a new driver service a tag; Wine's SCM gives none (0),
    // and a service without a tag takes no place in the group order.
    std::vector<DWORD> expected = {1, kTcpipTag, kTdxTag, 9};
    if (driver.tag) expected.insert(expected.begin() + 3, driver.tag);
    EXPECT_EQ(expected, GroupOrder());
    EXPECT_EQ((std::vector<std::wstring>{L"Tdx", L"bxhvnd"}), Dependencies(L"netbt"));
}

// An existing "bxhvnd" counts as created and keeps its own tag, which goes
// right after the reference tag "tdx", wherever that stands in its group.
TEST_F(CustomActions, InstallOverAnExistingDriverServiceInsertsItsTagAfterTheReference) {
    struct Case {
        std::vector<DWORD> before, after;
    };
    const Case cases[] = {
        {{1, kTcpipTag, kTdxTag, 9}, {1, kTcpipTag, kTdxTag, 42, 9}},  // reference in the middle
        {{1, kTcpipTag, kTdxTag}, {1, kTcpipTag, kTdxTag, 42}},        // reference the last of its group
        {{kTdxTag}, {kTdxTag, 42}},                                    // the only one
        {{1, 9}, {1, 9}},                                              // reference not listed: unchanged
        {{kTdxTag, 42, 9}, {kTdxTag, 42, 9}},                          // listed already: unchanged
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(bx::test::RemoveService(L"bxhvnd"));
        ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                                   bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
        ASSERT_EQ(0u, bx::test::WriteGroupOrder(c.before));
        RecordingSession fresh;
        fresh.properties = session.properties;
        EXPECT_EQ(0u, bx::installer::Install(fresh)) << fresh.All();
        EXPECT_EQ(c.after, GroupOrder()) << "before: " << ::testing::PrintToString(c.before);
    }
    EXPECT_TRUE(bx::test::QueryService(L"bxhvnd").exists);
}

TEST_F(CustomActions, SourceFolderWithOrWithoutTrailingBackslashGivesTheSameDriverPath) {
    std::wstring folder = DriverSourceFolder();
    for (const std::wstring& given : {folder, folder.substr(0, folder.size() - 1)}) {
        DeleteFileW(bx::test::InstalledDriverFile().c_str());
        ASSERT_TRUE(bx::test::RemoveService(L"bxhvnd"));
        session.properties[L"CustomActionData"] = given;
        session.messages.clear();
        EXPECT_EQ(0u, bx::installer::Install(session)) << session.All();
        EXPECT_TRUE(bx::test::FileExists(bx::test::InstalledDriverFile())) << bx::test::Narrow(given);
    }
}

// A failing installation reports, undoes its own steps and removes the agent
// service the package had installed.
TEST_F(CustomActions, FailingInstallRemovesTheAgentServiceAndWhatItDid) {
    std::wstring empty = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_empty");
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvns", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                               L"C:\\nowhere\\bxhvns.exe"));
    session.properties[L"CustomActionData"] = empty;
    EXPECT_EQ(31u, bx::installer::Install(session));
    const std::string destination = bx::test::Narrow(bx::test::InstalledDriverFile());
    EXPECT_EQ((std::vector<std::string>{"Failed To copy Driver File sDriverPath:" + bx::test::Narrow(empty) +
                                            "bxhvnd.sys destination:" + destination + " Error 2",
                                        "Failed Install Halvern Driver Error 2"}),
              session.messages);
    EXPECT_TRUE(bx::test::WaitUntil([] { return !bx::test::QueryService(L"bxhvns").exists; }, 10000));
    EXPECT_FALSE(bx::test::QueryService(L"bxhvnd").exists);
    EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));
}

// The agent service deleted by the upgrade's removal stays, marked, while a
// handle to it is open (its process ending, the Services console): creating
// it again waits for it to go. A live entry, or none, is no reason to wait.
TEST_F(CustomActions, AgentServiceMarkedForDeletionIsWaitedFor) {
    EXPECT_EQ(0u, bx::installer::AwaitAgentServiceRemoval(session)) << session.All();
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvns", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                               L"C:\\nowhere\\bxhvns.exe"));
    EXPECT_EQ(0u, bx::installer::AwaitAgentServiceRemoval(session)) << session.All();
    EXPECT_TRUE(bx::test::QueryService(L"bxhvns").exists);

    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    bx::win::UniqueScHandle held(OpenServiceW(scm.get(), L"bxhvns", DELETE | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held && DeleteService(held.get()));
    ASSERT_TRUE(bx::test::QueryService(L"bxhvns").exists);  // marked only
    std::thread closer([&] {
        Sleep(500);
        held.reset();
    });
    EXPECT_EQ(0u, bx::installer::AwaitAgentServiceRemoval(session)) << session.All();
    closer.join();
    EXPECT_EQ("", session.All());
    EXPECT_FALSE(bx::test::QueryService(L"bxhvns").exists);
}

TEST_F(CustomActions, FailingInstallAfterTheCopyLeavesNoDriverFile) {
    ASSERT_TRUE(bx::test::RemoveService(L"tdx"));  // the reference service is missing
    EXPECT_EQ(31u, bx::installer::Install(session));
    EXPECT_EQ((std::vector<std::string>{
                  "Failed To open Tcpip Service Error 1060", "Failed To Get TDX Service Info Error 1060",
                  "Failed Install Halvern Driver Error 1060", "Failed To open Service Error 1060"}),
              session.messages);
    EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));
    EXPECT_FALSE(bx::test::QueryService(L"bxhvnd").exists);
}

TEST_F(CustomActions, InstallWithoutSourceFolderFailsWithTheInternalErrorMessages) {
    for (bool present : {false, true}) {
        RecordingSession s;
        if (present) s.properties[L"CustomActionData"] = L"";  // given, but empty
        EXPECT_EQ(31u, bx::installer::Install(s));
        ASSERT_GE(s.messages.size(), 3u) << s.All();
        EXPECT_EQ("Internal Error - Failed to get CustomActionData from installer.", s.messages[0]);
        EXPECT_EQ("Internal installer error - source path not found", s.messages[1]);
        EXPECT_EQ("Failed Install Halvern Driver Error 87", s.messages[2]);
    }
    RecordingSession tooLong;  // more than 260 characters is refused, not cut
    tooLong.properties[L"CustomActionData"] = std::wstring(261, L'a');
    EXPECT_EQ(31u, bx::installer::Install(tooLong));
    EXPECT_FALSE(bx::test::QueryService(L"bxhvnd").exists);
}

// A service of an earlier product version blocks the installation, whether
// it runs or not; nothing is installed.
TEST_F(CustomActions, PreviousVersionBlocksInstallation) {
    const std::string message =
        "A previous version of Halvern has been detected.Please uninstall the previous version then try again.";
    for (const wchar_t* previous : {L"hvns", L"hvnd"}) {
        for (bool running : {false, true}) {
            if (running) {
                // The agent program runs under the old name, from a folder of
                // the test's own (it writes its log beside itself).
                std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_old_version");
                ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + L"bxhvns.exe").c_str(), (dir + L"bxhvns.exe").c_str(),
                                      FALSE));
                ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + L"BXLogger.dll").c_str(),
                                      (dir + L"BXLogger.dll").c_str(), FALSE));
                std::wstring command = bx::test::Quote(dir + L"bxhvns.exe") + L" /SN:" + previous;
                ASSERT_EQ(0u, bx::test::CreateServiceEntry(previous, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                           command.c_str()));
                ASSERT_EQ(0u, bx::test::StartServiceAndWait(previous));
            } else {
                ASSERT_EQ(0u, bx::test::CreateServiceEntry(previous, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                           L"C:\\old\\hvn.exe"));
            }
            RecordingSession s;
            s.properties = session.properties;
            EXPECT_EQ(31u, bx::installer::Install(s));
            EXPECT_EQ(std::vector<std::string>{message}, s.messages);
            EXPECT_FALSE(bx::test::QueryService(L"bxhvnd").exists);
            EXPECT_EQ(running ? static_cast<DWORD>(SERVICE_RUNNING) : static_cast<DWORD>(SERVICE_STOPPED),
                      bx::test::QueryService(previous).state);
            ASSERT_TRUE(bx::test::RemoveService(previous));
        }
    }
}

TEST_F(CustomActions, UninstallRemovesServiceTagDependencyAndFile) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    ASSERT_EQ(0u, bx::installer::CommitInstallation(session));
    ASSERT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag, 42, 9}), GroupOrder());
    ASSERT_TRUE(bx::test::StopServiceAndWait(L"bxhvnd"));
    EXPECT_EQ(0u, bx::installer::Uninstall(session));
    EXPECT_EQ("", session.All());
    EXPECT_TRUE(bx::test::WaitUntil([] { return !bx::test::QueryService(L"bxhvnd").exists; }, 10000));
    EXPECT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag, 9}), GroupOrder());
    EXPECT_EQ(std::vector<std::wstring>{L"Tdx"}, Dependencies(L"netbt"));
    EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));
    // The driver file was moved aside for a rollback; the commit deletes it.
    EXPECT_EQ(1u, bx::test::DriverFilesMovedAside().size());
    EXPECT_EQ(0u, bx::installer::CommitInstallation(session));
    EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
    EXPECT_FALSE(JournalExists());
}

// Removal goes on when the driver service is gone already: reported, result
// 0, and the dependency and the driver file still go.
TEST_F(CustomActions, UninstallWithoutDriverServiceReportsAndSucceeds) {
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    ASSERT_TRUE(bx::test::RemoveService(L"bxhvnd"));
    EXPECT_EQ(0u, bx::installer::Uninstall(session));
    EXPECT_EQ((std::vector<std::string>{"Failed To open Tcpip Service Error 1060",
                                        "Failed To Get hvnd Service Info Error 1060",
                                        "Failed UnInstall Halvern Driver Error 1060"}),
              session.messages);
    EXPECT_EQ(std::vector<std::wstring>{L"Tdx"}, Dependencies(L"netbt"));
    EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));

    RecordingSession noData;  // the property must be there; still 0
    EXPECT_EQ(0u, bx::installer::Uninstall(noData));
    EXPECT_EQ((std::vector<std::string>{"Internal Error - Failed to get CustomActionData from installer.",
                                        "Internal installer error - source path not found",
                                        "Failed UnInstall Halvern Driver Error 87"}),
              noData.messages);
}

// A start order or a dependency that cannot be written fails the
// installation, which takes back what it did.
TEST_F(CustomActions, StartOrderOrDependencyFailureFailsTheInstallation) {
    std::vector<DWORD> full(511, 3);  // no room for one more tag in 2048 bytes
    full[100] = kTdxTag;
    // A dependency list that leaves the 2048 bytes netbt's configuration is
    // read into too small (but fits the dependency shim's buffer).
    std::wstring longList;
    for (int i = 0; i < 49; ++i) longList += L"DependencyNumber" + std::to_wstring(100 + i) + L'\0';
    longList += L'\0';
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string message;
    };
    const Case cases[] = {
        {"full group order", [&] { ASSERT_EQ(0u, bx::test::WriteGroupOrder(full)); },
         "Failed To add the driver tag to group PNP_TDI: its order list is full Error 122"},
        {"netbt unreadable",
         [&] {
             ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\netbt",
                                                      L"DependOnService", REG_MULTI_SZ, longList.data(),
                                                      static_cast<DWORD>(longList.size() * sizeof(wchar_t))));
         },
         "Failed To Query NetBt Service Error 122"},
    };
    for (const Case& c : cases) {
        std::string why;
        ASSERT_EQ(0u, bx::test::MakeTransportStandIns(why)) << why;
        ASSERT_EQ(0u, bx::test::WriteGroupOrder({1, kTcpipTag, kTdxTag, 9}));
        ASSERT_TRUE(bx::test::RemoveService(L"bxhvnd"));
        ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                                   bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
        c.arrange();
        RecordingSession s;
        s.properties = session.properties;
        EXPECT_EQ(31u, bx::installer::Install(s)) << c.what;
        ASSERT_GE(s.messages.size(), 2u) << c.what;
        EXPECT_EQ(c.message, s.messages[0]) << c.what;
        EXPECT_EQ("Failed Install Halvern Driver Error 122", s.messages[1]) << c.what;
        EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile())) << c.what;
        EXPECT_TRUE(bx::test::QueryService(L"bxhvnd").exists) << c.what;  // it was there before
        EXPECT_FALSE(JournalExists()) << c.what;
    }
}

// A "bxhvnd" service and driver file that were there before the installation
// stay when it rolls back; what it added goes.
TEST_F(CustomActions, InstallRollbackLeavesTheDriverServiceAndFileThatWereThere) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
    const std::string earlier = bx::test::ReadFileBytes(DriverSourceFolder() + L"bxhvnd.sys") + "earlier";
    ASSERT_TRUE(bx::test::WriteFileBytes(bx::test::InstalledDriverFile(), earlier));
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), bx::test::QueryService(L"bxhvnd").state);
    ASSERT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag, 42, 9}), GroupOrder());

    EXPECT_EQ(0u, bx::installer::InstallRollback(session));
    EXPECT_EQ("", session.All());
    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    EXPECT_TRUE(driver.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), driver.state);  // as it was
    EXPECT_EQ(earlier, bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    EXPECT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag, 9}), GroupOrder());
    EXPECT_EQ(std::vector<std::wstring>{L"Tdx"}, Dependencies(L"netbt"));
    EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
    EXPECT_EQ(0u, bx::installer::InstallRollback(session));  // a second time: nothing left to undo
    EXPECT_TRUE(bx::test::QueryService(L"bxhvnd").exists);
}

// A removal that rolls back puts back what it removed, and the driver runs
// again (the agent the installer starts again depends on it).
TEST_F(CustomActions, UninstallRollbackPutsBackServiceFileTagAndDependency) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    ASSERT_EQ(0u, bx::installer::CommitInstallation(session));
    const std::string installed = bx::test::ReadFileBytes(bx::test::InstalledDriverFile());
    ASSERT_TRUE(bx::test::StopServiceAndWait(L"bxhvnd"));
    ASSERT_EQ(0u, bx::installer::Uninstall(session));
    ASSERT_EQ("", session.All());
    ASSERT_TRUE(bx::test::WaitUntil([] { return !bx::test::QueryService(L"bxhvnd").exists; }, 10000));
    ASSERT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));

    EXPECT_EQ(0u, bx::installer::UninstallRollback(session));
    EXPECT_EQ("", session.All());
    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    ASSERT_TRUE(driver.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), driver.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), driver.start);
    EXPECT_EQ(std::wstring(bx::test::kTransportGroup), driver.group);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), driver.state);
    EXPECT_EQ(installed, bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    // Windows gives the service a new tag; Wine's SCM keeps the one the
    // rollback asks for, the removed one.
    std::vector<DWORD> expected = {1, kTcpipTag, kTdxTag, 9};
    if (driver.tag) expected.insert(expected.begin() + 3, driver.tag);
    EXPECT_EQ(expected, GroupOrder());
    EXPECT_EQ((std::vector<std::wstring>{L"Tdx", L"bxhvnd"}), Dependencies(L"netbt"));
    EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
}

// A loaded driver's file cannot be overwritten or deleted, but renamed: the
// installation moves it aside and puts the new one in its place; the commit
// leaves the old one to be deleted at the next restart, which it asks for.
TEST_F(CustomActions, LoadedDriverFileIsReplacedAndTheOldOneDeletedAtTheRestart) {
    ASSERT_EQ(0u, bx::installer::Install(session)) << session.All();
    ASSERT_EQ(0u, bx::installer::CommitInstallation(session));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), bx::test::QueryService(L"bxhvnd").state);
    const std::string loaded = bx::test::ReadFileBytes(bx::test::InstalledDriverFile());
    std::wstring next = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_next");
    ASSERT_TRUE(bx::test::WriteFileBytes(next + L"bxhvnd.sys", loaded + "next"));

    RecordingSession upgrade;
    upgrade.properties[L"CustomActionData"] = next;
    EXPECT_EQ(0u, bx::installer::Install(upgrade)) << upgrade.All();
    EXPECT_EQ(loaded + "next", bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    EXPECT_FALSE(bx::installer::IsRestartPending());
    EXPECT_EQ(0u, bx::installer::CommitInstallation(upgrade));
    EXPECT_EQ("", upgrade.All());
    EXPECT_TRUE(bx::installer::IsRestartPending());
    std::vector<std::wstring> aside = bx::test::DriverFilesMovedAside();
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(loaded, bx::test::ReadFileBytes(aside[0]));  // still loaded
    EXPECT_NE(std::wstring::npos, PendingRenames().find(aside[0].substr(aside[0].find_last_of(L'\\'))));
    ASSERT_EQ(1u, upgrade.infos.size());
    EXPECT_NE(std::string::npos, upgrade.infos[0].find("waits for the next restart")) << upgrade.infos[0];
    EXPECT_FALSE(JournalExists());
}

// A driver service entry marked for deletion (the earlier version's driver
// could not be stopped) is kept for the next restart, configured, listed and
// with its dependency; the installation asks for the restart.
TEST_F(CustomActions, DriverServiceMarkedForDeletionIsKeptForTheRestart) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               bx::installer::kDriverDestination, bx::test::kTransportGroup, 42));
    // While a handle to it is open, deleting the service only marks it.
    // Windows' SCM keeps the mark in the entry as DeleteFlag (the entry goes
    // at the next restart); Wine's keeps it in memory, so the test writes it.
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    bx::win::UniqueScHandle held(OpenServiceW(scm.get(), L"bxhvnd", DELETE | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held && DeleteService(held.get()));
    const wchar_t entry[] = L"SYSTEM\\CurrentControlSet\\Services\\bxhvnd";
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, entry, L"DeleteFlag", REG_DWORD, &one, sizeof one));

    EXPECT_EQ(0u, bx::installer::Install(session)) << session.All();
    EXPECT_EQ("", session.All());
    EXPECT_TRUE(bx::installer::IsRestartPending());
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegGetValueW(HKEY_LOCAL_MACHINE, entry, L"DeleteFlag", RRF_RT_REG_DWORD, nullptr, &value, &size));
    size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS,
              RegGetValueW(HKEY_LOCAL_MACHINE, entry, L"Start", RRF_RT_REG_DWORD, nullptr, &value, &size));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), value);
    EXPECT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag, 42, 9}), GroupOrder());
    EXPECT_EQ((std::vector<std::wstring>{L"Tdx", L"bxhvnd"}), Dependencies(L"netbt"));
    EXPECT_TRUE(bx::test::FileExists(bx::test::InstalledDriverFile()));
}

// The group order value is untrusted input: a list with no room for one more
// tag within 2048 bytes stays as it is, and a count larger than the stored
// tags is never read past.
TEST_F(CustomActions, GroupOrderUpdateStaysInsideItsBuffer) {
    std::vector<DWORD> full(511, 3);  // 4 + 511 * 4 = 2048 bytes
    full[100] = kTdxTag;
    ASSERT_EQ(0u, bx::test::WriteGroupOrder(full));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
              bx::installer::UpdateGroupOrder(session, bx::test::kTransportGroup, kTdxTag, 42, Change::Add));
    EXPECT_EQ(full, GroupOrder());
    ASSERT_EQ(1u, session.messages.size());

    std::vector<DWORD> roomForOne(510, 3);
    roomForOne.back() = kTdxTag;
    ASSERT_EQ(0u, bx::test::WriteGroupOrder(roomForOne));
    EXPECT_EQ(0u, bx::installer::UpdateGroupOrder(session, bx::test::kTransportGroup, kTdxTag, 42, Change::Add));
    roomForOne.push_back(42);
    EXPECT_EQ(roomForOne, GroupOrder());

    // Count 1000, two tags stored: the two are the list.
    const BYTE lying[] = {0xE8, 0x03, 0, 0, kTdxTag, 0, 0, 0, 9, 0, 0, 0};
    ASSERT_EQ(0u, bx::test::WriteGroupOrderBytes(std::vector<BYTE>(lying, lying + sizeof lying)));
    EXPECT_EQ(0u, bx::installer::UpdateGroupOrder(session, bx::test::kTransportGroup, kTdxTag, 42, Change::Add));
    EXPECT_EQ((std::vector<DWORD>{kTdxTag, 42, 9}), GroupOrder());
}

TEST(GroupOrderBytes, ParseAndStore) {
    const BYTE stored[] = {2, 0, 0, 0, 0x04, 0, 0, 0, 0x07, 0x01, 0, 0};
    EXPECT_EQ((std::vector<DWORD>{4, 0x107}), bx::installer::ParseGroupOrder(stored, sizeof stored));
    EXPECT_EQ(std::vector<BYTE>(stored, stored + sizeof stored), bx::installer::StoreGroupOrder({4, 0x107}));
    EXPECT_TRUE(bx::installer::ParseGroupOrder(stored, 3).empty());
    EXPECT_EQ(std::vector<DWORD>{4}, bx::installer::ParseGroupOrder(stored, 9));  // a partial tag is no tag
}

// ---------------------------------------------------------------------------
// SetServiceRecovery. Wine's SCM accepts failure actions and stores nothing,
// and does not know the level of their flag (124, as systems before Vista
// answer, which the action takes as a system without it), so the test records
// the calls at this program's import of ChangeServiceConfig2W (the actions
// are linked into this program) and passes them on to Wine.

struct RecordedRecovery {
    int calls = 0;
    DWORD level = 0, resetPeriod = 0;
    int onNonCrashFailures = -1;  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, when set
    bool rebootMessage = true, command = true;
    std::vector<SC_ACTION> actions;
};
RecordedRecovery g_recovery;
decltype(&ChangeServiceConfig2W) g_realChangeConfig2 = nullptr;

BOOL WINAPI RecordChangeConfig2(SC_HANDLE service, DWORD level, LPVOID info) {
    ++g_recovery.calls;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        g_recovery.onNonCrashFailures =
            static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
    else
        g_recovery.level = level;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        auto* actions = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        g_recovery.resetPeriod = actions->dwResetPeriod;
        g_recovery.rebootMessage = actions->lpRebootMsg != nullptr;
        g_recovery.command = actions->lpCommand != nullptr;
        g_recovery.actions.assign(actions->lpsaActions, actions->lpsaActions + actions->cActions);
    }
    return g_realChangeConfig2(service, level, info);
}

class RecoveryRecorder {
public:
    RecoveryRecorder() : patch_(__imp_ChangeServiceConfig2W, &RecordChangeConfig2) {
        g_recovery = RecordedRecovery();
        g_realChangeConfig2 = patch_.Original();
    }

private:
    bx::test::ImportPatch<decltype(&ChangeServiceConfig2W)> patch_;
};

TEST_F(CustomActions, SetServiceRecoveryRestartsThreeTimesAfterAMinute) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvns", SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               L"C:\\nowhere\\bxhvns.exe"));
    RecoveryRecorder recorder;
    RecordingSession s;
    s.properties[L"CustomActionData"] = L"bxhvns";
    EXPECT_EQ(0u, bx::installer::SetServiceRecovery(s));
    EXPECT_EQ("", s.All());
    ASSERT_EQ(2, g_recovery.calls);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), g_recovery.level);
    EXPECT_EQ(TRUE, g_recovery.onNonCrashFailures);  // also when the service stops with an error
    EXPECT_EQ(86400u, g_recovery.resetPeriod);
    EXPECT_FALSE(g_recovery.rebootMessage);
    EXPECT_FALSE(g_recovery.command);
    ASSERT_EQ(3u, g_recovery.actions.size());
    for (const SC_ACTION& action : g_recovery.actions) {
        EXPECT_EQ(SC_ACTION_RESTART, action.Type);
        EXPECT_EQ(60000u, action.Delay);
    }
}

TEST_F(CustomActions, SetServiceRecoveryFailures) {
    RecoveryRecorder recorder;
    RecordingSession missing;
    EXPECT_EQ(0xFFFFFFFFu, bx::installer::SetServiceRecovery(missing));
    EXPECT_EQ((std::vector<std::string>{"Internal Error - Failed to get CustomActionData from installer.",
                                        "Internal installer error - service name not found"}),
              missing.messages);
    RecordingSession unknown;
    unknown.properties[L"CustomActionData"] = L"nosuchservice";
    EXPECT_EQ(0u, bx::installer::SetServiceRecovery(unknown));
    EXPECT_EQ(std::vector<std::string>{"Failed to open the service 'nosuchservice'. Error 1060"}, unknown.messages);
    EXPECT_EQ(0, g_recovery.calls);
}

// ---------------------------------------------------------------------------
// The program folder's permissions. Wine keeps a file's permissions as Unix
// mode bits (owner and Everyone), so the test records the call at this
// program's import of SetNamedSecurityInfoW and passes it on to Wine.

struct RecordedSecurity {
    int calls = 0;
    std::wstring object;
    SECURITY_INFORMATION info = 0;
    std::wstring dacl;  // as SDDL, with its protection
};
RecordedSecurity g_security;
decltype(&SetNamedSecurityInfoW) g_realSetNamedSecurity = nullptr;

DWORD WINAPI RecordSetNamedSecurity(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                                    PACL dacl, PACL sacl) {
    ++g_security.calls;
    g_security.object = name;
    g_security.info = info;
    SECURITY_DESCRIPTOR descriptor;
    LPWSTR text = nullptr;
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) &&
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED,
                                     (info & PROTECTED_DACL_SECURITY_INFORMATION) ? SE_DACL_PROTECTED : 0) &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        bx::win::UniqueLocal owner(text);
        g_security.dacl = text;
    }
    return g_realSetNamedSecurity(name, type, info, owner, group, dacl, sacl);
}

TEST(ProgramFolder, GrantsSystemAndAdministratorsFullControlAndUsersReadAndExecuteOnly) {
    std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_program_folder");
    bx::test::ImportPatch<decltype(&SetNamedSecurityInfoW)> patch(__imp_SetNamedSecurityInfoW, &RecordSetNamedSecurity);
    g_realSetNamedSecurity = patch.Original();
    RecordingSession s;
    s.properties[L"CustomActionData"] = dir;  // as [INSTALLDIR], with its "\"
    EXPECT_EQ(0u, bx::installer::SecureProgramFolder(s));
    EXPECT_EQ("", s.All());
    ASSERT_EQ(1, g_security.calls);
    EXPECT_EQ(dir.substr(0, dir.size() - 1), g_security.object);
    // Protected: whatever the parent grants is not inherited.
    EXPECT_EQ(static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
              g_security.info);
    EXPECT_EQ(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", g_security.dacl);
}

// The files the agent and the tool write go at removal; other files stay,
// and a file in use is waited for.
TEST(RemoveAgentFiles, DeletesTheAgentsOwnFilesOnly) {
    std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"installer_program");
    auto make = [&](const wchar_t* name) {
        bx::win::UniqueFile file(CreateFileW((dir + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
    };
    for (const wchar_t* name : bx::installer::kAgentFiles) make(name);
    make(L"notes.txt");
    // The log is held open (no sharing) and let go of after 300 ms.
    HANDLE held = CreateFileW((dir + L"BXHVNAgent.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    bx::win::UniqueHandle closer(CreateThread(
        nullptr, 0,
        [](void* handle) -> DWORD {
            Sleep(300);
            bx::win::UniqueFile let(static_cast<HANDLE>(handle));  // closes it
            return 0;
        },
        held, 0, nullptr));
    RecordingSession s;
    s.properties[L"CustomActionData"] = dir.substr(0, dir.size() - 1);  // without the trailing "\"
    EXPECT_EQ(0u, bx::installer::RemoveAgentFiles(s));
    WaitForSingleObject(closer.get(), 5000);
    EXPECT_EQ("", s.All());
    for (const wchar_t* name : bx::installer::kAgentFiles)
        EXPECT_FALSE(bx::test::FileExists(dir + name)) << bx::test::Narrow(name);
    EXPECT_TRUE(bx::test::FileExists(dir + L"notes.txt"));
}

// ---------------------------------------------------------------------------
// The appliance settings given to the package.

TEST(ApplianceSettings, ValuesAreCheckedAsTheAgentAndTheApplet) {
    struct Case {
        const wchar_t* property;
        const wchar_t* value;
        bool valid;
    };
    const Case cases[] = {
        {L"UTM_IP", L"198.18.0.2", true},
        {L"UTM_IP", L"utm.example-site.lan", true},
        {L"UTM_IP", L"10.0.0.1;x", false},
        {L"UTM_IP", L"a b", false},
        {L"UTM_PORT", L"4500", true},
        {L"UTM_PORT", L"65535", true},
        {L"UTM_PORT", L"0", false},
        {L"UTM_PORT", L"65536", false},
        {L"UTM_PORT", L"45x", false},
        {L"UTM_PORT", L"99999999999", false},
        {L"UTM_KEY", L"0123456789ABCDEF", true},
        {L"UTM_KEY", L"a1b2", true},
        {L"UTM_KEY", L"0123456789ABCDEF01", false},
        {L"UTM_KEY", L"abc", false},
        {L"UTM_KEY", L"zz", false},
        {L"UTM_TIMEOUT", L"10", true},
        {L"UTM_TIMEOUT", L"0", false},
        {L"UTM_RETRIES", L"0", true},
        {L"UTM_RETRIES", L"101", false},
        {L"VERBOSE", L"1", true},
        {L"VERBOSE", L"2", false},
        {L"VERBOSE", L"yes", false},
    };
    for (const Case& c : cases) {
        std::wstring why;
        EXPECT_EQ(c.valid, bx::installer::CheckSetting({c.property, c.value}, why))
            << bx::test::Narrow(c.property) << "=" << bx::test::Narrow(c.value);
        EXPECT_EQ(c.valid, why.empty());
    }
}

TEST(ApplianceSettings, CustomActionDataIsParsedAndEmptyValuesLeftOut) {
    std::vector<bx::installer::SettingValue> values;
    std::wstring why;
    ASSERT_TRUE(bx::installer::ParseSettings(
        L"UTM_IP=10.1.2.3;UTM_PORT=;UTM_KEY=ab01;UTM_TIMEOUT=;UTM_RETRIES=5;VERBOSE=", values, why));
    ASSERT_EQ(3u, values.size());
    EXPECT_EQ(L"UTM_IP", values[0].property);
    EXPECT_EQ(L"10.1.2.3", values[0].value);
    EXPECT_EQ(L"UTM_KEY", values[1].property);
    EXPECT_EQ(L"UTM_RETRIES", values[2].property);
    EXPECT_FALSE(bx::installer::ParseSettings(L"UTM_IP=1.2.3.4;SOMETHING=1", values, why));
    EXPECT_FALSE(bx::installer::ParseSettings(L"UTM_IP", values, why));
}

class ApplianceSettingsKey : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
        bx::test::ResetInstallerState();
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
        bx::test::ResetInstallerState();
    }
    // The journal key's DACL as SDDL.
    static std::wstring JournalDacl() {
        bx::win::UniqueRegKey journal;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, bx::installer::kJournalKey, 0, READ_CONTROL, journal.put()) !=
            ERROR_SUCCESS)
            return L"(no journal)";
        BYTE descriptor[1024];
        DWORD size = sizeof descriptor;
        LPWSTR text = nullptr;
        if (RegGetKeySecurity(journal.get(), DACL_SECURITY_INFORMATION, descriptor, &size) != ERROR_SUCCESS ||
            !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                  DACL_SECURITY_INFORMATION, &text, nullptr))
            return L"(unreadable)";
        bx::win::UniqueLocal owner(text);
        return text;
    }
    static constexpr const wchar_t* kKey = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";
    static bool Read(const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
        BYTE buffer[512];
        DWORD size = sizeof buffer;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &size) !=
            ERROR_SUCCESS)
            return false;
        data.assign(buffer, buffer + size);
        return true;
    }
};

TEST_F(ApplianceSettingsKey, GivenValuesAreWrittenWithTheAgentsTypes) {
    RecordingSession s;
    s.properties[L"CustomActionData"] =
        L"UTM_IP=198.18.0.2;UTM_PORT=4500;UTM_KEY=0123456789abcdef;UTM_TIMEOUT=;UTM_RETRIES=7;VERBOSE=1";
    ASSERT_EQ(0u, bx::installer::WriteSettingsAction(s)) << s.All();
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(Read(L"ip", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    const wchar_t ip[] = L"198.18.0.2";  // with its NUL
    EXPECT_EQ(std::vector<BYTE>(reinterpret_cast<const BYTE*>(ip), reinterpret_cast<const BYTE*>(ip) + sizeof ip),
              data);
    ASSERT_TRUE(Read(L"port", type, data));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ((std::vector<BYTE>{0x94, 0x11, 0, 0}), data);  // 4500
    ASSERT_TRUE(Read(L"Retries", type, data));
    EXPECT_EQ((std::vector<BYTE>{7, 0, 0, 0}), data);
    ASSERT_TRUE(Read(L"verbose", type, data));
    EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0}), data);
    ASSERT_TRUE(Read(L"key", type, data));
    EXPECT_FALSE(Read(L"TimeOut", type, data));  // not given: not written
    // The key holds the secret: a protected DACL for SYSTEM and Administrators
    // only (read back: Wine does not enforce it).
    EXPECT_EQ(L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
              bx::test::DaclSddl(std::wstring(L"MACHINE\\") + kKey, SE_REGISTRY_KEY));
}

TEST(ApplianceSettings, TheImmediateCheckReadsThePropertiesThemselves) {
    RecordingSession good;
    good.properties = {{L"UTM_IP", L"198.18.0.2"}, {L"UTM_PORT", L"4500"}, {L"UTM_KEY", L""}};
    EXPECT_EQ(0u, bx::installer::CheckSettingsAction(good)) << good.All();
    RecordingSession bad;
    bad.properties = {{L"UTM_IP", L"198.18.0.2"}, {L"UTM_KEY", L"abc"}};
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), bx::installer::CheckSettingsAction(bad));
    // The key's value is not shown, even a wrong one.
    EXPECT_EQ(std::vector<std::string>{"Invalid UTM_KEY: expected an even number of hexadecimal digits "
                                       "(0-9, a-f, A-F), at most 16."},
              bad.messages);
}

// A later failure puts back the settings the installation replaced and
// takes away those it added; what the rollback restores from (the key's
// earlier value among it) is for SYSTEM and Administrators only.
TEST_F(ApplianceSettingsKey, RollbackPutsBackWhatWasThere) {
    for (bool keyExisted : {true, false}) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
        const wchar_t ip[] = L"198.18.0.1", key[] = L"a1b2";
        const DWORD port = 4500;
        if (keyExisted) {
            ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"ip", REG_SZ, ip, sizeof ip));
            ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"key", REG_SZ, key, sizeof key));
            ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, L"port", REG_DWORD, &port, sizeof port));
        }
        RecordingSession s;
        s.properties[L"CustomActionData"] =
            L"UTM_IP=198.18.0.2;UTM_PORT=4600;UTM_KEY=0123456789abcdef;UTM_TIMEOUT=;UTM_RETRIES=7;VERBOSE=";
        ASSERT_EQ(0u, bx::installer::WriteSettingsAction(s)) << s.All();
        EXPECT_EQ(L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", JournalDacl());

        EXPECT_EQ(0u, bx::installer::WriteSettingsRollback(s));
        EXPECT_EQ("", s.All());
        DWORD type = 0;
        std::vector<BYTE> data;
        if (keyExisted) {
            ASSERT_TRUE(Read(L"ip", type, data));
            EXPECT_EQ(
                std::vector<BYTE>(reinterpret_cast<const BYTE*>(ip), reinterpret_cast<const BYTE*>(ip) + sizeof ip),
                data);
            ASSERT_TRUE(Read(L"key", type, data));
            EXPECT_EQ(
                std::vector<BYTE>(reinterpret_cast<const BYTE*>(key), reinterpret_cast<const BYTE*>(key) + sizeof key),
                data);
            ASSERT_TRUE(Read(L"port", type, data));
            EXPECT_EQ((std::vector<BYTE>{0x94, 0x11, 0, 0}), data);
            EXPECT_FALSE(Read(L"Retries", type, data));
        } else {
            bx::win::UniqueRegKey settings;
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, settings.put()));
        }
        bx::installer::JournalSection section;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), section.Open(L"Settings"));
    }
}

TEST_F(ApplianceSettingsKey, AnInvalidValueFailsAndWritesNothing) {
    RecordingSession s;
    s.properties[L"CustomActionData"] = L"UTM_IP=198.18.0.2;UTM_PORT=70000;UTM_KEY=;UTM_TIMEOUT=;UTM_RETRIES=;VERBOSE=";
    EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), bx::installer::WriteSettingsAction(s));
    EXPECT_EQ(std::vector<std::string>{"Invalid UTM_PORT \"70000\": expected a whole number from 1 to 65535."},
              s.messages);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(Read(L"ip", type, data));
}

}  // namespace
