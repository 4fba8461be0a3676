// A service built on the framework for the host's tests. Its work reports
// start pending, running, waits for its stop event, reports stop pending and
// ends. Every control and step is appended to "<exe dir><service name>.log",
// where the tests read it. Extra switches:
//   -startdelay:N   stay start pending N ms before running
//   -stopdelay:N    stay stop pending N ms after the stop request
//   -stophint:N     the wait hint of that stop pending (default N + 2000)
//   -terminate:W,S  end with CNTServiceTerminateException(W, S)
//   -stophandlerdelay:N  the stop control's handler returns N ms after it
//                   set the stop event (the work ends while it still runs)
//   -exitonstop     the stop control's handler reports "stopped" and ends the
//                   process before the control is answered
//   -afterstopped:N the thread that reported "stopped" stays in the service
//                   object N ms more and logs "after stopped"
//   -consolectrl:T  console mode: when the event "Local\BXHostTestCtrl<pid>"
//                   is set, raise console control event T (see RaiseConsoleCtrl)
#include <windows.h>

#include <cwchar>
#include <string>

#include "agent/service/nt_service.h"

namespace {

class CTestCommandLine : public CNTServiceCommandLineInfo {
public:
    void ParseParam(const wchar_t* param, bool isSwitch, bool isLast) override {
        if (isSwitch && _wcsnicmp(param, L"startdelay:", 11) == 0) {
            startDelay_ = wcstoul(param + 11, nullptr, 10);
        } else if (isSwitch && _wcsnicmp(param, L"stopdelay:", 10) == 0) {
            stopDelay_ = wcstoul(param + 10, nullptr, 10);
        } else if (isSwitch && _wcsnicmp(param, L"stophint:", 9) == 0) {
            stopHint_ = wcstoul(param + 9, nullptr, 10);
            stopHintGiven_ = true;
        } else if (isSwitch && _wcsnicmp(param, L"stophandlerdelay:", 17) == 0) {
            stopHandlerDelay_ = wcstoul(param + 17, nullptr, 10);
        } else if (isSwitch && _wcsnicmp(param, L"afterstopped:", 13) == 0) {
            afterStopped_ = wcstoul(param + 13, nullptr, 10);
        } else if (isSwitch && _wcsicmp(param, L"exitonstop") == 0) {
            exitOnStop_ = true;
        } else if (isSwitch && _wcsnicmp(param, L"consolectrl:", 12) == 0) {
            consoleCtrl_ = static_cast<int>(wcstoul(param + 12, nullptr, 10));
        } else if (isSwitch && _wcsnicmp(param, L"terminate:", 10) == 0) {
            wchar_t* end = nullptr;
            terminate_ = true;
            win32ExitCode_ = wcstoul(param + 10, &end, 10);
            serviceExitCode_ = *end == L',' ? wcstoul(end + 1, nullptr, 10) : 0;
        } else {
            CNTServiceCommandLineInfo::ParseParam(param, isSwitch, isLast);
        }
    }
    DWORD startDelay_ = 0;
    DWORD stopDelay_ = 0;
    DWORD stopHint_ = 0;
    bool stopHintGiven_ = false;
    DWORD stopHandlerDelay_ = 0;
    DWORD afterStopped_ = 0;
    bool exitOnStop_ = false;
    bool terminate_ = false;
    int consoleCtrl_ = -1;
    DWORD win32ExitCode_ = 0;
    DWORD serviceExitCode_ = 0;
};

class CTestService : public CNTService {
public:
    CTestService() : stopEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    void Configure(const CTestCommandLine& options) { options_ = options; }
    // Lets a raised console control event finish before the program ends.
    void WaitForConsoleCtrl() {
        if (ctrlThread_) WaitForSingleObject(ctrlThread_.get(), 10000);
    }

    void ServiceRun(DWORD argc, LPWSTR* argv) override {
        ReportStatus(SERVICE_START_PENDING, 1, options_.startDelay_ + 2000);
        std::wstring line = L"run";
        for (DWORD i = 0; i < argc; ++i) line += std::wstring(L"|") + argv[i];
        Log(line);
        Sleep(options_.startDelay_);
        if (options_.consoleCtrl_ >= 0) {
            ctrlEvent_.reset(CreateEventW(nullptr, FALSE, FALSE,
                                          (L"Local\\BXHostTestCtrl" + std::to_wstring(GetCurrentProcessId())).c_str()));
            ctrlThread_.reset(CreateThread(nullptr, 0, RaiseConsoleCtrl, this, 0, nullptr));
        }
        ReportStatus(SERVICE_RUNNING);
        Log(L"running");
        WaitForSingleObject(stopEvent_.get(), INFINITE);
        Log(L"stopping");
        ReportStatus(SERVICE_STOP_PENDING, 1, options_.stopHintGiven_ ? options_.stopHint_ : options_.stopDelay_ + 2000);
        Sleep(options_.stopDelay_);
        Log(L"stopped");
        if (options_.terminate_) throw CNTServiceTerminateException(options_.win32ExitCode_, options_.serviceExitCode_);
    }
    void OnStop() override {
        Log(L"stop");
        if (options_.exitOnStop_) {
            SetStatus(SERVICE_STOPPED, 0, 0, 0, NO_ERROR, 0);
            ExitProcess(0);
        }
        SetEvent(stopEvent_.get());
        Sleep(options_.stopHandlerDelay_);
    }
    // The framework itself still uses the object after the stopped status is
    // sent (the end of that send, ServiceMain's last steps); this stays longer.
    BOOL SetStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted, DWORD win32ExitCode,
                   DWORD serviceSpecificExitCode) override {
        BOOL sent =
            CNTService::SetStatus(state, checkPoint, waitHint, controlsAccepted, win32ExitCode, serviceSpecificExitCode);
        if (state == SERVICE_STOPPED && options_.afterStopped_ != 0) {
            Sleep(options_.afterStopped_);
            Log(L"after stopped");
        }
        return sent;
    }
    void OnPause() override {
        Log(L"pause");
        ReportStatus(SERVICE_PAUSED);
    }
    void OnContinue() override {
        Log(L"continue");
        ReportStatus(SERVICE_RUNNING);
    }
    void OnInterrogate() override {
        Log(L"interrogate");
        CNTService::OnInterrogate();
    }
    void OnUserDefinedRequest(DWORD control) override { Log(L"user " + std::to_wstring(control)); }
    BOOL ConsoleCtrlHandler(DWORD ctrlType) override {
        Log(L"console " + std::to_wstring(ctrlType));
        return CNTService::ConsoleCtrlHandler(ctrlType);
    }
    void ShowHelp() override {
        WriteStdout(
            L"Usage: bx_test_service [ -install | -uninstall | -remove | -start | -stop | -pause | "
            L"-continue | -console | -help | -? ]");
    }

private:
    // Raises the console control event as the console would. Wine cannot
    // deliver console control events to a program without a real console
    // (GenerateConsoleCtrlEvent fails with 12, or 6 after AttachConsole), so
    // when the system's delivery fails the entry point that RunInConsole
    // registered with SetConsoleCtrlHandler is called on this thread, as the
    // system's control thread would call it.
    static DWORD WINAPI RaiseConsoleCtrl(void* parameter) {
        auto* self = static_cast<CTestService*>(parameter);
        WaitForSingleObject(self->ctrlEvent_.get(), INFINITE);
        DWORD type = static_cast<DWORD>(self->options_.consoleCtrl_);
        if (type <= CTRL_BREAK_EVENT && GenerateConsoleCtrlEvent(type, 0)) return 0;
        BOOL handled = _ConsoleCtrlHandler(type);
        self->Log(L"console returned " + std::to_wstring(handled));
        return 0;
    }

    void Log(const std::wstring& text) {
        std::wstring path = ModulePath();
        path = path.substr(0, path.rfind(L'\\') + 1) + serviceName_ + L".log";
        bx::win::UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        std::string bytes;
        for (wchar_t c : text) bytes += static_cast<char>(c < 128 ? c : '?');
        bytes += "\r\n";
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    bx::win::UniqueHandle stopEvent_;
    bx::win::UniqueHandle ctrlEvent_;
    bx::win::UniqueHandle ctrlThread_;
    CTestCommandLine options_;
};

}  // namespace

int wmain() {
    CTestCommandLine commandLine;
    CTestService service;
    service.allowCommandLine_ = TRUE;
    service.allowNameChange_ = TRUE;
    service.allowDescriptionChange_ = TRUE;
    service.allowDisplayNameChange_ = TRUE;
    service.ParseCommandLine(commandLine);
    service.Configure(commandLine);
    DWORD exitCode = service.ProcessCommand(commandLine);
    service.WaitForConsoleCtrl();
    return static_cast<int>(exitCode);
}
