// The service framework against Wine's real Service Control Manager: the test
// service program (testprogs/test_service.cpp) is copied into a folder whose
// name has a space, installed, driven and removed through its own command
// line, and what the SCM and the registry hold is read back. Exit codes are
// read inside Wine (GetExitCodeProcess), where they are whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/service/nt_service.h"
#include "tests/support/win/service_manager.h"

namespace {

using bx::test::Narrow;
using bx::test::Quote;
using bx::test::RunProcess;
using bx::win::UniqueHandle;
using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

const wchar_t kEventLogApplication[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::wstring g_dir;      // the folder with a space, ending in "\"
std::wstring g_service;  // the test service program inside it

std::wstring SystemText(DWORD error) {
    CNTService formatter;
    return formatter.GetErrorText(error);
}

// What the program prints for a message: the text and a line feed.
std::string Shown(const std::wstring& text) { return Narrow(text) + "\n"; }

struct ServiceConfig {
    bool found = false;
    DWORD openError = 0;
    std::wstring binaryPath, displayName, description;
    DWORD serviceType = 0, startType = 0, errorControl = 0;
    DWORD resetPeriod = 0;
    std::vector<SC_ACTION> actions;
    bool rebootMessage = false, command = false;
};

ServiceConfig QueryConfig(const std::wstring& name) {
    ServiceConfig result;
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) {
        result.openError = GetLastError();
        return result;
    }
    result.found = true;
    DWORD size = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.get(), config, size, &size)) {
        result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
        result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
        result.serviceType = config->dwServiceType;
        result.startType = config->dwStartType;
        result.errorControl = config->dwErrorControl;
    }
    size = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &size);
    std::vector<BYTE> description(size + sizeof(SERVICE_DESCRIPTIONW));
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(),
                             static_cast<DWORD>(description.size()), &size)) {
        auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
        result.description = d->lpDescription ? d->lpDescription : L"";
    }
    size = 0;
    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &size);
    std::vector<BYTE> failure(size + sizeof(SERVICE_FAILURE_ACTIONSW));
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, failure.data(),
                             static_cast<DWORD>(failure.size()), &size)) {
        auto* f = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(failure.data());
        result.resetPeriod = f->dwResetPeriod;
        result.actions.assign(f->lpsaActions, f->lpsaActions + f->cActions);
        result.rebootMessage = f->lpRebootMsg && *f->lpRebootMsg;
        result.command = f->lpCommand && *f->lpCommand;
    }
    return result;
}

SERVICE_STATUS QueryStatus(const std::wstring& name) {
    SERVICE_STATUS status{};
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (service) QueryServiceStatus(service.get(), &status);
    return status;
}

bool WaitForState(const std::wstring& name, DWORD state, DWORD timeoutMs = 10000) {
    return bx::test::WaitUntil([&] { return QueryStatus(name).dwCurrentState == state; }, timeoutMs);
}

// Sends a control; returns 0 or the error.
DWORD Control(const std::wstring& name, DWORD control) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(
        OpenServiceW(scm.get(), name.c_str(),
                     SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS));
    if (!service) return GetLastError();
    SERVICE_STATUS status{};
    return ControlService(service.get(), control, &status) ? 0 : GetLastError();
}

// The running service's process, opened to wait for its end (null when the
// service has no process).
UniqueHandle ServiceProcess(const std::wstring& name) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed) ||
        status.dwProcessId == 0)
        return UniqueHandle();
    return UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, status.dwProcessId));
}

// Waits for a service's process to end. One that outlives its service is a
// fault: the case fails and the process is ended, so that the service can be
// removed and the cases after this one can run.
void ExpectProcessEnds(HANDLE process, const std::wstring& name, DWORD timeoutMs) {
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) return;
    ADD_FAILURE() << "the process of the service " << Narrow(name) << " did not end";
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
}

// A deleted service leaves the SCM's database only once its process has
// ended and every handle to it is closed, which can come a moment after the
// deletion returned. Waits (bounded) for that and returns the error opening
// the service ends with: ERROR_SERVICE_DOES_NOT_EXIST once it is gone, 0
// while it is still there.
DWORD OpenErrorOnceRemoved(const std::wstring& name, DWORD timeoutMs = 10000) {
    DWORD error = 0;
    bx::test::WaitUntil(
        [&] {
            error = QueryConfig(name).openError;
            return error == ERROR_SERVICE_DOES_NOT_EXIST;
        },
        timeoutMs);
    return error;
}

// Removes a service left by a case or by an earlier, failed run: stop it,
// wait for its process to end (the next case copies the program over the one
// that process runs), delete it and wait until it has left the database.
void ForceRemove(const std::wstring& name) {
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) return;
        UniqueHandle process = ServiceProcess(name);
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(name, SERVICE_STOPPED, 5000);
        if (process) ExpectProcessEnds(process.get(), name, 30000);
        DeleteService(service.get());
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(name))
        << "the service " << Narrow(name) << " could not be removed";
}

// The service's own log (see test_service.cpp): one line per step.
std::vector<std::string> ServiceLog(const std::wstring& name) {
    std::string text = bx::test::ReadFileBytes(g_dir + name + L".log");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

bx::test::ProcessResult RunService(const std::wstring& arguments, DWORD timeoutMs = 30000) {
    return RunProcess(Quote(g_service) + L" " + arguments, timeoutMs);
}

// Reads the log's Sources list.
std::vector<std::wstring> EventSources() {
    std::vector<std::wstring> sources;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return sources;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), L"Sources", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return sources;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    RegQueryValueExW(key.get(), L"Sources", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    for (const wchar_t* p = data.data(); *p; p += wcslen(p) + 1) sources.emplace_back(p);
    return sources;
}

class HostServiceScm : public testing::Test {
public:
    static void SetUpTestSuite() {
        g_dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"host scm test");
        g_service = g_dir + L"bx test service.exe";
        ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + L"bx_test_service.exe").c_str(), g_service.c_str(), FALSE))
            << GetLastError();
        // Every Windows has the Application log's key with its Sources list;
        // Wine's prefix has neither. Make them as Windows has them, so that the
        // source registration is seen working on a real list.
        UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, nullptr, 0,
                                                 KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr));
        DWORD type = 0;
        if (RegQueryValueExW(key.get(), L"Sources", nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) {
            static const wchar_t kList[] = L"Application\0Wine\0";
            ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"Sources", 0, REG_MULTI_SZ,
                                                    reinterpret_cast<const BYTE*>(kList), sizeof(kList)));
        }
    }
    static void TearDownTestSuite() { bx::test::RemoveDirectoryTree(g_dir); }

protected:
    // A unique service name for this case; anything an earlier run left is removed.
    std::wstring Name(const std::wstring& suffix) {
        std::wstring name = L"BXHostTest" + suffix;
        ForceRemove(name);
        DeleteFileW((g_dir + name + L".log").c_str());
        names_.push_back(name);
        return name;
    }
    void TearDown() override {
        for (const auto& name : names_) ForceRemove(name);
    }

private:
    std::vector<std::wstring> names_;
};

TEST_F(HostServiceScm, InstallRegistersQuotedPathAutoStartDescriptionAndFailureActions) {
    std::wstring name = Name(L"Install");
    auto r = RunService(L"-install -auto -SN:" + name + L" \"-SDN:BX Host Test Source\"");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("", r.output);

    ServiceConfig config = QueryConfig(name);
    ASSERT_TRUE(config.found) << config.openError;
    EXPECT_EQ(Quote(g_service) + L" \"/SN:" + name + L"\" \"/SDN:BX Host Test Source\"", config.binaryPath);
    EXPECT_EQ(L"BX Host Test Source", config.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
    EXPECT_EQ(2u, config.startType);
    EXPECT_EQ(0u, config.errorControl);
    EXPECT_EQ(
        L"Works in conjunction with a Brontavex UTM device to provide enhanced security services to both the "
        L"local host and the network.",
        config.description);
    if (!RunningUnderWine()) {
        // Wine's SCM accepts failure actions but does not keep them ("not
        // implemented" in its services.exe): there QueryServiceConfig2W reads
        // back none, and the call itself is checked in
        // InstallSetsFailureActionsThroughTheScm below.
        EXPECT_EQ(86400u, config.resetPeriod);
        ASSERT_EQ(3u, config.actions.size());
        for (const auto& action : config.actions) {
            EXPECT_EQ(SC_ACTION_RESTART, action.Type);
            EXPECT_EQ(60000u, action.Delay);
        }
        EXPECT_FALSE(config.rebootMessage);
        EXPECT_FALSE(config.command);
    }

    // The event source, named after the display name.
    UniqueRegKey source;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kEventLogApplication) + L"\\BX Host Test Source").c_str(),
                            0, KEY_READ, source.put()));
    wchar_t file[MAX_PATH * 2] = {};
    DWORD type = 0, size = sizeof(file);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(source.get(), L"EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(file), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(g_dir + L"bx test service.DLL", std::wstring(file));
    DWORD types = 0;
    size = sizeof(types);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(source.get(), L"TypesSupported", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&types), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(7u, types);
    source.reset();

    // Installing an existing name fails with the service-exists error.
    r = RunService(L"-install -SN:" + name);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), r.exitCode);
    EXPECT_EQ(Shown(L"BX Halvern Install, Failed call to CreateService, Error:BX Halvern: 1073, " + SystemText(1073)),
              r.output);

    // The service deleted behind the program's back leaves its source listed;
    // installing again lists the source once, not twice.
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), DELETE));
        ASSERT_TRUE(DeleteService(service.get())) << GetLastError();
    }
    r = RunService(L"-install -auto -SN:" + name + L" \"-SDN:BX Host Test Source\"");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    auto sources = EventSources();
    EXPECT_EQ(1, std::count(sources.begin(), sources.end(), L"BX Host Test Source"));
    EXPECT_EQ(1, std::count(sources.begin(), sources.end(), L"Application"));

    // Removing it: the service, the source key and the list entry go.
    r = RunService(L"-uninstall -SN:" + name + L" \"-SDN:BX Host Test Source\"");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(name));
    sources = EventSources();
    EXPECT_EQ(0, std::count(sources.begin(), sources.end(), L"BX Host Test Source"));
    EXPECT_EQ(1, std::count(sources.begin(), sources.end(), L"Application"));
    EXPECT_NE(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kEventLogApplication) + L"\\BX Host Test Source").c_str(),
                            0, KEY_READ, source.put()));
}

TEST_F(HostServiceScm, UninstallSucceedsWhenTheSourceKeyIsAlreadyGone) {
    // The source's key removed by someone else: nothing is left to delete
    // there, the list entry still goes, and the removal succeeds.
    std::wstring name = Name(L"SourceGone");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" \"-SDN:BX Host Source Gone\"").exitCode);
    {
        UniqueRegKey log;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_ALL_ACCESS, log.put()));
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(log.get(), L"BX Host Source Gone"));
    }
    auto sources = EventSources();
    ASSERT_EQ(1, std::count(sources.begin(), sources.end(), L"BX Host Source Gone"));
    auto r = RunService(L"-uninstall -SN:" + name + L" \"-SDN:BX Host Source Gone\"");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("", r.output);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(name));
    sources = EventSources();
    EXPECT_EQ(0, std::count(sources.begin(), sources.end(), L"BX Host Source Gone"));
}

TEST_F(HostServiceScm, InstallWithOtherNameAppendsQuotedSwitchesAndCommandLine) {
    std::wstring name = Name(L"Other");
    auto r = RunService(L"-install -SN:" + name + L" \"-SD:A test description\" \"-SCL:-stopdelay:10 -x\"");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    ServiceConfig config = QueryConfig(name);
    ASSERT_TRUE(config.found);
    EXPECT_EQ(Quote(g_service) + L" \"/SN:" + name + L"\" \"/SD:A test description\" -stopdelay:10 -x",
              config.binaryPath);
    EXPECT_EQ(L"Brontavex Halvern", config.displayName);
    EXPECT_EQ(3u, config.startType);
    EXPECT_EQ(L"A test description", config.description);
    r = RunService(L"-uninstall -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
}

TEST_F(HostServiceScm, InstallWithoutSwitchesUsesTheStringTableNames) {
    ForceRemove(L"BXPLNSvc");
    auto r = RunService(L"-install");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    ServiceConfig config = QueryConfig(L"BXPLNSvc");
    EXPECT_TRUE(config.found);
    EXPECT_EQ(Quote(g_service), config.binaryPath);
    EXPECT_EQ(L"Brontavex Halvern", config.displayName);
    r = RunService(L"-uninstall");
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(L"BXPLNSvc"));
}

TEST_F(HostServiceScm, StartPauseContinueStopDriveTheServiceAndWait) {
    std::wstring name = Name(L"Run");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name).exitCode);

    auto r = RunService(L"/START -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus(name).dwCurrentState);
    // The SCM started it with the registered command line (/SN:) and the
    // service main received the service name.
    auto log = ServiceLog(name);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("run|" + Narrow(name), log[0]);
    EXPECT_EQ("running", log[1]);

    r = RunService(L"-pause -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSED), QueryStatus(name).dwCurrentState);
    r = RunService(L"-continue -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus(name).dwCurrentState);

    r = RunService(L"-stop -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryStatus(name).dwCurrentState);
    // Stopping a stopped service succeeds at once and sends no control.
    ULONGLONG before = GetTickCount64();
    r = RunService(L"-stop -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_LT(GetTickCount64() - before, 3000u);
    log = ServiceLog(name);
    EXPECT_EQ(1, CountLines(log, "stop"));
    EXPECT_EQ(1, CountLines(log, "pause"));
    EXPECT_EQ(1, CountLines(log, "continue"));
    EXPECT_EQ("stopped", log.back());

    r = RunService(L"-start -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus(name).dwCurrentState);

    // Uninstalling the running service stops it first.
    r = RunService(L"-uninstall -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(2, CountLines(ServiceLog(name), "stopped"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(name));
}

TEST_F(HostServiceScm, ReportedStatesPendingWithNoControlsAndControlsLeaveStateUnchanged) {
    std::wstring name = Name(L"States");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" \"-SCL:-startdelay:2000 -stopdelay:2000\"").exitCode);
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_START));
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    }
    // Start pending: check point 1, the wait hint, no controls accepted.
    ASSERT_TRUE(bx::test::WaitUntil(
        [&] {
            auto s = QueryStatus(name);
            return s.dwCurrentState == SERVICE_START_PENDING && s.dwCheckPoint == 1;
        },
        5000));
    SERVICE_STATUS pending = QueryStatus(name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), pending.dwServiceType);
    EXPECT_EQ(0u, pending.dwControlsAccepted);
    EXPECT_EQ(4000u, pending.dwWaitHint);

    // A stop cannot be accepted while start pending.
    {
        bx::test::EventLogRecorder recorder;
        CNTService driver;
        driver.serviceName_ = name;
        DWORD error = 0;
        EXPECT_FALSE(driver.SetServiceToStatus(CNTService::OpStop, error, 1000, 50));
        EXPECT_NE(0u, error);
        auto events = recorder.Events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(0xC000000Bu, events[0].eventId);
        EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
        EXPECT_EQ(std::vector<std::wstring>{std::to_wstring(error)}, events[0].strings);
    }

    ASSERT_TRUE(WaitForState(name, SERVICE_RUNNING));
    SERVICE_STATUS running = QueryStatus(name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE), running.dwControlsAccepted);
    EXPECT_EQ(0u, running.dwCheckPoint);
    EXPECT_EQ(0u, running.dwWaitHint);

    // Interrogate and an unknown control reach the service and change nothing.
    EXPECT_EQ(0u, Control(name, SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ(0u, Control(name, 200));
    ASSERT_TRUE(bx::test::WaitUntil([&] { return CountLines(ServiceLog(name), "user 200") == 1; }, 5000));
    SERVICE_STATUS after = QueryStatus(name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.dwCurrentState);
    EXPECT_EQ(running.dwControlsAccepted, after.dwControlsAccepted);

    // Stop: stop pending without controls, then stopped with exit code 0.
    EXPECT_EQ(0u, Control(name, SERVICE_CONTROL_STOP));
    ASSERT_TRUE(WaitForState(name, SERVICE_STOP_PENDING, 3000));
    SERVICE_STATUS stopping = QueryStatus(name);
    EXPECT_EQ(0u, stopping.dwControlsAccepted);
    EXPECT_EQ(1u, stopping.dwCheckPoint);
    EXPECT_EQ(4000u, stopping.dwWaitHint);
    ASSERT_TRUE(WaitForState(name, SERVICE_STOPPED));
    SERVICE_STATUS stopped = QueryStatus(name);
    EXPECT_EQ(0u, stopped.dwWin32ExitCode);
    EXPECT_EQ(0u, stopped.dwServiceSpecificExitCode);
    auto log = ServiceLog(name);
    EXPECT_EQ(1, CountLines(log, "stop"));
    EXPECT_EQ("stopped", log.back());
}

TEST_F(HostServiceScm, TimeOutSwitchAndUninstallOfAServiceThatWillNotStop) {
    std::wstring name = Name(L"Slow");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" -SCL:-stopdelay:1500").exitCode);
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);

    // 300 ms is too short for a 1.5 s stop: the time-out error and message 11.
    auto r = RunService(L"-stop -t:300 -SN:" + name);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), r.exitCode);
    EXPECT_EQ(Shown(L"BX Halvern, Failed to stop the service, Error:BX Halvern: 1460, " + SystemText(1460)), r.output);
    ASSERT_TRUE(WaitForState(name, SERVICE_STOPPED));

    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    r = RunService(L"-stop -t:10000 -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryStatus(name).dwCurrentState);

    // Uninstall of a running service that does not stop in time: message 7,
    // and the service stays installed.
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    ULONGLONG before = GetTickCount64();
    r = RunService(L"-uninstall -t:500 -SN:" + name);
    ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), r.exitCode);
    EXPECT_EQ(Shown(L"BX Halvern Uninstall, Failed call to WaitForStop, Error:BX Halvern: 1460, " + SystemText(1460)),
              r.output);
    EXPECT_GE(took, 500u);
    EXPECT_TRUE(QueryConfig(name).found);
    ASSERT_TRUE(WaitForState(name, SERVICE_STOPPED));
    r = RunService(L"-uninstall -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenErrorOnceRemoved(name));
}

TEST_F(HostServiceScm, WorkEndingWhileTheStopHandlerRunsStillEndsTheProcess) {
    // The stop control's handler is still running when the work ends and the
    // service reports "stopped". Wine's dispatcher holds a lock of its own
    // while a handler runs and takes it again in SetServiceStatus for the
    // stopped status, so the framework must not make the handler wait for that
    // send: both threads would stop for good, and the process with them.
    std::wstring name = Name(L"SlowHandler");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" -SCL:-stophandlerdelay:300").exitCode);
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    UniqueHandle process = ServiceProcess(name);
    ASSERT_TRUE(process);
    auto r = RunService(L"-stop -t:10000 -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryStatus(name).dwCurrentState);
    ExpectProcessEnds(process.get(), name, 10000);
    EXPECT_EQ("stopped", ServiceLog(name).back());
}

TEST_F(HostServiceScm, ProcessEndsOnlyOnceTheThreadThatReportedStoppedLeftTheObject) {
    // The dispatcher returns as soon as the service reports "stopped", and
    // the program then destroys the service object, while the thread that
    // reported it is still inside the object. Here it stays 500 ms and logs.
    std::wstring name = Name(L"AfterStopped");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" -SCL:-afterstopped:500").exitCode);
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    UniqueHandle process = ServiceProcess(name);
    ASSERT_TRUE(process);
    auto r = RunService(L"-stop -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    ExpectProcessEnds(process.get(), name, 10000);
    EXPECT_EQ("after stopped", ServiceLog(name).back());
}

TEST_F(HostServiceScm, StopWhoseAnswerIsLostSucceedsWhenTheServiceStopped) {
    // The service reports "stopped" and its process ends inside the stop
    // control's handler, so the control itself fails; the service did stop.
    std::wstring name = Name(L"ExitOnStop");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" -SCL:-exitonstop").exitCode);
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    auto r = RunService(L"-stop -SN:" + name);
    EXPECT_EQ(0u, r.exitCode) << r.output;
    EXPECT_EQ("", r.output);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), QueryStatus(name).dwCurrentState);
}

TEST_F(HostServiceScm, TerminateExceptionGivesTheStoppedServiceItsExitCodes) {
    std::wstring name = Name(L"Terminate");
    ASSERT_EQ(0u, RunService(L"-install -SN:" + name + L" -SCL:-terminate:1066,42").exitCode);
    ASSERT_EQ(0u, RunService(L"-start -SN:" + name).exitCode);
    ASSERT_EQ(0u, RunService(L"-stop -SN:" + name).exitCode);
    SERVICE_STATUS status = QueryStatus(name);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(1066u, status.dwWin32ExitCode);
    EXPECT_EQ(42u, status.dwServiceSpecificExitCode);
}

TEST_F(HostServiceScm, FailuresShowTheMessageAndReturnTheError) {
    std::wstring name = L"BXHostTestNotInstalled";
    ForceRemove(name);
    const std::wstring reason = L"BX Halvern: 1060, " + SystemText(1060);
    struct Case {
        const wchar_t* verb;
        std::wstring message;
    } cases[] = {
        {L"-start", L"BX Halvern, Failed to start the service, Error:" + reason},
        {L"-pause", L"BX Halvern, Failed to pause the service, Error:" + reason},
        {L"-continue", L"BX Halvern, Failed to continue the service, Error:" + reason},
        {L"-stop", L"BX Halvern, Failed to stop the service, Error:" + reason},
        {L"-uninstall", L"BX Halvern Uninstall, Failed call to OpenService, Error:" + reason},
    };
    for (const auto& c : cases) {
        auto r = RunService(std::wstring(c.verb) + L" -SN:" + name);
        EXPECT_EQ(1060u, r.exitCode) << Narrow(c.verb);
        EXPECT_EQ(Shown(c.message), r.output) << Narrow(c.verb);
        // Silent: the same error, nothing shown.
        r = RunService(std::wstring(c.verb) + L" -silent -SN:" + name);
        EXPECT_EQ(1060u, r.exitCode) << Narrow(c.verb);
        EXPECT_EQ("", r.output) << Narrow(c.verb);
    }
}

// What Install hands to ChangeServiceConfig2W (recorded, then passed on).
struct RecordedConfig2 {
    DWORD resetPeriod = 0;
    std::vector<SC_ACTION> actions;
    bool rebootMessage = true, command = true;
    int onNonCrashFailures = -1;  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, when set
    std::wstring description;
    std::vector<BOOL> results;
} g_config2;
CNTService::ChangeServiceConfig2Fn g_realConfig2 = nullptr;

BOOL WINAPI RecordConfig2(SC_HANDLE service, DWORD level, LPVOID info) {
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        auto* f = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        g_config2.resetPeriod = f->dwResetPeriod;
        g_config2.actions.assign(f->lpsaActions, f->lpsaActions + f->cActions);
        g_config2.rebootMessage = f->lpRebootMsg != nullptr;
        g_config2.command = f->lpCommand != nullptr;
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        // Wine's SCM does not know this level (it answers 124, as systems
        // before Vista do): the call is only recorded.
        g_config2.onNonCrashFailures =
            static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
        return TRUE;
    } else if (level == SERVICE_CONFIG_DESCRIPTION) {
        g_config2.description = static_cast<SERVICE_DESCRIPTIONW*>(info)->lpDescription;
    }
    BOOL result = g_realConfig2(service, level, info);
    g_config2.results.push_back(result);
    return result;
}

TEST_F(HostServiceScm, InstallSetsFailureActionsThroughTheScmAndEnumeratesInstances) {
    // This test program itself, installed under two names (never started).
    bx::test::EventLogRecorder recorder;
    CNTService service;
    service.allowNameChange_ = service.allowDisplayNameChange_ = TRUE;
    ASSERT_NE(nullptr, service.changeServiceConfig2_);
    g_realConfig2 = service.changeServiceConfig2_;
    service.changeServiceConfig2_ = RecordConfig2;
    std::wstring first = Name(L"EnumA"), second = Name(L"EnumB");
    for (const auto& n : {first, second}) {
        CNTServiceCommandLineInfo info;
        info.shellCommand_ = CNTServiceCommandLineInfo::InstallService;
        info.serviceName_ = n;
        info.serviceDisplayName_ = L"BX Host Test " + n;
        ASSERT_EQ(0u, service.ProcessCommand(info));
    }
    // Three restarts after a minute, reset after a day, no reboot message or
    // command, also when the service stops with an error; accepted by the SCM.
    EXPECT_EQ(86400u, g_config2.resetPeriod);
    ASSERT_EQ(3u, g_config2.actions.size());
    for (const auto& action : g_config2.actions) {
        EXPECT_EQ(SC_ACTION_RESTART, action.Type);
        EXPECT_EQ(60000u, action.Delay);
    }
    EXPECT_FALSE(g_config2.rebootMessage);
    EXPECT_FALSE(g_config2.command);
    EXPECT_EQ(TRUE, g_config2.onNonCrashFailures);
    EXPECT_EQ(service.LoadResourceString(IDS_SERVICE_DESCRIPTION), g_config2.description);
    EXPECT_EQ(std::vector<BOOL>(4, TRUE), g_config2.results);
    // Each install ends with the installed event under its own source.
    auto events = recorder.Events();
    ASSERT_EQ(2u, events.size());
    for (size_t i = 0; i < 2; ++i) {
        std::wstring display = L"BX Host Test " + (i == 0 ? first : second);
        EXPECT_EQ(0x40000002u, events[i].eventId);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events[i].type);
        EXPECT_EQ(display, events[i].source);
        EXPECT_EQ(std::vector<std::wstring>{display}, events[i].strings);
        EXPECT_EQ(0u, CEventLogSource::Uninstall(L"Application", display, false));
    }

    std::vector<std::wstring> names;
    DWORD error = 0;
    ASSERT_TRUE(service.EnumerateInstances(names, error)) << error;
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::wstring>{first, second}), names);

    // Parameters of the service last named (second).
    EXPECT_TRUE(service.SetParameterString(L"Text", L"value"));
    EXPECT_TRUE(service.SetParameterInt(L"Number", 1234));
    const BYTE blob[] = {1, 2, 3, 0, 255};
    EXPECT_TRUE(service.SetParameterBinary(L"Blob", blob, sizeof(blob)));
    EXPECT_EQ(L"value", service.GetParameterString(L"Text", L"default"));
    EXPECT_EQ(1234u, service.GetParameterInt(L"Number", 7));
    std::vector<BYTE> read;
    EXPECT_TRUE(service.GetParameterBinary(L"Blob", read));
    EXPECT_EQ(std::vector<BYTE>(blob, blob + sizeof(blob)), read);
    EXPECT_TRUE(service.SetParameterString(L"Text", nullptr));  // deletes
    EXPECT_EQ(L"default", service.GetParameterString(L"Text", L"default"));
    EXPECT_EQ(7u, service.GetParameterInt(L"Missing", 7));
    EXPECT_FALSE(service.GetParameterBinary(L"Missing", read));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    UniqueRegKey key;
    EXPECT_EQ(
        ERROR_SUCCESS,
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + second + L"\\Parameters").c_str(),
                      0, KEY_READ, key.put()));
}

// ---------------------------------------------------------------------------
// The program outside the SCM

TEST(HostServiceProgram, StartedFromAConsoleWithoutArgumentsPrintsNothingAndExits1063) {
    // Wine's dispatcher gives up only after about 10 s.
    auto r = RunProcess(Quote(bx::test::ExeDirectory() + L"bx_test_service.exe"), 60000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), r.exitCode);
    EXPECT_EQ("", r.output);
}

TEST(HostServiceProgram, HelpShowsTheUsageText) {
    auto r = RunProcess(Quote(bx::test::ExeDirectory() + L"bx_test_service.exe") + L" -?");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ(
        "Usage: bx_test_service [ -install | -uninstall | -remove | -start | -stop | -pause | -continue | "
        "-console | -help | -? ]\n",
        r.output);
}

}  // namespace

namespace {

// Console mode: the work runs in the console and the console's control events
// end it through the same OnStop as the SCM's stop. (Wine cannot deliver
// console control events here; the test service then calls the handler that
// RunInConsole registered, see RaiseConsoleCtrl in test_service.cpp.)
struct ConsoleRun {
    DWORD exitCode = 0;
    std::vector<std::string> log;
};

ConsoleRun RunConsoleAndRaise(DWORD ctrlType, const std::wstring& extra = L"") {
    ConsoleRun result;
    std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"host console test");
    std::wstring program = dir + L"bx_test_service.exe";
    EXPECT_TRUE(CopyFileW((bx::test::ExeDirectory() + L"bx_test_service.exe").c_str(), program.c_str(), FALSE));
    std::wstring logPath = dir + L"BXHostTestConsole.log";
    {
        bx::test::RunningProcess process(Quote(program) +
                                         L" -console -SN:BXHostTestConsole -stopdelay:300 -consolectrl:" +
                                         std::to_wstring(ctrlType) + extra);
        EXPECT_TRUE(process.Started());
        EXPECT_TRUE(bx::test::WaitUntil(
            [&] { return bx::test::ReadFileBytes(logPath).find("running") != std::string::npos; }, 10000));
        bx::win::UniqueHandle ctrl(OpenEventW(
            EVENT_MODIFY_STATE, FALSE, (L"Local\\BXHostTestCtrl" + std::to_wstring(process.ProcessId())).c_str()));
        EXPECT_TRUE(ctrl);
        if (ctrl) SetEvent(ctrl.get());
        EXPECT_TRUE(process.Wait(10000));
        result.exitCode = process.ExitCode();
    }
    std::string text = bx::test::ReadFileBytes(logPath);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        result.log.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    bx::test::RemoveDirectoryTree(dir);
    return result;
}

TEST(HostServiceProgram, ConsoleRunsTheWorkAndCtrlCStopsItLikeTheScmStop) {
    ConsoleRun run = RunConsoleAndRaise(CTRL_C_EVENT);
    EXPECT_EQ(0u, run.exitCode);
    // The console switch is not among the work's arguments.
    ASSERT_FALSE(run.log.empty());
    EXPECT_EQ(std::string::npos, (run.log[0] + "|").find("|-console|")) << run.log[0];
    EXPECT_NE(std::string::npos, run.log[0].find(".exe|-SN:BXHostTestConsole|-stopdelay:300|-consolectrl:0"))
        << run.log[0];
    for (const char* line : {"running", "console 0", "stop", "stopping", "stopped", "console returned 1"})
        EXPECT_EQ(1, CountLines(run.log, line)) << line;
}

TEST(HostServiceProgram, ConsoleCloseReturnsOnlyAfterTheWorkHasStopped) {
    ConsoleRun run = RunConsoleAndRaise(CTRL_CLOSE_EVENT);
    EXPECT_EQ(0u, run.exitCode);
    auto stopped = std::find(run.log.begin(), run.log.end(), "stopped");
    auto returned = std::find(run.log.begin(), run.log.end(), "console returned 1");
    ASSERT_NE(run.log.end(), stopped);
    ASSERT_NE(run.log.end(), returned);
    EXPECT_LT(stopped - run.log.begin(), returned - run.log.begin());
}

TEST(HostServiceProgram, ConsoleTerminateExceptionGivesTheWholeExitCode) {
    ConsoleRun run = RunConsoleAndRaise(CTRL_BREAK_EVENT, L" -terminate:1066,42");
    EXPECT_EQ(1066u, run.exitCode);  // 42 as Linux sees it; whole inside Wine
    EXPECT_EQ(1, CountLines(run.log, "console 1"));
}

}  // namespace
