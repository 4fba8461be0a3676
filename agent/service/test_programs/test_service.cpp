// A service built on the framework for the host's tests. Its work reports
// start pending, running, waits for its stop event, reports stop pending and
// ends. Every control and step is appended to "<exe dir><service name>.log",
// where the tests read it. Extra switches:
//   -startdelay:N   stay start pending N ms before running
//   -stopdelay:N    stay stop pending N ms after the stop request
//   -terminate:W,S  end with CNTServiceTerminateException(W, S)
//   -stophandlerdelay:N  the stop control's handler returns N ms after it
//                   set the stop event (the work ends while it still runs)
//   -exitonstop     the stop control's handler reports "stopped" and ends the
//                   process before the control is answered
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
            m_startDelay = wcstoul(param + 11, nullptr, 10);
        } else if (isSwitch && _wcsnicmp(param, L"stopdelay:", 10) == 0) {
            m_stopDelay = wcstoul(param + 10, nullptr, 10);
        } else if (isSwitch && _wcsnicmp(param, L"stophandlerdelay:", 17) == 0) {
            m_stopHandlerDelay = wcstoul(param + 17, nullptr, 10);
        } else if (isSwitch && _wcsicmp(param, L"exitonstop") == 0) {
            m_exitOnStop = true;
        } else if (isSwitch && _wcsnicmp(param, L"consolectrl:", 12) == 0) {
            m_consoleCtrl = static_cast<int>(wcstoul(param + 12, nullptr, 10));
        } else if (isSwitch && _wcsnicmp(param, L"terminate:", 10) == 0) {
            wchar_t* end = nullptr;
            m_terminate = true;
            m_win32ExitCode = wcstoul(param + 10, &end, 10);
            m_serviceExitCode = *end == L',' ? wcstoul(end + 1, nullptr, 10) : 0;
        } else {
            CNTServiceCommandLineInfo::ParseParam(param, isSwitch, isLast);
        }
    }
    DWORD m_startDelay = 0;
    DWORD m_stopDelay = 0;
    DWORD m_stopHandlerDelay = 0;
    bool m_exitOnStop = false;
    bool m_terminate = false;
    int m_consoleCtrl = -1;
    DWORD m_win32ExitCode = 0;
    DWORD m_serviceExitCode = 0;
};

class CTestService : public CNTService {
public:
    CTestService() : m_stopEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

    void Configure(const CTestCommandLine& options) { m_options = options; }
    // Lets a raised console control event finish before the program ends.
    void WaitForConsoleCtrl() {
        if (m_ctrlThread) WaitForSingleObject(m_ctrlThread.get(), 10000);
    }

    void ServiceRun(DWORD argc, LPWSTR* argv) override {
        ReportStatus(SERVICE_START_PENDING, 1, m_options.m_startDelay + 2000);
        std::wstring line = L"run";
        for (DWORD i = 0; i < argc; ++i) line += std::wstring(L"|") + argv[i];
        Log(line);
        Sleep(m_options.m_startDelay);
        if (m_options.m_consoleCtrl >= 0) {
            m_ctrlEvent.reset(CreateEventW(
                nullptr, FALSE, FALSE, (L"Local\\BXHostTestCtrl" + std::to_wstring(GetCurrentProcessId())).c_str()));
            m_ctrlThread.reset(CreateThread(nullptr, 0, RaiseConsoleCtrl, this, 0, nullptr));
        }
        ReportStatus(SERVICE_RUNNING);
        Log(L"running");
        WaitForSingleObject(m_stopEvent.get(), INFINITE);
        Log(L"stopping");
        ReportStatus(SERVICE_STOP_PENDING, 1, m_options.m_stopDelay + 2000);
        Sleep(m_options.m_stopDelay);
        Log(L"stopped");
        if (m_options.m_terminate)
            throw CNTServiceTerminateException(m_options.m_win32ExitCode, m_options.m_serviceExitCode);
    }
    void OnStop() override {
        Log(L"stop");
        if (m_options.m_exitOnStop) {
            SetStatus(SERVICE_STOPPED, 0, 0, 0, NO_ERROR, 0);
            ExitProcess(0);
        }
        SetEvent(m_stopEvent.get());
        Sleep(m_options.m_stopHandlerDelay);
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
        WaitForSingleObject(self->m_ctrlEvent.get(), INFINITE);
        DWORD type = static_cast<DWORD>(self->m_options.m_consoleCtrl);
        if (type <= CTRL_BREAK_EVENT && GenerateConsoleCtrlEvent(type, 0)) return 0;
        BOOL handled = _ConsoleCtrlHandler(type);
        self->Log(L"console returned " + std::to_wstring(handled));
        return 0;
    }

    void Log(const std::wstring& text) {
        std::wstring path = ModulePath();
        path = path.substr(0, path.rfind(L'\\') + 1) + m_sServiceName + L".log";
        bx::win::UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        std::string bytes;
        for (wchar_t c : text) bytes += static_cast<char>(c < 128 ? c : '?');
        bytes += "\r\n";
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    bx::win::UniqueHandle m_stopEvent;
    bx::win::UniqueHandle m_ctrlEvent;
    bx::win::UniqueHandle m_ctrlThread;
    CTestCommandLine m_options;
};

}  // namespace

int wmain() {
    CTestCommandLine commandLine;
    CTestService service;
    service.m_bAllowCommandLine = TRUE;
    service.m_bAllowNameChange = TRUE;
    service.m_bAllowDescriptionChange = TRUE;
    service.m_bAllowDisplayNameChange = TRUE;
    service.ParseCommandLine(commandLine);
    service.Configure(commandLine);
    DWORD exitCode = service.ProcessCommand(commandLine);
    service.WaitForConsoleCtrl();
    return static_cast<int>(exitCode);
}
