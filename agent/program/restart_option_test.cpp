// "-restart" under Wine's real SCM, on the test run's display (the Xvfb that
// cmake/wine-server starts): bxhvns.exe runs with the option, this program
// finds the message box it shows, reads its text and icon, saves a
// screenshot and presses OK, so that no case can block on the box. The agent
// service "BXHVNS" is the framework's test service (stop delay and wait hint
// on demand). tests/e2e/installed_agent_e2e_test.cpp restarts the real agent
// while its post waits for a page that does not answer.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/service_manager.h"
#include "tests/support/win/window_driver.h"

namespace {

using bx::test::BoxIcon;
using bx::win::UniqueScHandle;

const wchar_t kService[] = L"BXHVNS";

SERVICE_STATUS_PROCESS Query() {
    SERVICE_STATUS_PROCESS status{};
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), kService, SERVICE_QUERY_STATUS));
    DWORD needed = 0;
    if (service)
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                             &needed);
    return status;
}

bool WaitForState(DWORD state, DWORD timeoutMs) {
    return bx::test::WaitUntil([&] { return Query().dwCurrentState == state; }, timeoutMs);
}

// Stops and deletes BXHVNS and waits until it has left the SCM's database.
void RemoveService() {
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), kService, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) return;
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(SERVICE_STOPPED, 15000);
        DeleteService(service.get());
    }
    EXPECT_TRUE(bx::test::WaitUntil(
        [] {
            UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            UniqueScHandle service(OpenServiceW(scm.get(), kService, SERVICE_QUERY_STATUS));
            return !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        20000))
        << "BXHVNS could not be removed";
}

void InstallService(const std::wstring& extraArguments) {
    RemoveService();
    DeleteFileW((bx::test::ExeDirectory() + L"BXHVNS.log").c_str());
    std::wstring path =
        bx::test::Quote(bx::test::ExeDirectory() + L"bx_test_service.exe") + L" -SN:BXHVNS " + extraArguments;
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm) << GetLastError();
    UniqueScHandle service(CreateServiceW(scm.get(), kService, L"BX restart test", SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                          path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << "CreateServiceW Error:" << GetLastError();
}

void StartService() {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), kService, SERVICE_START));
    ASSERT_TRUE(service);
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING, 20000));
}

// Runs "bxhvns.exe -restart", answers its one message box (saved as
// <name>.png in the screenshots folder) and waits for the program's end.
bx::test::BoxedRun RunRestart(const std::string& screenshotName) {
    bx::test::BoxedRun run =
        bx::test::RunWithOneMessageBox(bx::test::Quote(bx::test::ExeDirectory() + L"bxhvns.exe") + L" -restart",
                                       std::string(BX_SCREENSHOT_DIR) + "/" + screenshotName + ".png", 60000);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.boxShown) << "no message box";
    EXPECT_FALSE(run.secondBox);
    EXPECT_TRUE(run.ended) << "bxhvns -restart did not end";
    EXPECT_EQ(std::wstring(L"bxhvns"), run.box.caption);
    // The command stays 0: the program then tries to run as a service and,
    // not started by the SCM, ends with 1063.
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), run.exitCode);
    return run;
}

class RestartOption : public ::testing::Test {
protected:
    void TearDown() override { RemoveService(); }
};

TEST_F(RestartOption, StoppedServiceIsNotStarted) {
    InstallService(L"");
    bx::test::BoxedRun outcome = RunRestart("restart_not_running");
    EXPECT_EQ(std::wstring(L"HVN service is not running."), outcome.box.text);
    EXPECT_EQ(BoxIcon::kInformation, outcome.box.icon);
    Sleep(1000);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().dwCurrentState);
}

TEST_F(RestartOption, RunningServiceIsStoppedAndStartedAgain) {
    InstallService(L"");
    StartService();
    DWORD firstProcess = Query().dwProcessId;
    bx::test::BoxedRun outcome = RunRestart("restart_done");
    EXPECT_EQ(std::wstring(L"HVN service successfully restarted."), outcome.box.text);
    EXPECT_EQ(BoxIcon::kInformation, outcome.box.icon);
    // Reported once it runs again.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().dwCurrentState);
    EXPECT_NE(firstProcess, Query().dwProcessId) << "a new process runs the service";
    // The service's own log: it ran twice and stopped once in between.
    std::string log = bx::test::ReadFileBytes(bx::test::ExeDirectory() + L"BXHVNS.log");
    size_t runs = 0;
    for (size_t at = log.find("run"); at != std::string::npos; at = log.find("run", at + 1))
        if ((at == 0 || log[at - 1] == '\n') && log.compare(at, 7, "running") != 0) ++runs;
    EXPECT_GE(runs, 2u) << log;
}

// A stop that takes 3 s, within the wait hint the service gives (5 s), is
// waited for: the service runs again.
TEST_F(RestartOption, ServiceSlowToStopIsWaitedForAsItsWaitHintSays) {
    InstallService(L"-stopdelay:3000");
    StartService();
    DWORD firstProcess = Query().dwProcessId;
    bx::test::BoxedRun outcome = RunRestart("restart_slow_stop");
    EXPECT_EQ(std::wstring(L"HVN service successfully restarted."), outcome.box.text);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().dwCurrentState);
    EXPECT_NE(firstProcess, Query().dwProcessId);
}

// A stop that overruns the wait hint the service gave (1 s hint, 6 s stop)
// is reported as such, and no start is tried under it: the service stops in
// the end and stays stopped.
TEST_F(RestartOption, StopOverrunningItsWaitHintIsReportedAndNotFollowedByAStart) {
    InstallService(L"-stopdelay:6000 -stophint:1000");
    StartService();
    bx::test::BoxedRun outcome = RunRestart("restart_failed");
    EXPECT_EQ(0u, outcome.box.text.find(L"HVN service failed to restart!\nIt did not stop within "))
        << bx::test::Narrow(outcome.box.text);
    EXPECT_EQ(BoxIcon::kError, outcome.box.icon);
    EXPECT_TRUE(WaitForState(SERVICE_STOPPED, 20000));
    Sleep(1000);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().dwCurrentState);
}

TEST_F(RestartOption, MissingServiceCannotBeOpened) {
    RemoveService();
    bx::test::BoxedRun outcome = RunRestart("restart_no_service");
    EXPECT_EQ(std::wstring(L"Failed to open HVN Service"), outcome.box.text);
    EXPECT_EQ(BoxIcon::kError, outcome.box.icon);
}

}  // namespace
