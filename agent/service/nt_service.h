// The Windows service framework: a console program becomes a service program
// that installs and removes itself, registers as an event-log source, drives
// an installed service to a state and waits for it, and runs its work under
// the SCM's control dispatcher or in a console.
//
// A service derives from CNTService, overrides ServiceRun (its work) and the
// control operations it accepts, and reports its states with ReportStatus.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/service/event_log_source.h"
#include "agent/service/nt_service_res.h"
#include "platform/win/handles.h"

// Raised by a service's work to end the service with the two exit codes the
// SCM reports (or, in console mode, the program's exit code).
class CNTServiceTerminateException {
public:
    CNTServiceTerminateException(DWORD win32ExitCode, DWORD serviceSpecificExitCode)
        : win32ExitCode_(win32ExitCode), serviceSpecificExitCode_(serviceSpecificExitCode) {}
    DWORD Win32ExitCode() const { return win32ExitCode_; }
    DWORD ServiceSpecificExitCode() const { return serviceSpecificExitCode_; }

private:
    DWORD win32ExitCode_;
    DWORD serviceSpecificExitCode_;
};

// The parsed command line: verbs and value switches.
class CNTServiceCommandLineInfo {
public:
    enum ShellCommand : uint32_t {
        RunAsService = 0,
        StartTheService = 1,
        PauseService = 2,
        ContinueService = 3,
        StopService = 4,
        InstallService = 5,
        UninstallService = 6,
        DebugService = 7,  // run in the console
        ShowServiceHelp = 8,
        NothingToDo = 9,  // set by a derived parser that handled the command itself
    };

    CNTServiceCommandLineInfo();
    // One argument. Only switches count (the leading "-" or "/" already
    // stripped); verbs compare case-insensitively; value switches match by
    // upper-cased prefix in the order T:, SCL:, SD:, SN:, SDN:, P:, U: and need
    // at least one character of value; anything else is ignored.
    virtual void ParseParam(const wchar_t* param, bool isSwitch, bool isLast);
    virtual ~CNTServiceCommandLineInfo();

    uint32_t shellCommand_ = RunAsService;
    DWORD timeout_ = 5000;  // milliseconds
    BOOL silent_ = FALSE;
    std::wstring serviceCommandLine_;
    std::wstring serviceName_;
    std::wstring serviceDisplayName_;
    std::wstring serviceDescription_;
    std::wstring userName_;
    std::wstring password_;
    BOOL autoStart_ = FALSE;
};

namespace bx::service {

// The one split of a command line into the parser's calls: every argument
// after the program name (argv[0]) goes to info.ParseParam; a leading "-" or
// "/" makes it a switch and is stripped; the last one is marked as such.
void ParseArguments(CNTServiceCommandLineInfo& info, int argc, const LPWSTR* argv);

}  // namespace bx::service

class CNTService {
public:
    // SetServiceToStatus operations.
    enum StatusOperation : uint32_t { OpStart = 0, OpPause = 1, OpContinue = 2, OpStop = 3 };

    CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // Virtual operations, in slot order.
    virtual ~CNTService();
    virtual BOOL SetParameterString(const wchar_t* valueName, const wchar_t* text);
    virtual BOOL SetParameterInt(const wchar_t* valueName, DWORD value);
    virtual BOOL SetParameterBinary(const wchar_t* valueName, const BYTE* data, DWORD size);
    virtual std::wstring GetParameterString(const wchar_t* valueName, const wchar_t* defaultText);
    virtual DWORD GetParameterInt(const wchar_t* valueName, DWORD defaultValue);
    virtual BOOL GetParameterBinary(const wchar_t* valueName, std::vector<BYTE>& data);
    virtual void ParseCommandLine(CNTServiceCommandLineInfo& info);
    virtual DWORD ProcessCommand(CNTServiceCommandLineInfo& info);
    virtual BOOL ReportStatus(DWORD state, DWORD checkPoint = static_cast<DWORD>(-1),
                              DWORD waitHint = static_cast<DWORD>(-1), DWORD controlsAccepted = static_cast<DWORD>(-1));
    virtual BOOL ReportCurrentStatus();
    virtual BOOL RegisterHandler();
    virtual DWORD HandleControl(DWORD control, DWORD eventType, LPVOID eventData);
    virtual void ServiceRun(DWORD argc, LPWSTR* argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnInterrogate();
    virtual void OnShutdown();
    virtual void OnParamChange();
    virtual DWORD OnHardwareProfileChange(DWORD eventType);
    virtual DWORD OnPowerEvent(DWORD eventType, LPVOID eventData);
    virtual void OnNetBindAdd();
    virtual void OnNetBindRemove();
    virtual void OnNetBindEnable();
    virtual void OnNetBindDisable();
    virtual DWORD OnDeviceEvent(DWORD eventType, LPVOID eventData);
    virtual DWORD OnSessionChange(DWORD eventType, WTSSESSION_NOTIFICATION* notification);
    virtual void OnUserDefinedRequest(DWORD control);
    virtual BOOL RunDispatcher();
    virtual BOOL SetServiceToStatus(uint32_t operation, DWORD& error, DWORD timeout, DWORD pollInterval);
    virtual BOOL Install(std::wstring& message, DWORD& error);
    virtual BOOL Uninstall(std::wstring& message, DWORD& error, DWORD timeout);
    virtual void RunInConsole();
    virtual void ShowHelp();
    virtual BOOL EnumerateInstances(std::vector<std::wstring>& serviceNames, DWORD& error);
    virtual void ServiceMain(DWORD argc, LPWSTR* argv);
    virtual std::wstring FormatErrorMessage(UINT messageId, DWORD error, BOOL eventLog);
    virtual UINT MapStringID(UINT id);
    virtual DWORD MapEventID(DWORD id);
    virtual std::wstring GetErrorText(DWORD error);
    virtual BOOL SetStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted, DWORD win32ExitCode,
                           DWORD serviceSpecificExitCode);
    // Sends the stored status (see the comment at its definition); a re-report
    // of an unchanged status passes reReport.
    BOOL SendStatus(bool reReport);
    BOOL StatusSendInProgress();
    virtual std::vector<wchar_t> GetDependencies();
    virtual BOOL ConsoleCtrlHandler(DWORD ctrlType);

    // Helpers.
    // Loads string resource MapStringID(id) of the program; empty when absent.
    std::wstring LoadResourceString(UINT id);
    // Writes an event (MapEventID(eventId)) when event logging is on.
    void WriteEvent(WORD type, DWORD eventId, const wchar_t* string1 = nullptr, const wchar_t* string2 = nullptr);
    // A message on standard output (console output on) or in a message box.
    void ShowMessage(const std::wstring& text);
    // Text plus line feed on standard output: console text when it is a
    // console, else bytes in the console's output code page.
    static void WriteStdout(const std::wstring& text);
    // The running program's full path.
    static std::wstring ModulePath();
    // The service in this process: reached by the SCM and console callbacks.
    static CNTService* Instance() { return instance_; }

    // Message formatting styles (display and event-log error styles).
    enum ErrorStyle : DWORD {
        StyleErrorCode = 0,               // the error code in decimal
        StyleCodeAndText = 1,             // message 15: code, system text
        StyleSystemText = 2,              // the system text
        StyleMessageWithCode = 3,         // the message, %1 = code
        StyleMessageWithCodeAndText = 4,  // the message, %1 = message 15
        StyleMessageWithSystemText = 5,   // the message, %1 = system text
    };

    // Fields, in order. Defaults as the constructor sets them.
    DWORD serviceType_ = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType_ = SERVICE_DEMAND_START;
    DWORD errorControl_ = SERVICE_ERROR_IGNORE;
    std::wstring loadOrderGroup_;
    std::wstring userName_;
    std::wstring password_;
    std::wstring eventMessageFile_;
    DWORD displayErrorStyle_ = StyleMessageWithCodeAndText;
    DWORD eventLogErrorStyle_ = StyleCodeAndText;
    std::vector<std::wstring> dependencies_;
    BOOL eventLoggingOn_ = TRUE;  // event logging on
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    DWORD controlsAccepted_ = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    DWORD checkPoint_ = 0;
    DWORD waitHint_ = 0;
    DWORD currentState_ = SERVICE_STOPPED;
    DWORD serviceExitCode_ = 0;  // the exit codes stored with the status
    DWORD win32ExitCode_ = 0;
    DWORD ignoredControl_ = 0;  // a control with this code gets error 120
    std::wstring serviceName_, masterServiceName_;
    std::wstring displayName_, masterDisplayName_;
    std::wstring description_, masterDescription_;
    CEventLogSource eventLogSource_;
    bx::win::CriticalSection statusLock_;  // guards the stored status values and the two flags below
    bool sendingStatus_ = false;           // a thread is sending the status (see SendStatus)
    bool statusChanged_ = false;           // the stored status changed since the sender took it
    BOOL registryFlush_ = TRUE;
    BOOL allowCommandLine_ = FALSE;        // "SCL:"
    BOOL allowNameChange_ = FALSE;         // "SN:"
    BOOL allowDescriptionChange_ = FALSE;  // "SD:"
    BOOL allowDisplayNameChange_ = FALSE;  // "SDN:"
    BOOL useConsole_ = TRUE;               // messages to standard output, else message boxes
    std::wstring binaryPathName_;
    using RegisterHandlerExFn = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID);
    using ChangeServiceConfig2Fn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);
    bx::win::UniqueModule advapi32_;
    RegisterHandlerExFn registerServiceCtrlHandlerEx_ = nullptr;
    // Failure actions and description at install; nothing is set without it.
    ChangeServiceConfig2Fn changeServiceConfig2_ = nullptr;
    // Console mode: signalled while no work runs; a console close waits for it.
    bx::win::UniqueHandle consoleWorkDone_;
    static constexpr DWORD kConsoleCloseWaitMs = 4500;
    static constexpr DWORD kFinalStatusWaitMs = 5000;  // ServiceMain's bound on another thread's send
    // RunDispatcher's bound on the SCM's threads leaving the object after the
    // dispatcher returned (ServiceMain's last steps include the wait above).
    static constexpr DWORD kCallbackExitWaitMs = 30000;

protected:
    // The SCM's and the console's entry points. None lets an exception out.
    static void WINAPI _ServiceMain(DWORD argc, LPWSTR* argv);
    static void WINAPI _ServiceCtrlHandler(DWORD control);
    static DWORD WINAPI _ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
    static BOOL WINAPI _ConsoleCtrlHandler(DWORD ctrlType);

    // Key SYSTEM\CurrentControlSet\Services\<name>\Parameters.
    std::wstring ParametersKeyPath() const;
    // Replaces %1 and %2 of a message.
    static std::wstring FillMessage(const std::wstring& message, const std::wstring& insert1,
                                    const std::wstring& insert2 = std::wstring());
    // Shows/logs one failure: the display text to the debugger output and,
    // when eventId is not 0, the event (type error) with the event-log text.
    void ReportFailure(UINT messageId, DWORD error, DWORD eventId);

private:
    // Steps of ProcessCommand (nt_service_control.cpp).
    void ApplyNameSwitches(const CNTServiceCommandLineInfo& info);
    DWORD DriveToState(const CNTServiceCommandLineInfo& info);
    void PrepareInstall(CNTServiceCommandLineInfo& info);
    // Steps of SetServiceToStatus: open the service with the operation's
    // rights, send the start or the control (reached: the control lost its
    // answer but the service is in the state), wait for the operation's state.
    BOOL OpenForOperation(uint32_t operation, bx::win::UniqueScHandle& scm, bx::win::UniqueScHandle& service,
                          DWORD& error);
    BOOL SendOperation(uint32_t operation, SC_HANDLE service, DWORD& error, bool& reached);
    BOOL WaitForOperationState(uint32_t operation, SC_HANDLE service, DWORD timeout, DWORD pollInterval, DWORD& error);
    // Steps of Install after the service is created.
    void SetRecoveryActions(SC_HANDLE service);
    DWORD RegisterEventLogSource();
    void SetDescription(SC_HANDLE service);

    static CNTService* instance_;
};
