// BXHVNTSR.exe in a real window under Xvfb, driven from this program through
// tests/support/win/window_driver.h: the sheet and its single instance, the
// start page, the About, Settings and Stats pages, against the real registry,
// the real Service Control Manager (with a stand-in service of the tests'
// own) and a firewall COM server of the tests' own.
//
// Wine's Windows Firewall objects accept every call and store nothing, so the
// tool's firewall calls would prove nothing there: each case registers
// firewall_store.dll under the firewall's class ids in this prefix (and puts
// Wine's registration back afterwards); it keeps the globally open ports in
// the registry, where the case reads and seeds them.
//
// Each case runs its own copy of the tool in a fresh folder (its status file
// lives beside it) and saves screenshots under the build folder.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/product_version.h"
#include "platform/win/handles.h"
#include "tests/support/win/firewall_store.h"
#include "tests/support/win/security_readback.h"
#include "tests/support/win/service_manager.h"
#include "tests/support/win/tool_fixture.h"
#include "tests/support/win/window_driver.h"

namespace {

using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";
constexpr wchar_t kServiceName[] = L"bxhvns";
constexpr wchar_t kBadSecretText[] =
    L"Incorrect Encryption key entered.\nPlease enter an even number of digits and use(0-9,a-f, A-F) only!";
constexpr wchar_t kLongSecretText[] =
    L"Incorrect Encryption key entered.\nPlease enter at most 16 digits and use(0-9,a-f, A-F) only!";
constexpr wchar_t kBadPortText[] = L"Incorrect Appliance Port entered.\nPlease enter a number from 0 to 65535!";

// Control ids of the tool's pages.
enum : int {
    kSecret = 1001,
    kPort = 1002,
    kTimeOut = 1003,
    kRetries = 1004,
    kShowSecret = 1023,
    kVerbose = 1024,
    kAddress = 1031,
    kRefresh = 1030,
    kProductName = 1012,
    kToolVersion = 1014,
    kLegal = 1015,
    kServiceStatus = 1016,
    kServiceVersion = 1017,
    kServiceGroup = 1019,
};
enum : int { kSettingsPage = 0, kStatsPage = 1, kReportsPage = 2, kAboutPage = 3 };

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

// --- registry -------------------------------------------------------------

void DeleteSettings() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey); }

void PutString(const wchar_t* name, const std::wstring& text) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void PutDword(const wchar_t* name, DWORD value) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

struct Stored {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> bytes;
    std::wstring Text() const {
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
        return text;  // with its terminating NUL, as stored
    }
    DWORD Dword() const {
        DWORD value = 0;
        if (bytes.size() == 4) memcpy(&value, bytes.data(), 4);
        return value;
    }
};

Stored Read(HKEY root, const wchar_t* path, const wchar_t* name) {
    Stored stored;
    UniqueRegKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return stored;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &stored.type, nullptr, &size) != ERROR_SUCCESS) return stored;
    stored.bytes.resize(size);
    if (RegQueryValueExW(key.get(), name, nullptr, &stored.type, stored.bytes.data(), &size) != ERROR_SUCCESS)
        return stored;
    stored.bytes.resize(size);
    stored.present = true;
    return stored;
}

Stored Setting(const wchar_t* name) { return Read(HKEY_LOCAL_MACHINE, kSettingsKey, name); }

std::wstring StoredText(const std::wstring& text) { return text + L'\0'; }

// --- services ---------------------------------------------------------------

void RemoveService(const wchar_t* name) {
    UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    UniqueScHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    bx::test::WaitUntil(
        [&] { return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED; }, 15000);
    DeleteService(service.get());
}

// --- the fixture --------------------------------------------------------------

class ToolWindow : public bx::test::ToolFixture {
protected:
    void SetUp() override {
        firewall_ =
            std::make_unique<bx::test::FirewallStoreRegistration>(bx::test::ExeDirectory() + L"firewall_store.dll");
        ASSERT_TRUE(firewall_->Ok());
        bx::test::ClearOpenPorts();
        DeleteSettings();
        RemoveService(kServiceName);
        // A blank in the folder's name: the service's image path must be quoted.
        ASSERT_NO_FATAL_FAILURE(PrepareToolFolder(L"tool window"));
        ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + L"tool_test_service.exe").c_str(),
                              (dir_ + L"tool_test_service.exe").c_str(), FALSE));
    }

    void TearDown() override {
        ToolFixture::TearDown();
        RemoveService(kServiceName);
        DeleteSettings();
        bx::test::ClearOpenPorts();
        firewall_.reset();
    }

    // Starts the tool and waits for its sheet.
    void Start(const std::wstring& arguments = L"") { ASSERT_NE(StartTool(arguments), nullptr); }

    // Presses Apply on the Settings page; returns the message box it opened,
    // if any (its content in `box`), answering it with OK.
    bool Apply(bx::test::MessageBoxContent* box = nullptr) {
        HWND page = Page(kSettingsPage);
        bx::test::PressResult press = bx::test::PressButton(page, IDOK);
        if (press.messageBox) {
            bx::test::MessageBoxContent content = bx::test::ReadMessageBox(press.messageBox);
            Screenshot("settings_message_" + std::to_string(++messages_));
            if (box) *box = content;
            EXPECT_TRUE(bx::test::AnswerMessageBox(press.messageBox, IDOK));
            EXPECT_TRUE(bx::test::WaitUntil([&] { return !IsWindow(press.messageBox); }, 10000));
            bx::test::Sync(page);
            return true;
        }
        EXPECT_TRUE(press.done) << "Apply neither returned nor showed a message";
        return false;
    }

    void WriteStatusFile(const int32_t (&fields)[10]) {
        bx::win::UniqueFile file(
            CreateFileW((dir_ + L"HVNConfig.xml").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        WriteFile(file.get(), fields, sizeof fields, &written, nullptr);
    }

    // The stand-in service, registered as the agent with a quoted image path.
    void InstallService(bool start, bool pending = false, const std::wstring& program = L"tool_test_service.exe") {
        if (pending) {
            bx::win::UniqueFile flag(
                CreateFileW((dir_ + L"pending.flag").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        }
        UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager);
        std::wstring path = bx::test::Quote(dir_ + program);
        UniqueScHandle service(CreateServiceW(
            manager.get(), kServiceName, L"Brontavex Halvern Agent", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateService Error:" << GetLastError();
        if (!start) return;
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << "StartService Error:" << GetLastError();
        DWORD want = pending ? SERVICE_START_PENDING : SERVICE_RUNNING;
        SERVICE_STATUS status{};
        ASSERT_TRUE(bx::test::WaitUntil(
            [&] { return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == want; }, 15000));
    }

    int messages_ = 0;
    std::unique_ptr<bx::test::FirewallStoreRegistration> firewall_;
};

// --- the sheet ----------------------------------------------------------------

TEST_F(ToolWindow, SheetHasFourPagesAndOnlyACloseButtonAndStoresItsHandleWhileOpen) {
    Start();
    HWND tabs = reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETTABCONTROL, 0, 0));
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 4);
    const wchar_t* titles[] = {L"Settings", L"Stats", L"Reports", L"About"};
    for (int i = 0; i < 4; ++i) {
        HWND page = Page(i);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(bx::test::CurrentPageIndex(sheet_), i);
        EXPECT_EQ(bx::test::TextOf(page), titles[i]);
        std::string name = bx::test::Narrow(titles[i]);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        Screenshot("page_" + name);
    }
    EXPECT_FALSE(bx::test::ItemVisible(sheet_, IDOK));
    EXPECT_FALSE(bx::test::ItemVisible(sheet_, IDHELP));
    EXPECT_TRUE(bx::test::ItemVisible(sheet_, IDCANCEL));
    EXPECT_EQ(bx::test::ItemText(sheet_, IDCANCEL), L"&Close");
    HWND apply = GetDlgItem(sheet_, 0x3021);  // IDC_APPLY_BUTTON
    EXPECT_TRUE(!apply || !bx::test::ItemVisible(sheet_, 0x3021));
    // Close sits where Help was, 10 pixels to the left.
    RECT help{}, close{};
    GetWindowRect(GetDlgItem(sheet_, IDHELP), &help);
    GetWindowRect(GetDlgItem(sheet_, IDCANCEL), &close);
    EXPECT_EQ(close.left, help.left - 10);
    EXPECT_EQ(close.top, help.top);
    EXPECT_EQ(close.right - close.left, help.right - help.left);

    Stored handle = Read(HKEY_CURRENT_USER, kToolUserKey, L"HWND");
    ASSERT_TRUE(handle.present);
    EXPECT_EQ(handle.type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(handle.bytes.size(), 8u);
    uint64_t stored = 0;
    memcpy(&stored, handle.bytes.data(), 8);
    EXPECT_EQ(stored, reinterpret_cast<uintptr_t>(sheet_));

    CloseSheet();
    EXPECT_EQ(tool_.ExitCode(), 0u);
    EXPECT_FALSE(Read(HKEY_CURRENT_USER, kToolUserKey, L"HWND").present);
}

TEST_F(ToolWindow, SecondStartBringsTheFirstSheetForwardAndEnds) {
    Start();
    ShowWindow(sheet_, SW_MINIMIZE);
    ASSERT_TRUE(bx::test::WaitUntil([&] { return IsIconic(sheet_) != FALSE; }, 5000));
    bx::test::GuiProgram second(bx::test::Quote(dir_ + L"BXHVNTSR.exe") + L" about");
    ASSERT_TRUE(second.Wait(20000)) << "the second instance did not end";
    EXPECT_TRUE(bx::test::FindTopWindows(kSheetTitle, L"#32770", second.Pid()).empty());
    EXPECT_EQ(bx::test::FindTopWindows(kSheetTitle, L"#32770").size(), 1u);
    EXPECT_TRUE(bx::test::WaitUntil([&] { return !IsIconic(sheet_); }, 5000)) << "the first sheet was not restored";
    EXPECT_TRUE(tool_.Running());
}

TEST_F(ToolWindow, CommandLineWordsChooseTheStartPage) {
    struct Case {
        const wchar_t* arguments;
        int page;
    } cases[] = {{L"", kSettingsPage},   {L"/tsr", kSettingsPage},        {L"/About", kStatsPage},
                 {L"ABOUT", kStatsPage}, {L"about xTSRx", kSettingsPage}, {L"-config", kSettingsPage}};
    for (const Case& c : cases) {
        Start(c.arguments);
        EXPECT_EQ(bx::test::CurrentPageIndex(sheet_), c.page) << "arguments: " << bx::test::Narrow(c.arguments);
        CloseSheet();
    }
}

// --- About ----------------------------------------------------------------------

TEST_F(ToolWindow, AboutShowsNotInstalledAndNoVersionWithoutTheService) {
    Start();
    HWND about = Page(kAboutPage);
    EXPECT_EQ(bx::test::ItemText(about, kProductName), L"Brontavex Halvern");
    EXPECT_EQ(bx::test::ItemText(about, kToolVersion), L"Version " + Wide(BX_VERSION_TEXT));
    EXPECT_FALSE(bx::test::ItemVisible(about, kToolVersion));
    EXPECT_EQ(bx::test::ItemText(about, kLegal), L"Copyright (C) Brontavex. All rights reserved.");
    EXPECT_EQ(bx::test::ItemText(about, kServiceGroup), L"HVN Service");
    EXPECT_EQ(bx::test::ItemText(about, kServiceStatus), L"Not installed");
    EXPECT_EQ(bx::test::ItemText(about, kServiceVersion), L"");
}

TEST_F(ToolWindow, AboutShowsNotRunningAndTheProgramsVersionForAStoppedService) {
    InstallService(false);
    Start();
    HWND about = Page(kAboutPage);
    EXPECT_EQ(bx::test::ItemText(about, kServiceStatus), L"Not running");
    // The image path is quoted (a folder name with a blank): read without quotes.
    EXPECT_EQ(bx::test::ItemText(about, kServiceVersion), L"7.6.5.4");
}

TEST_F(ToolWindow, AboutShowsNotRunningForAStartPendingService) {
    InstallService(true, true);
    Start();
    HWND about = Page(kAboutPage);
    EXPECT_EQ(bx::test::ItemText(about, kServiceStatus), L"Not running");
    EXPECT_EQ(bx::test::ItemText(about, kServiceVersion), L"7.6.5.4");
}

TEST_F(ToolWindow, AboutShowsRunningForARunningService) {
    InstallService(true);
    Start();
    HWND about = Page(kAboutPage);
    EXPECT_EQ(bx::test::ItemText(about, kServiceStatus), L"Running");
    EXPECT_EQ(bx::test::ItemText(about, kServiceVersion), L"7.6.5.4");
    Screenshot("about_running");
}

// --- Settings: showing ----------------------------------------------------------

TEST_F(ToolWindow, SettingsShowStoredValues) {
    PutString(L"ip", L"utm.example.test");
    PutDword(L"port", 2258);
    PutString(L"key", L"0123456789abcdef");
    PutDword(L"Retries", 7);
    PutDword(L"TimeOut", 9);
    PutDword(L"Verbose", 1);
    Start();
    HWND page = Page(kSettingsPage);
    EXPECT_EQ(bx::test::ItemText(page, kAddress), L"utm.example.test");
    EXPECT_EQ(bx::test::ItemText(page, kPort), L"2258");
    EXPECT_EQ(bx::test::ItemText(page, kSecret), L"0123456789abcdef");
    EXPECT_EQ(bx::test::ComboEntries(page, kRetries),
              (std::vector<std::wstring>{L"3", L"4", L"5", L"6", L"7", L"8", L"9", L"10"}));
    EXPECT_EQ(bx::test::ComboEntries(page, kTimeOut), (std::vector<std::wstring>{L"5", L"6", L"7", L"8", L"9", L"10"}));
    EXPECT_EQ(bx::test::ComboSelectedText(page, kRetries), L"7");
    EXPECT_EQ(bx::test::ComboSelectedText(page, kTimeOut), L"9");
    EXPECT_EQ(bx::test::CheckState(page, kVerbose), BST_CHECKED);
    // The secret is hidden until Show Secret is checked.
    HWND secret = GetDlgItem(page, kSecret);
    EXPECT_EQ(SendMessageW(secret, EM_GETPASSWORDCHAR, 0, 0), 0x25CF);
    ASSERT_TRUE(bx::test::PressCheckBox(page, kShowSecret, BST_CHECKED));
    EXPECT_EQ(SendMessageW(secret, EM_GETPASSWORDCHAR, 0, 0), 0);
    Screenshot("settings_filled");
}

TEST_F(ToolWindow, ShowSecretFollowsTheCheckBox) {
    PutString(L"key", L"abcd");
    Start();
    HWND page = Page(kSettingsPage);
    HWND secret = GetDlgItem(page, kSecret);
    ASSERT_TRUE(bx::test::PressCheckBox(page, kShowSecret, BST_CHECKED));
    EXPECT_EQ(SendMessageW(secret, EM_GETPASSWORDCHAR, 0, 0), 0);
    Screenshot("settings_secret_shown");
    ASSERT_TRUE(bx::test::PressCheckBox(page, kShowSecret, BST_UNCHECKED));
    EXPECT_EQ(SendMessageW(secret, EM_GETPASSWORDCHAR, 0, 0), 0x25CF);
}

// The package accepts UTM_RETRIES 0-100 and UTM_TIMEOUT 1-3600: a stored
// value outside the page's lists is shown as it is, in its numeric place,
// and Apply writes it back unchanged. Absent values show "5" and "5".
TEST_F(ToolWindow, StoredValuesOutsideTheListsAreShownAsTheyAreAndWrittenBackUnchanged) {
    struct Case {
        int retries;  // -1: absent
        int timeOut;
        const wchar_t* retriesShown;
        const wchar_t* timeOutShown;
        size_t retriesEntries;
    } cases[] = {
        {-1, -1, L"5", L"5", 8}, {0, 3600, L"0", L"3600", 9}, {20, 1, L"20", L"1", 9}, {10, 5, L"10", L"5", 8}};
    for (const Case& c : cases) {
        DeleteSettings();
        if (c.retries >= 0) PutDword(L"Retries", static_cast<DWORD>(c.retries));
        if (c.timeOut >= 0) PutDword(L"TimeOut", static_cast<DWORD>(c.timeOut));
        Start();
        HWND page = Page(kSettingsPage);
        EXPECT_EQ(bx::test::ComboSelectedText(page, kRetries), c.retriesShown) << "Retries " << c.retries;
        EXPECT_EQ(bx::test::ComboSelectedText(page, kTimeOut), c.timeOutShown) << "TimeOut " << c.timeOut;
        EXPECT_EQ(bx::test::ComboEntries(page, kRetries).size(), c.retriesEntries);
        EXPECT_EQ(bx::test::ItemText(page, kPort), L"") << "no stored port, empty field";
        if (c.retries == 0) Screenshot("settings_outside_lists");
        EXPECT_FALSE(Apply());
        EXPECT_EQ(Setting(L"Retries").Dword(), c.retries >= 0 ? static_cast<DWORD>(c.retries) : 5u);
        EXPECT_EQ(Setting(L"TimeOut").Dword(), c.timeOut >= 0 ? static_cast<DWORD>(c.timeOut) : 5u);
        CloseSheet();
    }
}

// --- Settings: Apply --------------------------------------------------------------

TEST_F(ToolWindow, ApplyWritesEveryValueAndWithoutTheServiceShowsNothing) {
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kAddress, L"10.1.2.3"));
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"2259"));
    ASSERT_TRUE(bx::test::SetItemText(page, kSecret, L"A1b2C3d4"));
    ASSERT_TRUE(bx::test::SelectComboEntry(page, kRetries, 5));  // "8"
    ASSERT_TRUE(bx::test::SelectComboEntry(page, kTimeOut, 1));  // "6"
    ASSERT_TRUE(bx::test::PressCheckBox(page, kVerbose, BST_CHECKED));
    EXPECT_FALSE(Apply()) << "no message without the service";

    EXPECT_EQ(Setting(L"ip").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Setting(L"ip").Text(), StoredText(L"10.1.2.3"));
    EXPECT_EQ(Setting(L"port").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Setting(L"port").Dword(), 2259u);
    EXPECT_EQ(Setting(L"key").Text(), StoredText(L"A1b2C3d4"));
    EXPECT_EQ(Setting(L"Retries").Dword(), 8u);
    EXPECT_EQ(Setting(L"TimeOut").Dword(), 6u);
    EXPECT_EQ(Setting(L"verbose").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(Setting(L"verbose").Dword(), 1u);
    EXPECT_TRUE(tool_.Running()) << "the page stays open";
    // The key the page made holds the secret: a protected DACL for SYSTEM and
    // Administrators only (read back: Wine does not enforce it).
    EXPECT_EQ(bx::test::DaclSddl(std::wstring(L"MACHINE\\") + kSettingsKey, SE_REGISTRY_KEY),
              L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");

    // Emptied address and secret delete their values; verbose off writes 0.
    ASSERT_TRUE(bx::test::SetItemText(page, kAddress, L""));
    ASSERT_TRUE(bx::test::SetItemText(page, kSecret, L""));
    ASSERT_TRUE(bx::test::PressCheckBox(page, kVerbose, BST_UNCHECKED));
    EXPECT_FALSE(Apply());
    EXPECT_FALSE(Setting(L"ip").present);
    EXPECT_FALSE(Setting(L"key").present);
    EXPECT_EQ(Setting(L"verbose").Dword(), 0u);
    EXPECT_EQ(Setting(L"port").Dword(), 2259u);
}

TEST_F(ToolWindow, BadSecretsAreRefusedWithAMessageAndNothingIsWritten) {
    struct Case {
        const wchar_t* secret;
        const wchar_t* message;
    } cases[] = {{L"abc", kBadSecretText},
                 {L"0g", kBadSecretText},
                 {L"12 4", kBadSecretText},
                 {L"0123456789abcdef01", kLongSecretText},
                 {L"0123456789ABCDEF0123", kLongSecretText}};
    PutString(L"ip", L"1.1.1.1");
    PutString(L"key", L"0011");
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kAddress, L"2.2.2.2"));
    for (const Case& c : cases) {
        ASSERT_TRUE(bx::test::SetItemText(page, kSecret, c.secret));
        bx::test::MessageBoxContent box;
        ASSERT_TRUE(Apply(&box)) << "no message for " << bx::test::Narrow(c.secret);
        EXPECT_EQ(box.caption, L"Halvern");
        EXPECT_EQ(box.text, c.message);
        EXPECT_EQ(box.icon, bx::test::BoxIcon::kError);
        EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
        EXPECT_EQ(Setting(L"ip").Text(), StoredText(L"1.1.1.1"));
        EXPECT_EQ(Setting(L"key").Text(), StoredText(L"0011"));
        EXPECT_FALSE(Setting(L"port").present);
    }
}

TEST_F(ToolWindow, APortOutsideZeroTo65535IsRefused) {
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"70000"));
    bx::test::MessageBoxContent box;
    ASSERT_TRUE(Apply(&box));
    EXPECT_EQ(box.text, kBadPortText);
    EXPECT_EQ(box.caption, L"Halvern");
    EXPECT_FALSE(Setting(L"port").present);
}

TEST_F(ToolWindow, ALongStoredSecretIsKeptUnlessTheFieldIsEmptiedOnPurpose) {
    // 20 digits: not shown (18 or more), and no longer deleted by an Apply
    // that changed something else.
    PutString(L"key", L"00112233445566778899");
    Start();
    HWND page = Page(kSettingsPage);
    EXPECT_EQ(bx::test::ItemText(page, kSecret), L"");
    ASSERT_TRUE(bx::test::SetItemText(page, kAddress, L"10.0.0.1"));
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Setting(L"ip").Text(), StoredText(L"10.0.0.1"));
    EXPECT_EQ(Setting(L"key").Text(), StoredText(L"00112233445566778899"));
    // Typing and erasing is emptying it on purpose.
    ASSERT_TRUE(bx::test::SetItemText(page, kSecret, L"1"));
    ASSERT_TRUE(bx::test::SetItemText(page, kSecret, L""));
    EXPECT_FALSE(Apply());
    EXPECT_FALSE(Setting(L"key").present);
}

// --- Settings: firewall -------------------------------------------------------------

TEST_F(ToolWindow, PortChangeMovesTheFirewallEntry) {
    PutDword(L"port", 2258);
    bx::test::AddOpenPort({L"whatever it was called", 2258, 17, true});
    bx::test::AddOpenPort({L"a TCP neighbour", 2258, 6, true});
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"2259"));
    EXPECT_FALSE(Apply());
    std::vector<bx::test::OpenPortEntry> ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 2u);
    auto udp = std::find_if(ports.begin(), ports.end(), [](const auto& e) { return e.protocol == 17; });
    ASSERT_NE(udp, ports.end());
    EXPECT_EQ(udp->port, 2259);
    EXPECT_EQ(udp->name, L"Brontavex Halvern UDP 2259");
    EXPECT_TRUE(udp->enabled);
    auto tcp = std::find_if(ports.begin(), ports.end(), [](const auto& e) { return e.protocol == 6; });
    ASSERT_NE(tcp, ports.end());
    EXPECT_EQ(tcp->port, 2258) << "only the UDP entry is the agent's";

    // The port written last names the entry to remove at the next Apply;
    // port 0 adds none.
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"0"));
    EXPECT_FALSE(Apply());
    ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].protocol, 6);
    EXPECT_EQ(Setting(L"port").Dword(), 0u);
}

TEST_F(ToolWindow, AnOpenPortGetsNoSecondEntry) {
    bx::test::AddOpenPort({L"opened by hand", 2259, 17, true});
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"2259"));
    EXPECT_FALSE(Apply());
    std::vector<bx::test::OpenPortEntry> ports = bx::test::ReadOpenPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].name, L"opened by hand");
}

// --- Settings: restart ------------------------------------------------------------------

TEST_F(ToolWindow, ApplyLaunchesTheServiceProgramWithRestart) {
    InstallService(false);
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"2260"));
    bx::test::MessageBoxContent box;
    EXPECT_FALSE(Apply(&box)) << bx::test::Narrow(box.text);
    std::wstring launched = dir_ + L"launched.txt";
    ASSERT_TRUE(bx::test::WaitUntil([&] { return bx::test::FileExists(launched); }, 20000)) << "not launched";
    std::string bytes = bx::test::ReadFileBytes(launched);
    std::wstring line(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(line.find(L"tool_test_service.exe"), std::wstring::npos) << bx::test::Narrow(line);
    EXPECT_NE(line.find(L"-restart"), std::wstring::npos) << bx::test::Narrow(line);
    EXPECT_EQ(Setting(L"port").Dword(), 2260u);
}

TEST_F(ToolWindow, AFailedLaunchIsReportedWithThePathAndTheError) {
    InstallService(false, false, L"missing.exe");
    Start();
    HWND page = Page(kSettingsPage);
    ASSERT_TRUE(bx::test::SetItemText(page, kPort, L"2261"));
    bx::test::MessageBoxContent box;
    ASSERT_TRUE(Apply(&box));
    EXPECT_EQ(box.caption, L"Brontavex Halvern");
    EXPECT_EQ(box.text, L"Failed to start Service:" + dir_ + L"missing.exe Error:2");
    EXPECT_EQ(box.icon, bx::test::BoxIcon::kError);
    EXPECT_EQ(Setting(L"port").Dword(), 2261u) << "the settings are written before the launch";
}

// --- Stats ----------------------------------------------------------------------------------

TEST_F(ToolWindow, StatsShowTheStatusRecordInTheDocumentedRows) {
    // Values holding 0x1A and CR LF bytes: read as binary, nothing is cut short.
    const int32_t fields[10] = {0x1A0D0A01, 11, 22, 33, 44, 55, 666666, 77, 88, 99};
    WriteStatusFile(fields);
    Start();
    HWND page = Page(kStatsPage);
    struct Row {
        int control;
        int32_t value;
    } rows[] = {{1035, 0x1A0D0A01}, {1029, 11}, {1032, 22}, {1045, 99}, {1039, 55},
                {1041, 77},         {1033, 33}, {1043, 88}, {1037, 44}};
    for (const Row& row : rows) EXPECT_EQ(bx::test::ItemText(page, row.control), std::to_wstring(row.value));
    // Field 6 is shown nowhere on the page.
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        EXPECT_EQ(bx::test::TextOf(child).find(L"666666"), std::wstring::npos);
    Screenshot("stats_filled");

    // Refresh reads the file again.
    const int32_t later[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    WriteStatusFile(later);
    ASSERT_TRUE(bx::test::PressButton(page, kRefresh).done);
    EXPECT_EQ(bx::test::ItemText(page, 1045), L"10");
    EXPECT_EQ(bx::test::ItemText(page, 1035), L"1");
}

TEST_F(ToolWindow, StatsShowZeroEverywhereWithoutAStatusFile) {
    Start();
    HWND stats = Page(kStatsPage);
    for (int control : {1035, 1029, 1032, 1045, 1039, 1041, 1033, 1043, 1037})
        EXPECT_EQ(bx::test::ItemText(stats, control), L"0") << control;
}

TEST_F(ToolWindow, StatsRefreshWhenThePageIsShownNotWhenItIsLeft) {
    const int32_t fields[10] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
    WriteStatusFile(fields);
    Start();
    // The Settings page is showing; the Stats page exists only once shown, so
    // its values appear with the first showing.
    HWND stats = Page(kStatsPage);
    EXPECT_EQ(bx::test::ItemText(stats, 1035), L"5");
    const int32_t later[10] = {8, 8, 8, 8, 8, 8, 8, 8, 8, 8};
    WriteStatusFile(later);
    Page(kAboutPage);  // switching away does not refresh
    EXPECT_EQ(bx::test::ItemText(stats, 1035), L"5");
    Page(kStatsPage);  // switching back does
    EXPECT_EQ(bx::test::ItemText(stats, 1035), L"8");
}

}  // namespace
