// The product's MSI package under Wine's msiexec and SCM: a silent
// installation with appliance settings gives a running agent that notifies
// the appliance peer (sim/utm in the tests' network namespace), removal takes
// everything away, a previous product version blocks the installation, and
// an upgrade keeps the agent's settings. Wine has no "tcpip", "tdx" or
// "netbt" services: the tests make stand-ins and the group order value
// themselves (tests/support/win/driver_services.h).
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win/handles.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/win/driver_services.h"
#include "tests/support/win/service_manager.h"

namespace {

namespace e2e = bx::test::e2e;

using bx::test::kTcpipTag;
using bx::test::kTdxTag;
using e2e::PeerLine;

const char kKey[] = "0123456789ABCDEF";
const DWORD kArrivalMs = 15000;
const wchar_t kProductKey[] = L"SOFTWARE\\Brontavex\\Brontavex Halvern";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";

std::wstring Package() { return e2e::WindowsPath(E2E_PACKAGE); }
std::wstring NextPackage() { return e2e::WindowsPath(E2E_NEXT_PACKAGE); }

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramW6432%\\Brontavex\\Halvern\\", path, MAX_PATH);
    return path;
}

struct MsiResult {
    DWORD exitCode = 0;
    std::string log;
};

// Runs msiexec silently with a verbose log of its own.
MsiResult Msiexec(const std::wstring& arguments) {
    std::wstring log = bx::test::ExeDirectory() + L"package_msiexec.log";
    DeleteFileW(log.c_str());
    bx::test::ProcessResult run =
        bx::test::RunProcess(L"msiexec " + arguments + L" /qn /l*v " + bx::test::Quote(log), 180000);
    MsiResult result;
    result.exitCode = run.timedOut ? WAIT_TIMEOUT : run.exitCode;
    result.log = bx::test::ReadFileBytes(log);
    return result;
}

bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring& value) {
    wchar_t buffer[512];
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

bool ReadDword(const wchar_t* key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

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

class PackageE2E : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        ASSERT_EQ(0u, bx::test::MakeTransportStandIns(why)) << why;
        RemoveProduct();
        for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) ASSERT_TRUE(bx::test::RemoveService(name));
        DeleteFileW(bx::test::InstalledDriverFile().c_str());
        e2e::ClearAgentSettings();
        // "tdx", the reference, is the last of its group.
        ASSERT_EQ(0u, bx::test::WriteGroupOrder({1, kTcpipTag, kTdxTag}));
    }
    void TearDown() override {
        peer.Stop();
        RemoveProduct();
        for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) bx::test::RemoveService(name);
        e2e::ClearAgentSettings();
    }
    static void RemoveProduct() {
        Msiexec(L"/x " + bx::test::Quote(NextPackage()));
        Msiexec(L"/x " + bx::test::Quote(Package()));
    }

    std::wstring SettingsArguments(const e2e::PeerNetwork& network, uint16_t port) {
        return L" UTM_IP=" + bx::test::Widen(network.peerIp) + L" UTM_PORT=" + std::to_wstring(port) + L" UTM_KEY=" +
               bx::test::Widen(kKey) + L" UTM_TIMEOUT=10 UTM_RETRIES=3 VERBOSE=1";
    }

    // What a failed or removed installation must not leave behind.
    void ExpectNothingInstalled() {
        EXPECT_FALSE(bx::test::FileExists(ProgramFolder() + L"bxhvns.exe"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(ProgramFolder().c_str()));
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

// A bad appliance setting stops the installation before anything stays.
TEST_F(PackageE2E, InvalidSettingFailsTheInstallationCleanly) {
    MsiResult install = Msiexec(L"/i " + bx::test::Quote(Package()) + L" UTM_IP=198.18.0.9 UTM_PORT=70000");
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), install.exitCode) << install.log;
    EXPECT_NE(std::string::npos, install.log.find("Invalid UTM_PORT \"70000\"")) << install.log;
    ExpectNothingInstalled();
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

// The next package version replaces the installed one and keeps the agent's
// settings, including those changed after the installation.
TEST_F(PackageE2E, UpgradeKeepsTheAgentsSettings) {
    MsiResult first = Msiexec(L"/i " + bx::test::Quote(Package()) + L" UTM_IP=198.18.0.9 UTM_PORT=4500 UTM_KEY=a1b2");
    ASSERT_EQ(0u, first.exitCode) << first.log;
    std::wstring firstCode;
    ASSERT_TRUE(ReadString(kProductKey, L"ProductCode", firstCode));
    // The administrator changes a value afterwards (as the settings applet).
    {
        bx::win::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, key.put()));
        DWORD timeOut = 7;
        RegSetValueExW(key.get(), L"TimeOut", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&timeOut), sizeof timeOut);
    }

    MsiResult upgrade = Msiexec(L"/i " + bx::test::Quote(NextPackage()));
    ASSERT_EQ(0u, upgrade.exitCode) << upgrade.log;

    std::wstring text;
    DWORD number = 0;
    EXPECT_TRUE(ReadString(kSettingsKey, L"ip", text) && text == L"198.18.0.9") << bx::test::Narrow(text);
    EXPECT_TRUE(ReadString(kSettingsKey, L"key", text) && text == L"a1b2");
    EXPECT_TRUE(ReadDword(kSettingsKey, L"port", number) && number == 4500);
    EXPECT_TRUE(ReadDword(kSettingsKey, L"TimeOut", number) && number == 7);

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
    EXPECT_TRUE(bx::test::QueryService(L"bxhvnd").exists);
    EXPECT_TRUE(Contains(NetbtDependencies(), L"bxhvnd"));
    EXPECT_TRUE(bx::test::WaitUntil([] { return bx::test::QueryService(L"bxhvns").state == SERVICE_RUNNING; }, 20000));

    MsiResult removal = Msiexec(L"/x " + bx::test::Quote(NextPackage()));
    EXPECT_EQ(0u, removal.exitCode) << removal.log;
    ExpectNothingInstalled();
}

}  // namespace
