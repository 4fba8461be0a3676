// The service framework, in-service side: construction, parameters, status
// reports, control handling, the SCM's dispatcher and the console mode.
#include "agent/service/nt_service.h"

#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "agent/service/nt_service_internal.h"

using bx::win::CriticalSectionLock;
using bx::win::UniqueLocal;
using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;
using bx::win::UniqueScLock;
using namespace bx::service::detail;

// ---------------------------------------------------------------------------
// CNTService: construction

CNTService* CNTService::instance_ = nullptr;

namespace {

// The SCM's threads inside the service's callbacks (ServiceMain, the control
// handlers), and whether RunDispatcher has returned: process-lifetime state,
// as the callbacks' own, so that counting never touches the object.
std::atomic<int> g_scmCallbacksInside{0};
std::atomic<bool> g_dispatcherReturned{false};

// Counts one callback for its whole run. A callback that comes after the
// dispatcher returned is not admitted: the object may be gone.
class ScmCallback {
public:
    ScmCallback() { ++g_scmCallbacksInside; }
    ~ScmCallback() { --g_scmCallbacksInside; }
    ScmCallback(const ScmCallback&) = delete;
    ScmCallback& operator=(const ScmCallback&) = delete;
    bool Admitted() const { return !g_dispatcherReturned; }
};

}  // namespace

CNTService::CNTService() {
    instance_ = this;

    serviceName_ = masterServiceName_ = LoadResourceString(IDS_SERVICE_NAME);
    displayName_ = masterDisplayName_ = LoadResourceString(IDS_SERVICE_DISPLAY_NAME);
    description_ = masterDescription_ = LoadResourceString(IDS_SERVICE_DESCRIPTION);
    eventLogSource_.SetSourceName(displayName_);

    // The extended control handler (session changes) and the extended
    // configuration are looked up by name, so that the program still runs
    // where ADVAPI32 lacks them.
    advapi32_.reset(LoadLibraryW(L"ADVAPI32.DLL"));
    if (advapi32_) {
        registerServiceCtrlHandlerEx_ = reinterpret_cast<RegisterHandlerExFn>(
            reinterpret_cast<void*>(GetProcAddress(advapi32_.get(), "RegisterServiceCtrlHandlerExW")));
        changeServiceConfig2_ = reinterpret_cast<ChangeServiceConfig2Fn>(
            reinterpret_cast<void*>(GetProcAddress(advapi32_.get(), "ChangeServiceConfig2W")));
    }
}

CNTService::~CNTService() {
    SecureErase(password_);
    if (instance_ == this) instance_ = nullptr;
}

// ---------------------------------------------------------------------------
// Parameters under SYSTEM\CurrentControlSet\Services\<name>\Parameters

std::wstring CNTService::ParametersKeyPath() const { return kServicesKey + serviceName_ + L"\\Parameters"; }

BOOL CNTService::SetParameterString(const wchar_t* valueName, const wchar_t* text) {
    UniqueRegKey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr);
    if (rc == ERROR_SUCCESS) {
        if (!text)
            rc = RegDeleteValueW(key.get(), valueName);
        else
            rc = RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
        if (rc == ERROR_SUCCESS && registryFlush_) RegFlushKey(key.get());
    }
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

BOOL CNTService::SetParameterInt(const wchar_t* valueName, DWORD value) {
    UniqueRegKey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        if (rc == ERROR_SUCCESS && registryFlush_) RegFlushKey(key.get());
    }
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

BOOL CNTService::SetParameterBinary(const wchar_t* valueName, const BYTE* data, DWORD size) {
    UniqueRegKey key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key.get(), valueName, 0, REG_BINARY, data, size);
        if (rc == ERROR_SUCCESS && registryFlush_) RegFlushKey(key.get());
    }
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

std::wstring CNTService::GetParameterString(const wchar_t* valueName, const wchar_t* defaultText) {
    std::wstring result = defaultText ? defaultText : L"";
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return result;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return result;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got) !=
        ERROR_SUCCESS)
        return result;
    buffer.back() = L'\0';  // the stored value need not be terminated
    return std::wstring(buffer.data());
}

DWORD CNTService::GetParameterInt(const wchar_t* valueName, DWORD defaultValue) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return defaultValue;
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return defaultValue;
    return value;
}

BOOL CNTService::GetParameterBinary(const wchar_t* valueName, std::vector<BYTE>& data) {
    UniqueRegKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ParametersKeyPath().c_str(), 0, KEY_READ, key.put());
    DWORD type = 0, size = 0;
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data.assign(size, 0);
        rc = RegQueryValueExW(key.get(), valueName, nullptr, &type, data.data(), &size);
        data.resize(size);
    }
    if (rc == ERROR_SUCCESS && type != REG_BINARY) rc = ERROR_INVALID_DATA;
    SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Status

BOOL CNTService::ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted) {
    if (state == SERVICE_STOPPED) return FALSE;
    return SetStatus(state, checkPoint, waitHint, controlsAccepted, NO_ERROR, 0);
}

BOOL CNTService::ReportCurrentStatus() { return SendStatus(true); }

BOOL CNTService::SetStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted, DWORD win32ExitCode,
                           DWORD serviceSpecificExitCode) {
    {
        CriticalSectionLock lock(statusLock_);
        currentState_ = state;
        if (state == SERVICE_STOPPED) {
            checkPoint_ = 0;
            waitHint_ = 0;
            win32ExitCode_ = win32ExitCode;
            serviceExitCode_ = serviceSpecificExitCode;
        } else if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
            checkPoint_ = 0;
            waitHint_ = 0;
            win32ExitCode_ = 0;
            serviceExitCode_ = 0;
        } else {
            win32ExitCode_ = 0;
            serviceExitCode_ = 0;
            if (checkPoint != kUnchanged) checkPoint_ = checkPoint;
            if (waitHint != kUnchanged) waitHint_ = waitHint;
        }
        if (controlsAccepted != kUnchanged) controlsAccepted_ = controlsAccepted;
    }
    return SendStatus(false);
}

// Sends the stored status to the SCM, so that it always ends with the latest
// status and never receives an older one after a newer one.
//
// No lock is held while SetServiceStatus runs: Wine's control dispatcher
// calls the control handler while holding the lock that its SetServiceStatus
// takes, so a handler waiting for the status lock while another thread sent
// under it would stop both threads for good (the stopped service's process
// then never ends). Instead one thread sends at a time: a thread that finds a
// send in progress only marks the status changed and returns TRUE, and the
// sending thread sends again until what it sent is what is stored. Nothing is
// sent without a status handle (console mode), and a re-report sends nothing
// once the status is "stopped": the SCM has the final status then.
BOOL CNTService::SendStatus(bool reReport) {
    if (!statusHandle_) return FALSE;
    {
        CriticalSectionLock lock(statusLock_);
        if (reReport && currentState_ == SERVICE_STOPPED) return FALSE;
        statusChanged_ = true;
        if (sendingStatus_) return TRUE;
        sendingStatus_ = true;
    }
    BOOL sent = FALSE;
    for (;;) {
        SERVICE_STATUS status{};
        {
            CriticalSectionLock lock(statusLock_);
            if (!statusChanged_) {
                sendingStatus_ = false;
                return sent;
            }
            statusChanged_ = false;
            status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            status.dwCurrentState = currentState_;
            status.dwControlsAccepted = IsPendingState(currentState_) ? 0 : controlsAccepted_;
            status.dwWin32ExitCode = win32ExitCode_;
            status.dwServiceSpecificExitCode = serviceExitCode_;
            status.dwCheckPoint = checkPoint_;
            status.dwWaitHint = waitHint_;
        }
        sent = SetServiceStatus(statusHandle_, &status);
    }
}

BOOL CNTService::StatusSendInProgress() {
    CriticalSectionLock lock(statusLock_);
    return sendingStatus_;
}

// ---------------------------------------------------------------------------
// Control handling

BOOL CNTService::RegisterHandler() {
    if (registerServiceCtrlHandlerEx_)
        statusHandle_ = registerServiceCtrlHandlerEx_(serviceName_.c_str(), _ServiceCtrlHandlerEx, this);
    else
        statusHandle_ = RegisterServiceCtrlHandlerW(serviceName_.c_str(), _ServiceCtrlHandler);
    return statusHandle_ != nullptr;
}

void WINAPI CNTService::_ServiceCtrlHandler(DWORD control) {
    ScmCallback callback;
    if (!callback.Admitted()) return;
    try {
        if (instance_) instance_->HandleControl(control, 0, nullptr);
    } catch (...) {
    }
}

DWORD WINAPI CNTService::_ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID /*context*/) {
    ScmCallback callback;
    if (!callback.Admitted()) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    try {
        if (instance_) return instance_->HandleControl(control, eventType, eventData);
        return ERROR_CALL_NOT_IMPLEMENTED;
    } catch (...) {
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}

DWORD CNTService::HandleControl(DWORD control, DWORD eventType, LPVOID eventData) {
    if (control == ignoredControl_) return ERROR_CALL_NOT_IMPLEMENTED;

    DWORD result = NO_ERROR;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            OnStop();
            break;
        case SERVICE_CONTROL_PAUSE:
            OnPause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            OnContinue();
            break;
        case SERVICE_CONTROL_INTERROGATE:
            OnInterrogate();
            break;
        case SERVICE_CONTROL_SHUTDOWN:
            OnShutdown();
            break;
        case SERVICE_CONTROL_PARAMCHANGE:
            OnParamChange();
            break;
        case SERVICE_CONTROL_NETBINDADD:
            OnNetBindAdd();
            break;
        case SERVICE_CONTROL_NETBINDREMOVE:
            OnNetBindRemove();
            break;
        case SERVICE_CONTROL_NETBINDENABLE:
            OnNetBindEnable();
            break;
        case SERVICE_CONTROL_NETBINDDISABLE:
            OnNetBindDisable();
            break;
        case SERVICE_CONTROL_DEVICEEVENT:
            result = OnDeviceEvent(eventType, eventData);
            break;
        case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
            result = OnHardwareProfileChange(eventType);
            break;
        case SERVICE_CONTROL_POWEREVENT:
            result = OnPowerEvent(eventType, eventData);
            break;
        case SERVICE_CONTROL_SESSIONCHANGE:
            result = OnSessionChange(eventType, static_cast<WTSSESSION_NOTIFICATION*>(eventData));
            break;
        default:
            OnUserDefinedRequest(control);
            break;
    }
    ReportCurrentStatus();
    return result;
}

void CNTService::ServiceRun(DWORD /*argc*/, LPWSTR* /*argv*/) {}

void CNTService::OnStop() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventStopped, displayName_.c_str()); }
void CNTService::OnPause() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventPaused, displayName_.c_str()); }
void CNTService::OnContinue() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventContinued, displayName_.c_str()); }
void CNTService::OnInterrogate() { ReportCurrentStatus(); }
void CNTService::OnShutdown() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventShutdown, displayName_.c_str()); }
void CNTService::OnParamChange() {}
DWORD CNTService::OnHardwareProfileChange(DWORD /*eventType*/) { return NO_ERROR; }
DWORD CNTService::OnPowerEvent(DWORD /*eventType*/, LPVOID /*eventData*/) { return NO_ERROR; }
void CNTService::OnNetBindAdd() {}
void CNTService::OnNetBindRemove() {}
void CNTService::OnNetBindEnable() {}
void CNTService::OnNetBindDisable() {}
DWORD CNTService::OnDeviceEvent(DWORD /*eventType*/, LPVOID /*eventData*/) { return NO_ERROR; }
DWORD CNTService::OnSessionChange(DWORD /*eventType*/, WTSSESSION_NOTIFICATION* /*notification*/) { return NO_ERROR; }
void CNTService::OnUserDefinedRequest(DWORD /*control*/) {}

// ---------------------------------------------------------------------------
// Running under the SCM

BOOL CNTService::RunDispatcher() {
    wchar_t name[256];
    wcsncpy(name, serviceName_.c_str(), 255);
    name[255] = L'\0';
    SERVICE_TABLE_ENTRYW table[] = {{name, _ServiceMain}, {nullptr, nullptr}};
    BOOL dispatched = StartServiceCtrlDispatcherW(table);
    DWORD error = GetLastError();
    // The dispatcher returns as soon as the service has reported "stopped",
    // which the service's own thread does, and a control handler may do:
    // that thread is still inside this object (ending its send, ServiceMain's
    // last steps), and the caller's next step is to destroy the object. Wait
    // for the SCM's threads to leave it first; one that never does leaves the
    // process to end here rather than have the object freed under it.
    g_dispatcherReturned = true;
    for (ULONGLONG start = GetTickCount64(); g_scmCallbacksInside > 0; Sleep(1)) {
        if (TimedOut(start, kCallbackExitWaitMs)) TerminateProcess(GetCurrentProcess(), ERROR_TIMEOUT);
    }
    SetLastError(error);
    return dispatched;
}

void WINAPI CNTService::_ServiceMain(DWORD argc, LPWSTR* argv) {
    ScmCallback callback;
    if (callback.Admitted() && instance_) instance_->ServiceMain(argc, argv);
}

void CNTService::ServiceMain(DWORD argc, LPWSTR* argv) {
    DWORD win32ExitCode = NO_ERROR;
    DWORD serviceExitCode = 0;
    try {
        RegisterHandler();
        ServiceRun(argc, argv);
    } catch (const CNTServiceTerminateException& e) {
        win32ExitCode = e.Win32ExitCode();
        serviceExitCode = e.ServiceSpecificExitCode();
    } catch (...) {
        // Nothing leaves the SCM's thread: the service ends as failed.
        win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
    }
    try {
        SetStatus(SERVICE_STOPPED, 0, 0, 0, win32ExitCode, serviceExitCode);
        // When a control handler was sending at that moment, the stopped
        // status goes out on its thread: wait for it, so that the object is
        // not left to the program's end while that send still uses it.
        for (ULONGLONG start = GetTickCount64(); StatusSendInProgress() && !TimedOut(start, kFinalStatusWaitMs);)
            Sleep(1);
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------
// Console mode

void CNTService::RunInConsole() {
    int argc = 0;
    UniqueLocal args(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &argc)));
    LPWSTR* argv = static_cast<LPWSTR*>(args.get());
    static const wchar_t* const kConsoleSwitches[] = {L"-debug",       L"/debug",       L"-app",     L"/app",
                                                      L"-application", L"/application", L"-console", L"/console"};
    std::vector<LPWSTR> kept;
    for (int i = 0; argv && i < argc; ++i) {
        bool skip = false;
        for (const wchar_t* s : kConsoleSwitches) skip = skip || EqualNoCase(argv[i], s);
        if (!skip) kept.push_back(argv[i]);
    }
    kept.push_back(nullptr);

    // The console's Ctrl+C, Ctrl+Break and close end the work like the SCM's stop.
    struct HandlerScope {
        HandlerScope() { SetConsoleCtrlHandler(_ConsoleCtrlHandler, TRUE); }
        ~HandlerScope() { SetConsoleCtrlHandler(_ConsoleCtrlHandler, FALSE); }
    };
    // Set when the work has returned: a console close waits for it.
    struct DoneScope {
        explicit DoneScope(HANDLE e) : event(e) { ResetEvent(event); }
        ~DoneScope() { SetEvent(event); }
        HANDLE event;
    };
    if (!consoleWorkDone_) consoleWorkDone_.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HandlerScope handler;
    DoneScope done(consoleWorkDone_.get());
    ServiceRun(static_cast<DWORD>(kept.size() - 1), kept.data());
}

BOOL WINAPI CNTService::_ConsoleCtrlHandler(DWORD ctrlType) {
    try {
        return instance_ ? instance_->ConsoleCtrlHandler(ctrlType) : FALSE;
    } catch (...) {
        return FALSE;
    }
}

BOOL CNTService::ConsoleCtrlHandler(DWORD ctrlType) {
    switch (ctrlType) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            OnStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // The system ends the process as soon as this returns: give the work
            // the time the system allows (5 s) to finish its shut-down first.
            OnStop();
            if (consoleWorkDone_) WaitForSingleObject(consoleWorkDone_.get(), kConsoleCloseWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

void CNTService::ShowHelp() {}
