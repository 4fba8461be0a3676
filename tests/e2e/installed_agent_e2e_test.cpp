// The agent and the tool as the MSI package installs them, under Wine's
// msiexec and SCM, with a feedback page of the test's own on 127.0.0.1
// (FeedbackURL): the installation-information post reaches the page at the
// start inside a fresh installation and inside an upgrade, with the version
// just installed (msiexec starts the services before it registers the
// product); the tool in the program folder shows the installed service's
// version on its About page and in its report (the package's image path is
// quoted and carries "/SN:bxhvns"); and "-restart" while the post waits for a
// page that does not answer stops the agent, waits for it and starts it again.
#include <windows.h>
#include <msi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/e2e/package_fixture.h"
#include "tests/support/win/driver_services.h"
#include "tests/support/win/loopback_http_server.h"
#include "tests/support/win/service_manager.h"
#include "tests/support/win/window_driver.h"

namespace {

namespace e2e = bx::test::e2e;

constexpr DWORD kPostMs = 30000;
enum : int { kReportsPage = 2, kAboutPage = 3, kView = 1004, kServiceVersion = 1017 };

// The page of a local server: http answers, https gets no answer (the server
// reads the TLS greeting as a request that never ends), so the post waits
// for its receive time-out.
void SetFeedbackUrl(unsigned short port, const wchar_t* scheme) {
    std::wstring url = std::wstring(scheme) + L"://127.0.0.1:" + std::to_wstring(port) + L"/feedback/feedback.aspx";
    bx::win::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, e2e::kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE,
                                             nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key.get(), L"FeedbackURL", 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                             static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t))));
}

// The installed product's version ("1.0.1") as the installer tells it.
std::string InstalledVersion() {
    std::wstring code;
    if (!e2e::ReadString(e2e::kProductKey, L"ProductCode", code)) return std::string();
    wchar_t version[64];
    DWORD length = 64;
    if (MsiGetProductInfoW(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) != ERROR_SUCCESS)
        return std::string();
    return bx::test::Narrow(version);
}

// "major.minor.build.revision" of a program's file version.
std::wstring FileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info)
        return std::wstring();
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

// The process that runs the agent service (0 when none).
DWORD AgentProcess() {
    SERVICE_STATUS_PROCESS status{};
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    bx::win::UniqueScHandle service(OpenServiceW(scm.get(), L"bxhvns", SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    if (service)
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed);
    return status.dwProcessId;
}

class InstalledAgent : public e2e::PackageFixture {
protected:
    void TearDown() override {
        tool_.Terminate();
        e2e::PackageFixture::TearDown();
    }

    void Install(const std::wstring& package) {
        e2e::MsiResult install = e2e::Msiexec(L"/i " + bx::test::Quote(package));
        ASSERT_EQ(0u, install.exitCode) << install.log;
        ASSERT_TRUE(
            bx::test::WaitUntil([] { return bx::test::QueryService(L"bxhvns").state == SERVICE_RUNNING; }, 20000));
    }

    // The installation-information post the page received last, when it
    // names `version`.
    bool PostNames(const bx::test::LoopbackHttpServer& page, size_t count, const std::string& version) {
        if (!page.WaitForRequests(count, kPostMs)) return false;
        const std::string body = page.Requests()[count - 1].body;
        return body.find("\nVersion:" + version + "\n") != std::string::npos;
    }

    std::string AgentLog() { return bx::test::ReadFileBytes(e2e::ProgramFolder() + L"BXHVNAgent.log"); }

    bx::test::GuiProgram tool_;
};

// The post at the start inside the installation and inside the upgrade,
// with the version each installs; between the two, the installed tool shows
// the installed service's version.
TEST_F(InstalledAgent, PostAtInstallAndUpgradeCarriesTheNewVersionAndTheToolShowsTheServicesVersion) {
    bx::test::LoopbackHttpServer page;
    ASSERT_NE(0, page.Port());
    ASSERT_NO_FATAL_FAILURE(SetFeedbackUrl(page.Port(), L"http"));

    ASSERT_NO_FATAL_FAILURE(Install(e2e::Package()));
    const std::string first = InstalledVersion();
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(PostNames(page, 1, first)) << AgentLog();

    // The tool in the program folder, as the Start menu runs it.
    const std::wstring version = FileVersion(e2e::ProgramFolder() + L"bxhvns.exe");
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(tool_.Start(bx::test::Quote(e2e::ProgramFolder() + L"BXHVNTSR.exe")));
    HWND sheet = bx::test::WaitForTopWindow(L"Brontavex Halvern", L"#32770", tool_.Pid(), 30000);
    ASSERT_NE(nullptr, sheet);
    ASSERT_TRUE(bx::test::SelectPage(sheet, kAboutPage));
    EXPECT_EQ(version, bx::test::ItemText(bx::test::CurrentPage(sheet), kServiceVersion));
    // View builds the report into the temporary folder (Wine has no viewer
    // for it: the shell's open fails quietly).
    const std::wstring report = bx::test::TempDirectory() + L"BX_HVN_TSR.txt";
    DeleteFileW(report.c_str());
    ASSERT_TRUE(bx::test::SelectPage(sheet, kReportsPage));
    bx::test::PressResult view = bx::test::PressButton(bx::test::CurrentPage(sheet), kView, 120000);
    if (view.messageBox) bx::test::AnswerMessageBox(view.messageBox, IDOK);
    EXPECT_TRUE(bx::test::WaitUntil([&] { return bx::test::FileExists(report); }, 60000));
    const std::string text = bx::test::ReadFileBytes(report);
    EXPECT_NE(std::string::npos, text.find("Service Version:                " + bx::test::Narrow(version) + "\r\n"))
        << text.substr(0, 600);
    PostMessageW(sheet, WM_CLOSE, 0, 0);
    EXPECT_TRUE(tool_.Wait(20000));

    ASSERT_NO_FATAL_FAILURE(Install(e2e::NextPackage()));
    const std::string next = InstalledVersion();
    ASSERT_FALSE(next.empty());
    EXPECT_NE(first, next);
    EXPECT_TRUE(PostNames(page, 2, next)) << AgentLog();
}

// "-restart" while the agent's post waits for a page that does not answer:
// the agent takes the stop while it posts, -restart waits for it as long as
// its wait hint says and starts it again, and says so.
TEST_F(InstalledAgent, RestartDuringAPostToAPageThatDoesNotAnswerRestartsTheAgent) {
    bx::test::LoopbackHttpServer page;
    ASSERT_NE(0, page.Port());
    ASSERT_NO_FATAL_FAILURE(SetFeedbackUrl(page.Port(), L"https"));
    ASSERT_NO_FATAL_FAILURE(Install(e2e::Package()));

    // A start of the test's own (the product registered by then), caught
    // while its post waits.
    {
        bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        bx::win::UniqueScHandle service(OpenServiceW(scm.get(), L"bxhvns", SERVICE_STOP | SERVICE_START));
        ASSERT_TRUE(service);
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        ASSERT_TRUE(
            bx::test::WaitUntil([] { return bx::test::QueryService(L"bxhvns").state == SERVICE_STOPPED; }, 60000));
        const size_t before = page.Connections();
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        ASSERT_TRUE(bx::test::WaitUntil([&] { return page.Connections() > before; }, kPostMs)) << AgentLog();
    }
    const DWORD firstProcess = AgentProcess();
    const size_t posts = page.Connections();

    bx::test::BoxedRun restart =
        bx::test::RunWithOneMessageBox(bx::test::Quote(e2e::ProgramFolder() + L"bxhvns.exe") + L" -restart",
                                       std::string(BX_SCREENSHOT_DIR) + "/restart_during_post.png", 120000);
    EXPECT_TRUE(restart.started);
    EXPECT_TRUE(restart.boxShown) << "exit code " << restart.exitCode;
    EXPECT_EQ(std::wstring(L"HVN service successfully restarted."), restart.box.text) << AgentLog();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), bx::test::QueryService(L"bxhvns").state);
    EXPECT_NE(firstProcess, AgentProcess());
    // The new process posts again.
    EXPECT_TRUE(bx::test::WaitUntil([&] { return page.Connections() > posts; }, kPostMs));
    EXPECT_NE(std::string::npos, AgentLog().find("Failed to send feedback")) << AgentLog();
}

}  // namespace
