// The product's MSI package under Wine's msiexec and SCM: a silent
// installation with appliance settings gives a running agent that notifies
// the appliance peer (sim/utm in the tests' network namespace), removal takes
// everything away, a previous product version blocks the installation, an
// upgrade keeps the agent's settings, logs and crash dump, and installations
// and removals that fail late roll back to what was there (a test variant of
// the package, tests/e2e/failing_package.sql). Wine has no "tcpip", "tdx" or
// "netbt" services: the tests make stand-ins and the group order value
// themselves (tests/support/win/driver_services.h).
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "installer/custom_actions.h"
#include "platform/win/handles.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/e2e/package_fixture.h"
#include "tests/support/win/driver_services.h"
#include "tests/support/win/service_manager.h"

namespace {

namespace e2e = bx::test::e2e;

using bx::test::kTcpipTag;
using bx::test::kTdxTag;
using e2e::InstalledProducts;
using e2e::kProductKey;
using e2e::kSettingsKey;
using e2e::Msiexec;
using e2e::MsiResult;
using e2e::NextPackage;
using e2e::Package;
using e2e::PeerLine;
using e2e::ProgramFolder;
using e2e::ReadDword;
using e2e::ReadString;

const char kKey[] = "0123456789ABCDEF";
const DWORD kArrivalMs = 15000;
std::wstring FailingPackage() { return e2e::WindowsPath(E2E_FAILING_PACKAGE); }

// netbt's dependency list as the SCM stores it (Wine's QueryServiceConfigW
// reports none).
std::vector<std::wstring> NetbtDependencies() {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    std::vector<std::wstring> names;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\netbt", L"DependOnService",
                     RRF_RT_REG_MULTI_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return names;
    for (const wchar_t* name = buffer; *name; name += wcslen(name) + 1) names.emplace_back(name);
    return names;
}

bool Contains(const std::vector<std::wstring>& names, const wchar_t* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A folder's DACL as SDDL.
std::wstring FolderDacl(const std::wstring& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return L"(unreadable)";
    bx::win::UniqueLocal owner(descriptor);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return L"(unconvertible)";
    bx::win::UniqueLocal textOwner(text);
    return text;
}

// A custom action's session that reports nothing.
class NullSession : public bx::installer::Session {
public:
    UINT GetProperty(const wchar_t*, wchar_t*, DWORD*) override { return ERROR_UNKNOWN_PROPERTY; }
    void ReportError(const wchar_t* text) override { ADD_FAILURE() << bx::test::Narrow(text); }
    void ReportInfo(const wchar_t*) override {}
};

bool AgentRuns() {
    return bx::test::WaitUntil([] { return bx::test::QueryService(L"bxhvns").state == SERVICE_RUNNING; }, 20000);
}

class PackageE2E : public e2e::PackageFixture {
protected:
    void TearDown() override {
        peer.Stop();
        e2e::PackageFixture::TearDown();
    }

    std::wstring SettingsArguments(const e2e::PeerNetwork& network, uint16_t port) {
        return L" UTM_IP=" + bx::test::Widen(network.peerIp) + L" UTM_PORT=" + std::to_wstring(port) + L" UTM_KEY=" +
               bx::test::Widen(kKey) + L" UTM_TIMEOUT=10 UTM_RETRIES=3 VERBOSE=1";
    }

    // What a failed or removed installation must not leave behind.
    void ExpectNothingInstalled() {
        EXPECT_FALSE(bx::test::FileExists(ProgramFolder() + L"bxhvns.exe"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ProgramFolder().c_str()));
        // "Brontavex" goes when empty: Windows Installer removes the empty
        // folders it made; Wine's msi leaves the parent, empty.
        std::wstring parent = ProgramFolder().substr(0, ProgramFolder().size() - wcslen(L"Halvern\\"));
        EXPECT_TRUE(GetFileAttributesW(parent.c_str()) == INVALID_FILE_ATTRIBUTES || RemoveDirectoryW(parent.c_str()))
            << bx::test::Narrow(parent) << " holds files";
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
        EXPECT_FALSE(bx::test::QueryService(L"bxhvns").exists);
        EXPECT_TRUE(bx::test::WaitUntil([] { return !bx::test::QueryService(L"bxhvnd").exists; }, 10000));
        EXPECT_FALSE(bx::test::FileExists(bx::test::InstalledDriverFile()));
        std::wstring code;
        EXPECT_FALSE(ReadString(kProductKey, L"ProductCode", code));
        std::vector<DWORD> tags;
        EXPECT_TRUE(bx::test::ReadGroupOrder(tags));
        EXPECT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag}), tags);
        EXPECT_FALSE(Contains(NetbtDependencies(), L"bxhvnd"));
    }

    e2e::Peer peer{"package_peer"};
};

// One command installs a working agent: files, services, settings, driver
// registration; the agent notifies the appliance. Removal takes it all away.
TEST_F(PackageE2E, SilentInstallWithSettingsNotifiesThePeerAndRemovalTakesEverything) {
    e2e::PeerNetwork network = e2e::ReadPeerNetwork();
    BX_REQUIRE_PEER_NETWORK(network);
    uint16_t port = e2e::FreeUdpPort();
    std::string why;
    ASSERT_TRUE(peer.Start({"--listen", network.peerIp + ":" + std::to_string(port), "--key", kKey}, why)) << why;

    MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()) + SettingsArguments(network, port));
    ASSERT_EQ(0u, install.exitCode) << install.log;

    for (const wchar_t* file : {L"bxhvns.exe", L"BXLogger.dll", L"bxhvnd.sys"})
        EXPECT_TRUE(bx::test::FileExists(ProgramFolder() + file)) << bx::test::Narrow(file);
    EXPECT_FALSE(bx::test::FileExists(ProgramFolder() + L"HVNCA.dll"));  // only in the package's Binary table

    // The settings key holds the given values.
    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(ReadString(kSettingsKey, L"ip", text) && text == bx::test::Widen(network.peerIp));
    EXPECT_TRUE(ReadString(kSettingsKey, L"key", text) && text == bx::test::Widen(kKey));
    EXPECT_TRUE(ReadDword(kSettingsKey, L"port", number) && number == port);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"TimeOut", number) && number == 10);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"Retries", number) && number == 3);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"verbose", number) && number == 1);

    // ProductCode, as the feedback post reads it, names the installed product.
    std::wstring code;
    ASSERT_TRUE(ReadString(kProductKey, L"ProductCode", code));
    wchar_t version[64];
    DWORD length = 64;
    EXPECT_EQ(static_cast<UINT>(ERROR_SUCCESS),
              MsiGetProductInfoW(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length));

    // The driver service after the reference service, in its group.
    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    ASSERT_TRUE(driver.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), driver.type);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), driver.start);
    EXPECT_EQ(std::wstring(bx::test::kTransportGroup), driver.group);
    EXPECT_EQ(L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys", driver.binaryPath);
    EXPECT_TRUE(bx::test::FileExists(bx::test::InstalledDriverFile()));
    std::vector<DWORD> tags;
    ASSERT_TRUE(bx::test::ReadGroupOrder(tags));
    // Windows gives the new service a tag, which follows the reference tag
    // (here the last of its group); Wine's SCM gives none, and a service
    // without a tag takes no place in the list (installer_actions_test
    // proves the insertion with a tag Wine keeps).
    std::vector<DWORD> expected = {1, kTcpipTag, kTdxTag};
    if (driver.tag) expected.push_back(driver.tag);
    EXPECT_EQ(expected, tags);
    EXPECT_TRUE(Contains(NetbtDependencies(), L"bxhvnd"));

    // The recovery call was made and reported nothing (Wine's SCM does not
    // store failure actions; installer_actions_test records the call).
    EXPECT_NE(std::string::npos, install.log.find("Action start")) << install.log;
    EXPECT_NE(std::string::npos, install.log.find("SetAgentRecovery. Return value 1")) << install.log;
    for (const char* failure : {"Failed to open the service control manager", "Failed to open the service '",
                                "Failed to change service config"})
        EXPECT_EQ(std::string::npos, install.log.find(failure)) << install.log;

    // The agent runs, with the driver, and notifies the appliance.
    bx::test::ServiceConfig agent = bx::test::QueryService(L"bxhvns");
    ASSERT_TRUE(agent.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), agent.start);
    EXPECT_TRUE(bx::test::WaitUntil([] { return bx::test::QueryService(L"bxhvns").state == SERVICE_RUNNING; }, 20000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), bx::test::QueryService(L"bxhvnd").state);
    ASSERT_TRUE(peer.WaitFor(
        [](const std::vector<PeerLine>& lines) {
            return std::any_of(lines.begin(), lines.end(),
                               [](const PeerLine& l) { return l.word == "rx" && l["kind"] == "reset"; });
        },
        kArrivalMs))
        << bx::test::ReadFileBytes(ProgramFolder() + L"BXHVNAgent.log");
    {
        e2e::DriverFeeder feeder;
        ASSERT_TRUE(feeder.IsOpen());
        e2e::Account user = e2e::TokenUser();
        ASSERT_EQ(0u, feeder.Inject(e2e::OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 49152, "93.184.216.34", 443, 2,
                                                    0x1001, user.Sid())));
        ASSERT_TRUE(peer.WaitForNotifications(1, kArrivalMs))
            << bx::test::ReadFileBytes(ProgramFolder() + L"BXHVNAgent.log");
        PeerLine first = peer.Notifications()[0];
        EXPECT_EQ("open", first["op"]);
        EXPECT_EQ("93.184.216.34", first["dst"]);
        EXPECT_EQ(user.name, first["user"]);
    }

    MsiResult removal = Msiexec(L"/x " + bx::test::Quote(Package()));
    ASSERT_EQ(0u, removal.exitCode) << removal.log;
    EXPECT_EQ(std::string::npos, removal.log.find("Failed UnInstall")) << removal.log;
    ExpectNothingInstalled();
}

// A service of an earlier product version blocks the installation with the
// installer's message and exit 1603; the rollback leaves nothing behind.
TEST_F(PackageE2E, PreviousVersionBlocksTheInstallationAndLeavesNothing) {
    for (const wchar_t* previous : {L"hvns", L"hvnd"}) {
        ASSERT_EQ(0u, bx::test::CreateServiceEntry(previous, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                   L"C:\\old\\hvn.exe"));
        MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()) + L" UTM_IP=198.18.0.9 UTM_PORT=4500");
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), install.exitCode) << install.log;
        EXPECT_NE(std::string::npos,
                  install.log.find("A previous version of Halvern has been detected.Please uninstall the previous "
                                   "version then try again."))
            << install.log;
        ExpectNothingInstalled();
        std::wstring ip;
        EXPECT_FALSE(ReadString(kSettingsKey, L"ip", ip));
        EXPECT_TRUE(bx::test::QueryService(previous).exists);  // the old product's service is not touched
        ASSERT_TRUE(bx::test::RemoveService(previous));
    }
}

// A bad appliance setting stops the installation before anything stays. The
// message carries the value as given ([..] and {..} are not expanded), except
// a key's: neither the message nor the log shows it.
TEST_F(PackageE2E, InvalidSettingFailsTheInstallationCleanly) {
    struct Case {
        const wchar_t* arguments;
        const char* message;
        const char* hidden;  // a value the log must not show
    };
    const Case cases[] = {
        {L" UTM_IP=198.18.0.9 UTM_PORT=70000", "Invalid UTM_PORT \"70000\": expected a whole number", nullptr},
        {L" UTM_IP=[1]{[ProductName]}", "Invalid UTM_IP \"[1]{[ProductName]}\": expected", nullptr},
        {L" UTM_KEY=0123456789ABCDEF42", "Invalid UTM_KEY: expected an even number of hexadecimal digits",
         "0123456789ABCDEF42"},
    };
    for (const Case& c : cases) {
        MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()) + c.arguments);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), install.exitCode) << install.log;
        EXPECT_NE(std::string::npos, install.log.find(c.message)) << install.log;
        if (c.hidden) {
            // Wine's msi writes every property into the log, those listed in
            // MsiHiddenProperties too (Windows hides them): its property
            // lines are left out here.
            std::string log;
            for (size_t at = 0; at < install.log.size();) {
                size_t end = std::min(install.log.find('\n', at), install.log.size());
                std::string line = install.log.substr(at, end - at);
                if (line.find("Property(") == std::string::npos) log += line + "\n";
                at = end + 1;
            }
            EXPECT_EQ(std::string::npos, log.find(c.hidden)) << log;
        }
        ExpectNothingInstalled();
    }
}

// Removal succeeds when the driver service is gone already: reported, and
// the rest goes.
TEST_F(PackageE2E, RemovalSucceedsWhenTheDriverServiceWasDeleted) {
    MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()));
    ASSERT_EQ(0u, install.exitCode) << install.log;
    ASSERT_TRUE(bx::test::RemoveService(L"bxhvnd"));
    MsiResult removal = Msiexec(L"/x " + bx::test::Quote(Package()));
    EXPECT_EQ(0u, removal.exitCode) << removal.log;
    EXPECT_NE(std::string::npos, removal.log.find("Failed UnInstall Halvern Driver Error 1060")) << removal.log;
    ExpectNothingInstalled();
}

// Installing, upgrading and removing as the README says: the program folder
// is for SYSTEM and Administrators to change, whatever Program Files grants;
// the upgrade keeps the agent's settings (those changed after the
// installation too), its earlier log lines and an unreported crash dump;
// the removal leaves no service, driver or folder.
TEST_F(PackageE2E, UpgradeKeepsSettingsLogsAndCrashDumpAndRemovalLeavesNothing) {
    MsiResult first = Msiexec(L"/i " + bx::test::Quote(Package()) + L" UTM_IP=198.18.0.9 UTM_PORT=4500 UTM_KEY=a1b2");
    ASSERT_EQ(0u, first.exitCode) << first.log;
    // Nobody but SYSTEM and Administrators may change the program folder.
    // Windows reads back the DACL the action set; Wine keeps a file's
    // permissions as Unix mode bits and reads back owner and Everyone
    // entries from them (installer_actions_test records the call itself).
    EXPECT_NE(std::string::npos, first.log.find("SecureProgramFolder. Return value 1")) << first.log;
    const std::wstring dacl = FolderDacl(ProgramFolder());
    for (const wchar_t* writer : {L";FA;;;WD)", L";FA;;;BU)", L";FA;;;AU)", L";0x1301bf;;;BU)"})
        EXPECT_EQ(std::wstring::npos, dacl.find(writer)) << bx::test::Narrow(dacl);
    std::wstring firstCode;
    ASSERT_TRUE(ReadString(kProductKey, L"ProductCode", firstCode));
    // The administrator changes a value afterwards (as the settings applet).
    {
        bx::win::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, key.put()));
        DWORD timeOut = 7;
        RegSetValueExW(key.get(), L"TimeOut", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&timeOut), sizeof timeOut);
    }
    // The agent has logged; a crash dump waits to be reported.
    const std::wstring log = ProgramFolder() + L"BXHVNAgent.log", dump = ProgramFolder() + L"HVNCrash.dmp";
    ASSERT_TRUE(AgentRuns());
    ASSERT_TRUE(bx::test::WaitUntil(
        [&] { return bx::test::ReadFileBytes(log).find("is starting") != std::string::npos; }, 10000));
    const std::string earlier = bx::test::ReadFileBytes(log);
    ASSERT_TRUE(bx::test::WriteFileBytes(dump, "MDMP crash dump"));

    // The administrator's Services console holds the agent service open for
    // two seconds into the upgrade: its removal only marks the service, and
    // the new one is created once the console lets go.
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    bx::win::UniqueScHandle console(OpenServiceW(scm.get(), L"bxhvns", SERVICE_QUERY_STATUS));
    ASSERT_TRUE(console);
    std::thread closer([&] {
        Sleep(2000);
        console.reset();
    });
    MsiResult upgrade = Msiexec(L"/i " + bx::test::Quote(NextPackage()));
    closer.join();
    ASSERT_EQ(0u, upgrade.exitCode) << upgrade.log;

    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(ReadString(kSettingsKey, L"ip", text) && text == L"198.18.0.9") << bx::test::Narrow(text);
    EXPECT_TRUE(ReadString(kSettingsKey, L"key", text) && text == L"a1b2");
    EXPECT_TRUE(ReadDword(kSettingsKey, L"port", number) && number == 4500);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"TimeOut", number) && number == 7);
    EXPECT_EQ(0u, bx::test::ReadFileBytes(log).rfind(earlier, 0)) << bx::test::ReadFileBytes(log);
    EXPECT_EQ("MDMP crash dump", bx::test::ReadFileBytes(dump));

    std::wstring nextCode;
    ASSERT_TRUE(ReadString(kProductKey, L"ProductCode", nextCode));
    EXPECT_NE(firstCode, nextCode);
    EXPECT_EQ(static_cast<UINT>(ERROR_UNKNOWN_PRODUCT),
              MsiGetProductInfoW(firstCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, nullptr, nullptr));
    wchar_t version[64];
    DWORD length = 64;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS),
              MsiGetProductInfoW(nextCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length));
    EXPECT_NE(std::wstring(L"1.0.0"), std::wstring(version));
    EXPECT_TRUE(bx::test::FileExists(ProgramFolder() + L"bxhvns.exe"));
    EXPECT_TRUE(Contains(NetbtDependencies(), L"bxhvnd"));
    EXPECT_TRUE(AgentRuns());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), bx::test::QueryService(L"bxhvnd").state);

    MsiResult removal = Msiexec(L"/x " + bx::test::Quote(NextPackage()));
    EXPECT_EQ(0u, removal.exitCode) << removal.log;
    ExpectNothingInstalled();
}

// The upgrade's removal of the installed version fails right after the
// driver's removal: its rollback leaves the agent running with its driver,
// and the version installed. Wine's msiexec runs that removal as a process
// of its own, "msiexec /qn /i {product} REMOVE=<the features>", and goes on
// with the upgrade when it fails (Windows stops the upgrade): the test runs
// that removal itself, with the variant's property that makes it fail.
TEST_F(PackageE2E, FailedRemovalInAnUpgradeLeavesARunningAgentAndDriver) {
    MsiResult install = Msiexec(L"/i " + bx::test::Quote(FailingPackage()) + L" UTM_IP=198.18.0.9 UTM_PORT=4500");
    ASSERT_EQ(0u, install.exitCode) << install.log;
    ASSERT_TRUE(AgentRuns());
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(1u, products.size());
    const std::string driverFile = bx::test::ReadFileBytes(bx::test::InstalledDriverFile());
    ASSERT_FALSE(driverFile.empty());

    MsiResult removal = Msiexec(L"/i " + products[0] + L" REMOVE=Complete BX_TEST_FAIL=1");
    EXPECT_NE(0u, removal.exitCode) << removal.log;
    EXPECT_NE(std::string::npos, removal.log.find("TestFailAfterDriverRemoval")) << removal.log;
    // Windows rolls back in the reverse order of the script, the driver's
    // rollback before the agent's start, and goes on past a failed step.
    // Wine's msi schedules a standard action's rollback only when it runs
    // the action (at InstallFinalize, after every custom action's rollback
    // was scheduled), so the agent's start comes first; its StopServices
    // does not wait for the agent to stop either. That start fails (the
    // agent is still stopping, and its driver is gone) and ends the rollback
    // there. What Windows runs next is run here: the driver's rollback from
    // the journal the removal left (nothing when there is none), then the
    // agent's start once its stop is over.
    NullSession session;
    EXPECT_EQ(0u, bx::installer::UninstallRollback(session));
    ASSERT_TRUE(bx::test::WaitUntil(
        [] {
            DWORD state = bx::test::QueryService(L"bxhvns").state;
            return state == SERVICE_STOPPED || state == SERVICE_RUNNING;
        },
        20000));
    if (bx::test::QueryService(L"bxhvns").state == SERVICE_STOPPED)
        EXPECT_EQ(0u, bx::test::StartServiceAndWait(L"bxhvns"));

    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    EXPECT_TRUE(driver.exists) << removal.log;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), driver.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), driver.state);
    EXPECT_TRUE(driverFile == bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    EXPECT_TRUE(AgentRuns());
    // Windows registers the product again in the rollback; Wine's msi does
    // not (its rollback publishes no product), so the product's registration
    // is not checked here.
    EXPECT_TRUE(bx::test::FileExists(ProgramFolder() + L"bxhvns.exe"));
    EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
}

// The driver file is loaded (an earlier driver runs): the installation puts
// the new file in its place, leaves the old one to be deleted at the next
// restart and ends with 3010.
TEST_F(PackageE2E, InstallationOverALoadedDriverAsksForARestart) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys"));
    ASSERT_TRUE(
        CopyFileW((bx::test::ExeDirectory() + L"bxhvnd.sys").c_str(), bx::test::InstalledDriverFile().c_str(), FALSE));
    ASSERT_EQ(0u, bx::test::StartServiceAndWait(L"bxhvnd"));

    MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED), install.exitCode) << install.log;
    EXPECT_NE(std::string::npos, install.log.find("waits for the next restart of the system")) << install.log;
    EXPECT_TRUE(AgentRuns());
    EXPECT_EQ(1u, bx::test::DriverFilesMovedAside().size());
    EXPECT_TRUE(bx::test::FileExists(bx::test::InstalledDriverFile()));
}

// An installation over a "bxhvnd" that was there (service and driver file)
// fails after the settings were written: the rollback leaves that driver as
// it was, puts back the earlier settings, and takes away the rest.
TEST_F(PackageE2E, RolledBackInstallationLeavesTheDriverAndSettingsThatWereThere) {
    ASSERT_EQ(0u, bx::test::CreateServiceEntry(L"bxhvnd", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                               L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys"));
    const std::string earlierDriver = bx::test::ReadFileBytes(bx::test::ExeDirectory() + L"bxhvnd.sys") + "earlier";
    ASSERT_TRUE(bx::test::WriteFileBytes(bx::test::InstalledDriverFile(), earlierDriver));
    e2e::AgentSettings earlier;
    earlier.ip = L"198.18.0.7";
    earlier.port = 4400;
    e2e::WriteAgentSettings(earlier);

    MsiResult install = Msiexec(L"/i " + bx::test::Quote(FailingPackage()) +
                                L" UTM_IP=198.18.0.9 UTM_PORT=4500 UTM_KEY=a1b2 UTM_RETRIES=9 BX_TEST_FAIL=1");
    EXPECT_NE(0u, install.exitCode) << install.log;
    EXPECT_NE(std::string::npos, install.log.find("TestFailAfterSettings")) << install.log;

    bx::test::ServiceConfig driver = bx::test::QueryService(L"bxhvnd");
    EXPECT_TRUE(driver.exists);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), driver.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), driver.state);
    EXPECT_TRUE(earlierDriver == bx::test::ReadFileBytes(bx::test::InstalledDriverFile()));
    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(ReadString(kSettingsKey, L"ip", text) && text == earlier.ip) << bx::test::Narrow(text);
    EXPECT_TRUE(ReadString(kSettingsKey, L"key", text) && text == earlier.key);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"port", number) && number == earlier.port);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"Retries", number) && number == earlier.retries);
    EXPECT_FALSE(bx::test::QueryService(L"bxhvns").exists);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ProgramFolder().c_str()));
    EXPECT_TRUE(InstalledProducts().empty());
    std::vector<DWORD> tags;
    EXPECT_TRUE(bx::test::ReadGroupOrder(tags));
    EXPECT_EQ((std::vector<DWORD>{1, kTcpipTag, kTdxTag}), tags);
    EXPECT_TRUE(bx::test::DriverFilesMovedAside().empty());
}

}  // namespace
