// The service framework inside one process: command-line parsing, message
// strings and formatting, control dispatch, stored status values, the console
// control handler and the event-log writes. The SCM-driven behaviour is in
// NTService_scm_test.cpp.
#include "agent/service/nt_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "platform/product_version.h"
#include "tests/support/win/service_manager.h"

namespace {

using Cmd = CNTServiceCommandLineInfo;

CNTServiceCommandLineInfo Parse(std::initializer_list<std::pair<const wchar_t*, bool>> args) {
    CNTServiceCommandLineInfo info;
    size_t i = 0;
    for (const auto& a : args) info.ParseParam(a.first, a.second, ++i == args.size());
    return info;
}

// The system's text for an error, as the framework is documented to use it:
// system default language, trailing white space removed.
std::wstring SystemText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring s = n ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
    return s;
}

TEST(NTServiceCommandLine, DefaultsAreRunAsServiceWithFiveSecondTimeout) {
    CNTServiceCommandLineInfo info;
    EXPECT_EQ(Cmd::RunAsService, info.shellCommand_);
    EXPECT_EQ(5000u, info.timeout_);
    EXPECT_FALSE(info.silent_);
    EXPECT_FALSE(info.autoStart_);
    EXPECT_TRUE(info.serviceName_.empty());
    EXPECT_TRUE(info.serviceCommandLine_.empty());
}

TEST(NTServiceCommandLine, VerbsCompareCaseInsensitively) {
    struct Case {
        const wchar_t* verb;
        uint32_t command;
    } cases[] = {
        {L"install", Cmd::InstallService},     {L"INSTALL", Cmd::InstallService}, {L"start", Cmd::StartTheService},
        {L"START", Cmd::StartTheService},      {L"StArT", Cmd::StartTheService},  {L"pause", Cmd::PauseService},
        {L"continue", Cmd::ContinueService},   {L"stop", Cmd::StopService},       {L"remove", Cmd::UninstallService},
        {L"uninstall", Cmd::UninstallService}, {L"debug", Cmd::DebugService},     {L"app", Cmd::DebugService},
        {L"application", Cmd::DebugService},   {L"Console", Cmd::DebugService},   {L"help", Cmd::ShowServiceHelp},
        {L"?", Cmd::ShowServiceHelp},
    };
    for (const auto& c : cases) {
        auto info = Parse({{c.verb, true}});
        EXPECT_EQ(c.command, info.shellCommand_) << testing::PrintToString(bx::test::Narrow(c.verb));
    }
    auto flags = Parse({{L"Silent", true}, {L"AUTO", true}});
    EXPECT_TRUE(flags.silent_);
    EXPECT_TRUE(flags.autoStart_);
    EXPECT_EQ(Cmd::RunAsService, flags.shellCommand_);
}

TEST(NTServiceCommandLine, PlainWordsAndUnknownSwitchesAreIgnored) {
    auto info = Parse({{L"install", false}, {L"stop", false}, {L"frobnicate", true}, {L"installx", true}});
    EXPECT_EQ(Cmd::RunAsService, info.shellCommand_);
    // The last verb wins.
    auto last = Parse({{L"install", true}, {L"start", true}});
    EXPECT_EQ(Cmd::StartTheService, last.shellCommand_);
}

TEST(NTServiceCommandLine, ValueSwitchesMatchByPrefixAndKeepTheValueAsTyped) {
    auto info = Parse({{L"t:10000", true},
                       {L"scl:-stopdelay:5 /X", true},
                       {L"sd:My Description", true},
                       {L"Sn:Other", true},
                       {L"SDN:Shown Name", true},
                       {L"P:Secret", true},
                       {L"u:DOMAIN\\user", true}});
    EXPECT_EQ(10000u, info.timeout_);
    EXPECT_EQ(L"-stopdelay:5 /X", info.serviceCommandLine_);
    EXPECT_EQ(L"My Description", info.serviceDescription_);
    EXPECT_EQ(L"Other", info.serviceName_);
    EXPECT_EQ(L"Shown Name", info.serviceDisplayName_);
    EXPECT_EQ(L"Secret", info.password_);
    EXPECT_EQ(L"DOMAIN\\user", info.userName_);
}

TEST(NTServiceCommandLine, PrefixNeedsAValueAndMustStartTheSwitch) {
    auto info = Parse({{L"T:", true}, {L"SN:", true}, {L"XSN:abc", true}, {L"ASD:abc", true}, {L"SN:x", false}});
    EXPECT_EQ(5000u, info.timeout_);
    EXPECT_TRUE(info.serviceName_.empty());
    EXPECT_TRUE(info.serviceDescription_.empty());
    // "SDN:" is the display name, not a description "N:...".
    auto display = Parse({{L"SDN:Name", true}});
    EXPECT_EQ(L"Name", display.serviceDisplayName_);
    EXPECT_TRUE(display.serviceDescription_.empty());
}

// ---------------------------------------------------------------------------
// Strings and messages

TEST(NTServiceMessages, StringTableHoldsTheDocumentedTexts) {
    const std::map<UINT, std::wstring> expected = {
        {1, L"BX Halvern Install, Failed call to open SCM, Error:%1"},
        {2, L"BX Halvern Install, Failed call to lock SCM, Error:%1"},
        {3, L"BX Halvern Install, Failed call to CreateService, Error:%1"},
        {4, L"BX Halvern Install, Failed call to install service as an event log source, Error:%1"},
        {5, L"BX Halvern Uninstall, Failed call to open SCM, Error:%1"},
        {6, L"BX Halvern Uninstall, Failed call to OpenService, Error:%1"},
        {7, L"BX Halvern Uninstall, Failed call to WaitForStop, Error:%1"},
        {8, L"BX Halvern Uninstall, Failed call to DeleteService, Error:%1"},
        {9, L"BX Halvern Uninstall, Failed call to remove service as an event log source, Error:%1"},
        {10, L"BX Halvern, Failed to start the service, Error:%1"},
        {11, L"BX Halvern, Failed to stop the service, Error:%1"},
        {12, L"BX Halvern, Failed to continue the service, Error:%1"},
        {13, L"BX Halvern, Failed to pause the service, Error:%1"},
        {14, L"BX Halvern, Failed to start the service, Error:%1"},
        {15, L"BX Halvern: %1, %2"},
        {16, L"BX Halvern Uninstall, Failed to stop service, Error:%1"},
        {17, L"BX Halvern SetServiceToStatus, Failed call to open SCM, Error:%1"},
        {18, L"BX Halvern SetServiceToStatus, Failed call to OpenService, Error:%1"},
        {19, L"BX Halvern SetServiceToStatus, Failed to start the service, Error:%1"},
        {20, L"BX Halvern SetServiceToStatus, Failed to continue the service, Error:%1"},
        {21, L"BX Halvern SetServiceToStatus, Failed to pause the service, Error:%1"},
        {22, L"BX Halvern SetServiceToStatus, Failed to stop the service, Error:%1"},
        {23, L"BX Halvern SetServiceToStatus, Failed to wait for the service to change state, Error:%1"},
        {24, L"BX Halvern SetServiceToStatus, Failed to check the service status, Error:%1"},
        {100, L"BXPLNSvc"},
        {101, L"Brontavex Halvern"},
        {102,
         L"Works in conjunction with a Brontavex UTM device to provide enhanced security services to both the "
         L"local host and the network."},
    };
    CNTService service;
    for (const auto& [id, text] : expected) EXPECT_EQ(text, service.LoadResourceString(id)) << "string " << id;
    EXPECT_EQ(L"", service.LoadResourceString(25));
}

TEST(NTServiceMessages, ConstructorTakesNamesFromTheStringTable) {
    CNTService service;
    EXPECT_EQ(L"BXPLNSvc", service.serviceName_);
    EXPECT_EQ(L"BXPLNSvc", service.masterServiceName_);
    EXPECT_EQ(L"Brontavex Halvern", service.displayName_);
    EXPECT_EQ(L"Brontavex Halvern", service.eventLogSource_.SourceName());
    EXPECT_EQ(L"Application", service.eventLogSource_.LogName());
    EXPECT_EQ(service.LoadResourceString(102), service.description_);
    EXPECT_EQ(CNTService::Instance(), &service);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), service.serviceType_);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), service.startType_);
    EXPECT_EQ(3u, service.controlsAccepted_);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.currentState_);
    // Present on every Windows since 2000 and on Wine.
    EXPECT_NE(nullptr, service.registerServiceCtrlHandlerEx_);
}

TEST(NTServiceMessages, FormatErrorMessageHasSixStyles) {
    CNTService service;
    const std::wstring text = SystemText(5);
    ASSERT_FALSE(text.empty());
    const std::wstring prefix = L"BX Halvern SetServiceToStatus, Failed call to open SCM, Error:";
    const std::wstring codeAndText = L"BX Halvern: 5, " + text;
    const std::pair<DWORD, std::wstring> styles[] = {
        {0, L"5"}, {1, codeAndText}, {2, text}, {3, prefix + L"5"}, {4, prefix + codeAndText}, {5, prefix + text},
    };
    for (const auto& [style, expected] : styles) {
        service.displayErrorStyle_ = style;
        service.eventLogErrorStyle_ = style;
        EXPECT_EQ(expected, service.FormatErrorMessage(IDS_NTSERV_STATUS_FAIL_OPENSCM, 5, FALSE)) << style;
        EXPECT_EQ(expected, service.FormatErrorMessage(IDS_NTSERV_STATUS_FAIL_OPENSCM, 5, TRUE)) << style;
    }
}

TEST(NTServiceMessages, DefaultStylesShowTheMessageAndLogCodeAndText) {
    CNTService service;
    EXPECT_EQ(L"BX Halvern SetServiceToStatus, Failed call to open SCM, Error:BX Halvern: 5, " + SystemText(5),
              service.FormatErrorMessage(IDS_NTSERV_STATUS_FAIL_OPENSCM, 5, FALSE));
    EXPECT_EQ(L"BX Halvern: 1060, " + SystemText(1060), service.FormatErrorMessage(6, 1060, TRUE));
    // An error without a system text leaves that part empty.
    EXPECT_EQ(L"BX Halvern: 4294967000, ", service.FormatErrorMessage(6, 4294967000u, TRUE));
}

class CMappedService : public CNTService {
public:
    UINT MapStringID(UINT id) override { return id == 11 ? 13 : id; }
};

TEST(NTServiceMessages, StringIdsGoThroughMapStringID) {
    CMappedService service;
    service.displayErrorStyle_ = CNTService::StyleMessageWithCode;
    EXPECT_EQ(L"BX Halvern, Failed to pause the service, Error:87",
              service.FormatErrorMessage(IDS_NTSERV_FAIL_STOP_SERVICE, 87, FALSE));
}

// ---------------------------------------------------------------------------
// Control dispatch

class CRecordingService : public CNTService {
public:
    std::vector<std::wstring> calls;
    int currentStatusReports = 0;
    DWORD deviceResult = 0, hardwareResult = 0, powerResult = 0, sessionResult = 0;
    std::atomic<int> stops{0};

    BOOL ReportCurrentStatus() override {
        ++currentStatusReports;
        return CNTService::ReportCurrentStatus();
    }
    void OnStop() override {
        calls.push_back(L"Stop");
        ++stops;
    }
    void OnPause() override { calls.push_back(L"Pause"); }
    void OnContinue() override { calls.push_back(L"Continue"); }
    void OnInterrogate() override { calls.push_back(L"Interrogate"); }
    void OnShutdown() override { calls.push_back(L"Shutdown"); }
    void OnParamChange() override { calls.push_back(L"ParamChange"); }
    DWORD OnHardwareProfileChange(DWORD type) override {
        calls.push_back(L"HardwareProfileChange " + std::to_wstring(type));
        return hardwareResult;
    }
    DWORD OnPowerEvent(DWORD type, LPVOID) override {
        calls.push_back(L"PowerEvent " + std::to_wstring(type));
        return powerResult;
    }
    void OnNetBindAdd() override { calls.push_back(L"NetBindAdd"); }
    void OnNetBindRemove() override { calls.push_back(L"NetBindRemove"); }
    void OnNetBindEnable() override { calls.push_back(L"NetBindEnable"); }
    void OnNetBindDisable() override { calls.push_back(L"NetBindDisable"); }
    DWORD OnDeviceEvent(DWORD type, LPVOID) override {
        calls.push_back(L"DeviceEvent " + std::to_wstring(type));
        return deviceResult;
    }
    DWORD OnSessionChange(DWORD type, WTSSESSION_NOTIFICATION* n) override {
        calls.push_back(L"SessionChange " + std::to_wstring(type) + L" " + std::to_wstring(n ? n->dwSessionId : 0));
        return sessionResult;
    }
    void OnUserDefinedRequest(DWORD control) override { calls.push_back(L"User " + std::to_wstring(control)); }
};

TEST(NTServiceControls, EachControlCodeReachesItsOperationAndTheStatusIsReportedAgain) {
    CRecordingService service;
    service.deviceResult = 11;
    service.hardwareResult = 12;
    service.powerResult = 13;
    service.sessionResult = 14;
    WTSSESSION_NOTIFICATION notification{sizeof(notification), 7};
    struct Case {
        DWORD control;
        DWORD eventType;
        LPVOID data;
        const wchar_t* call;
        DWORD result;
    } cases[] = {
        {1, 0, nullptr, L"Stop", 0},
        {2, 0, nullptr, L"Pause", 0},
        {3, 0, nullptr, L"Continue", 0},
        {4, 0, nullptr, L"Interrogate", 0},
        {5, 0, nullptr, L"Shutdown", 0},
        {6, 0, nullptr, L"ParamChange", 0},
        {7, 0, nullptr, L"NetBindAdd", 0},
        {8, 0, nullptr, L"NetBindRemove", 0},
        {9, 0, nullptr, L"NetBindEnable", 0},
        {10, 0, nullptr, L"NetBindDisable", 0},
        {11, 0x8000, nullptr, L"DeviceEvent 32768", 11},
        {12, 1, nullptr, L"HardwareProfileChange 1", 12},
        {13, 10, nullptr, L"PowerEvent 10", 13},
        {14, 5, &notification, L"SessionChange 5 7", 14},
        {15, 0, nullptr, L"User 15", 0},
        {200, 0, nullptr, L"User 200", 0},
    };
    int reports = 0;
    for (const auto& c : cases) {
        service.calls.clear();
        EXPECT_EQ(c.result, service.HandleControl(c.control, c.eventType, c.data)) << c.control;
        ASSERT_EQ(1u, service.calls.size()) << c.control;
        EXPECT_EQ(c.call, service.calls[0]);
        EXPECT_EQ(++reports, service.currentStatusReports) << c.control;
    }
}

TEST(NTServiceControls, TheIgnoredControlIsAnsweredWith120AndNothingElse) {
    CRecordingService service;
    service.ignoredControl_ = SERVICE_CONTROL_PAUSE;
    EXPECT_EQ(120u, service.HandleControl(SERVICE_CONTROL_PAUSE, 0, nullptr));
    EXPECT_TRUE(service.calls.empty());
    EXPECT_EQ(0, service.currentStatusReports);
    EXPECT_EQ(0u, service.HandleControl(SERVICE_CONTROL_CONTINUE, 0, nullptr));
    EXPECT_EQ(1u, service.calls.size());
}

TEST(NTServiceControls, ConsoleCtrlCBreakAndCloseStopTheWork) {
    CRecordingService service;
    EXPECT_TRUE(service.ConsoleCtrlHandler(CTRL_C_EVENT));
    EXPECT_TRUE(service.ConsoleCtrlHandler(CTRL_BREAK_EVENT));
    EXPECT_TRUE(service.ConsoleCtrlHandler(CTRL_CLOSE_EVENT));
    EXPECT_EQ(3, service.stops.load());
    EXPECT_FALSE(service.ConsoleCtrlHandler(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(service.ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(3, service.stops.load());
}

// A console work that takes a while to shut down after its stop.
class CSlowStopService : public CNTService {
public:
    CSlowStopService() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void ServiceRun(DWORD argc, LPWSTR*) override {
        arguments = argc;
        running = true;
        WaitForSingleObject(stopEvent.get(), INFINITE);
        Sleep(400);
        finished = true;
        if (terminate) throw CNTServiceTerminateException(1066, 9);
    }
    void OnStop() override { SetEvent(stopEvent.get()); }
    bx::win::UniqueHandle stopEvent;
    std::atomic<bool> running{false}, finished{false};
    DWORD arguments = 0;
    bool terminate = false;
};

DWORD WINAPI RunConsoleThread(void* p) {
    auto* service = static_cast<CSlowStopService*>(p);
    CNTServiceCommandLineInfo info;
    info.shellCommand_ = CNTServiceCommandLineInfo::DebugService;
    return service->ProcessCommand(info);
}

TEST(NTServiceConsole, CloseReturnsOnlyAfterTheWorkHasShutDown) {
    CSlowStopService service;
    bx::win::UniqueHandle thread(CreateThread(nullptr, 0, RunConsoleThread, &service, 0, nullptr));
    ASSERT_TRUE(bx::test::WaitUntil([&] { return service.running.load(); }, 5000));
    EXPECT_GE(service.arguments, 1u);  // at least the program path
    // The system ends the process when the handler returns: the work must be
    // done by then.
    EXPECT_TRUE(service.ConsoleCtrlHandler(CTRL_CLOSE_EVENT));
    EXPECT_TRUE(service.finished.load());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
    DWORD exitCode = 1;
    GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
}

TEST(NTServiceConsole, TerminateExceptionBecomesTheExitCode) {
    CSlowStopService service;
    service.terminate = true;
    SetEvent(service.stopEvent.get());
    CNTServiceCommandLineInfo info;
    info.shellCommand_ = CNTServiceCommandLineInfo::DebugService;
    EXPECT_EQ(1066u, service.ProcessCommand(info));
    EXPECT_TRUE(service.finished.load());
}

// ---------------------------------------------------------------------------
// Stored status values (nothing is sent without a status handle)

TEST(NTServiceStatus, PendingStatesKeepCheckPointAndWaitHintUnlessMinusOne) {
    CNTService service;
    ASSERT_EQ(nullptr, service.statusHandle_);
    EXPECT_FALSE(service.ReportStatus(SERVICE_START_PENDING, 1, 1000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), service.currentState_);
    EXPECT_EQ(1u, service.checkPoint_);
    EXPECT_EQ(1000u, service.waitHint_);
    EXPECT_EQ(3u, service.controlsAccepted_);
    service.ReportCurrentStatus();
    EXPECT_EQ(1u, service.checkPoint_);
    EXPECT_EQ(1000u, service.waitHint_);
    service.ReportStatus(SERVICE_START_PENDING, 2, static_cast<DWORD>(-1), 129);
    EXPECT_EQ(2u, service.checkPoint_);
    EXPECT_EQ(1000u, service.waitHint_);
    EXPECT_EQ(129u, service.controlsAccepted_);
}

TEST(NTServiceStatus, RunningAndPausedClearCheckPointAndWaitHint) {
    CNTService service;
    service.ReportStatus(SERVICE_STOP_PENDING, 4, 2000);
    service.ReportStatus(SERVICE_RUNNING);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.currentState_);
    EXPECT_EQ(0u, service.checkPoint_);
    EXPECT_EQ(0u, service.waitHint_);
    service.ReportStatus(SERVICE_PAUSE_PENDING, 3, 500);
    service.ReportStatus(SERVICE_PAUSED, 9, 9);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_PAUSED), service.currentState_);
    EXPECT_EQ(0u, service.checkPoint_);
    EXPECT_EQ(0u, service.waitHint_);
}

TEST(NTServiceStatus, ReportStatusIgnoresStoppedAndSetStatusStoresTheExitCodes) {
    CNTService service;
    service.ReportStatus(SERVICE_RUNNING);
    EXPECT_FALSE(service.ReportStatus(SERVICE_STOPPED));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.currentState_);
    service.SetStatus(SERVICE_STOPPED, 5, 5, static_cast<DWORD>(-1), 1066, 42);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.currentState_);
    EXPECT_EQ(0u, service.checkPoint_);
    EXPECT_EQ(0u, service.waitHint_);
    EXPECT_EQ(1066u, service.win32ExitCode_);
    EXPECT_EQ(42u, service.serviceExitCode_);
}

// ---------------------------------------------------------------------------
// Event-log writes (Wine's event log is a stub; the recorder sees the calls)

TEST(NTServiceEventLog, ControlOperationsWriteTheirInformationEvents) {
    bx::test::EventLogRecorder recorder;
    CNTService service;
    service.OnStop();
    service.OnPause();
    service.OnContinue();
    service.OnShutdown();
    auto events = recorder.Events();
    ASSERT_EQ(4u, events.size());
    const DWORD ids[] = {0x40000003, 0x40000004, 0x40000005, 0x40000009};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ids[i], events[i].eventId);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events[i].type);
        EXPECT_EQ(0, events[i].category);
        EXPECT_EQ(L"Brontavex Halvern", events[i].source);
        EXPECT_TRUE(events[i].localMachine);
        EXPECT_FALSE(events[i].withUser);
        EXPECT_EQ(0u, events[i].dataSize);
        EXPECT_EQ(std::vector<std::wstring>{L"Brontavex Halvern"}, events[i].strings);
    }
    // The source is registered for each report and deregistered after it.
    EXPECT_EQ(0, recorder.OpenSources());
}

TEST(NTServiceEventLog, NothingIsWrittenWithEventLoggingOff) {
    bx::test::EventLogRecorder recorder;
    CNTService service;
    service.eventLoggingOn_ = FALSE;
    service.OnStop();
    DWORD error = 0;
    service.serviceName_ = L"BXHostUnitNoSuchService";
    EXPECT_FALSE(service.SetServiceToStatus(CNTService::OpStart, error, 1000, 50));
    EXPECT_TRUE(recorder.Events().empty());
}

TEST(NTServiceEventLog, DisplayNameOverrideRenamesTheEventSource) {
    bx::test::EventLogRecorder recorder;
    CNTService service;
    service.allowDisplayNameChange_ = TRUE;
    CNTServiceCommandLineInfo info;
    info.shellCommand_ = CNTServiceCommandLineInfo::NothingToDo;
    info.serviceDisplayName_ = L"Other Display";
    EXPECT_EQ(0u, service.ProcessCommand(info));
    EXPECT_EQ(L"Other Display", service.displayName_);
    service.OnStop();
    auto events = recorder.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"Other Display", events[0].source);
}

TEST(NTServiceEventLog, OverridesApplyOnlyWhenAllowed) {
    CNTService service;
    CNTServiceCommandLineInfo info;
    info.shellCommand_ = CNTServiceCommandLineInfo::NothingToDo;
    info.serviceName_ = L"X";
    info.serviceDisplayName_ = L"Y";
    info.serviceDescription_ = L"Z";
    service.ProcessCommand(info);
    EXPECT_EQ(L"BXPLNSvc", service.serviceName_);
    EXPECT_EQ(L"Brontavex Halvern", service.displayName_);
    EXPECT_EQ(L"Brontavex Halvern", service.eventLogSource_.SourceName());
    service.allowNameChange_ = service.allowDescriptionChange_ = TRUE;
    service.ProcessCommand(info);
    EXPECT_EQ(L"X", service.serviceName_);
    EXPECT_EQ(L"Z", service.description_);
    EXPECT_EQ(L"BXPLNSvc", service.masterServiceName_);
}

TEST(NTServiceEventLog, MissingServiceGivesErrorEventAndError1060) {
    bx::test::EventLogRecorder recorder;
    CNTService service;
    service.serviceName_ = L"BXHostUnitNoSuchService";
    struct Case {
        uint32_t operation;
    } operations[] = {{CNTService::OpStart}, {CNTService::OpPause}, {CNTService::OpContinue}, {CNTService::OpStop}};
    for (const auto& c : operations) {
        recorder.Clear();
        DWORD error = 0;
        EXPECT_FALSE(service.SetServiceToStatus(c.operation, error, 1000, 50));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), error);
        auto events = recorder.Events();
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(0xC0000007u, events[0].eventId);
        EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
        EXPECT_EQ(std::vector<std::wstring>{L"BX Halvern: 1060, " + SystemText(1060)}, events[0].strings);
    }
    recorder.Clear();
    std::wstring message;
    DWORD error = 0;
    EXPECT_FALSE(service.Uninstall(message, error, 1000));
    EXPECT_EQ(1060u, error);
    EXPECT_EQ(L"BX Halvern Uninstall, Failed call to OpenService, Error:BX Halvern: 1060, " + SystemText(1060),
              message);
    auto events = recorder.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(0xC0000007u, events[0].eventId);
}

TEST(NTServiceEventLog, InvalidOperationIsRejected) {
    CNTService service;
    DWORD error = 0;
    EXPECT_FALSE(service.SetServiceToStatus(4, error, 1000, 50));
    EXPECT_EQ(87u, error);
}

}  // namespace

namespace {

// The agent's resource script as a program carries it (the test service is
// built with bxhvns.rc): the message strings and the version information.
TEST(NTServiceResources, AgentResourceScriptCarriesTheVersionInformation) {
    std::wstring program = bx::test::ExeDirectory() + L"bx_test_service.exe";
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(program.c_str(), &handle);
    ASSERT_NE(0u, size) << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>((BX_VERSION_MAJOR << 16) | BX_VERSION_MINOR), fixed->dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>((BX_VERSION_PATCH << 16) | BX_VERSION_BUILD), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    auto text = [&](const wchar_t* key) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || !value)
            return std::wstring(L"(none)");
        return std::wstring(value);
    };
    EXPECT_EQ(L"Brontavex Halvern", text(L"ProductName"));
    EXPECT_EQ(L"bxhvns.exe", text(L"OriginalFilename"));
    EXPECT_EQ(L"Brontavex", text(L"CompanyName"));
    EXPECT_EQ(bx::test::Widen(BX_VERSION_TEXT), text(L"FileVersion"));
    EXPECT_EQ(bx::test::Widen(BX_VERSION_TEXT), text(L"ProductVersion"));
    // Translation: US English, Unicode.
    DWORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    EXPECT_EQ(0x04b00409u, *translation);
    // The same program carries the string table.
    bx::win::UniqueModule module(LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    wchar_t name[64] = {};
    EXPECT_EQ(17, LoadStringW(module.get(), IDS_SERVICE_DISPLAY_NAME, name, 64));
    EXPECT_STREQ(L"Brontavex Halvern", name);
}

}  // namespace
