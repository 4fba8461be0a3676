#include "agent/service/nt_service.h"

#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <iterator>

using bx::win::CriticalSectionLock;
using bx::win::UniqueLocal;
using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;
using bx::win::UniqueScLock;

namespace {

constexpr DWORD kUnchanged = static_cast<DWORD>(-1);

// Event ids the framework writes (texts live in the event message file).
constexpr DWORD kEventStopped = 0x40000003;
constexpr DWORD kEventInstalled = 0x40000002;
constexpr DWORD kEventPaused = 0x40000004;
constexpr DWORD kEventContinued = 0x40000005;
constexpr DWORD kEventShutdown = 0x40000009;
constexpr DWORD kEventFailConnectScm = 0xC0000006;
constexpr DWORD kEventFailOpenService = 0xC0000007;
constexpr DWORD kEventFailDeleteService = 0xC0000008;
constexpr DWORD kEventFailStart = 0xC000000A;
constexpr DWORD kEventFailStop = 0xC000000B;
constexpr DWORD kEventFailContinue = 0xC000000C;
constexpr DWORD kEventFailPause = 0xC000000D;
constexpr DWORD kEventFailWaitForState = 0xC000000E;
constexpr DWORD kEventFailQueryStatus = 0xC000000F;

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";

bool EqualNoCase(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

std::wstring Decimal(DWORD value) { return std::to_wstring(value); }

// Overwrites a secret before the string lets go of its memory.
void SecureErase(std::wstring& secret) {
    if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size() * sizeof(wchar_t));
    secret.clear();
}

bool IsPendingState(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

// Milliseconds since `start` have reached `timeout` (INFINITE never does).
bool TimedOut(ULONGLONG start, DWORD timeout) { return timeout != INFINITE && GetTickCount64() - start >= timeout; }

}  // namespace

// ---------------------------------------------------------------------------
// CNTServiceCommandLineInfo

CNTServiceCommandLineInfo::CNTServiceCommandLineInfo() = default;

CNTServiceCommandLineInfo::~CNTServiceCommandLineInfo() { SecureErase(m_sPassword); }

void CNTServiceCommandLineInfo::ParseParam(const wchar_t* param, bool isSwitch, bool /*isLast*/) {
    if (!isSwitch || !param) return;

    if (EqualNoCase(param, L"install")) {
        m_nShellCommand = InstallService;
    } else if (EqualNoCase(param, L"silent")) {
        m_bSilent = TRUE;
    } else if (EqualNoCase(param, L"start")) {
        m_nShellCommand = StartTheService;
    } else if (EqualNoCase(param, L"pause")) {
        m_nShellCommand = PauseService;
    } else if (EqualNoCase(param, L"continue")) {
        m_nShellCommand = ContinueService;
    } else if (EqualNoCase(param, L"stop")) {
        m_nShellCommand = StopService;
    } else if (EqualNoCase(param, L"auto")) {
        m_bAutoStart = TRUE;
    } else if (EqualNoCase(param, L"remove") || EqualNoCase(param, L"uninstall")) {
        m_nShellCommand = UninstallService;
    } else if (EqualNoCase(param, L"debug") || EqualNoCase(param, L"app") || EqualNoCase(param, L"application") ||
               EqualNoCase(param, L"console")) {
        m_nShellCommand = DebugService;
    } else if (EqualNoCase(param, L"help") || EqualNoCase(param, L"?")) {
        m_nShellCommand = ShowServiceHelp;
    } else {
        std::wstring text(param);
        std::wstring upper(text);
        for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
        // The prefix must start the switch and be followed by a value.
        auto value = [&](const wchar_t* prefix, std::wstring& out) {
            size_t n = wcslen(prefix);
            if (upper.size() <= n || upper.compare(0, n, prefix) != 0) return false;
            out = text.substr(n);
            return true;
        };
        std::wstring v;
        if (value(L"T:", v)) {
            m_dwTimeout = static_cast<DWORD>(wcstoul(v.c_str(), nullptr, 10));
        } else if (value(L"SCL:", v)) {
            m_sServiceCommandLine = v;
        } else if (value(L"SD:", v)) {
            m_sServiceDescription = v;
        } else if (value(L"SN:", v)) {
            m_sServiceName = v;
        } else if (value(L"SDN:", v)) {
            m_sServiceDisplayName = v;
        } else if (value(L"P:", v)) {
            SecureErase(m_sPassword);
            m_sPassword = v;
        } else if (value(L"U:", v)) {
            m_sUserName = v;
        }
        SecureErase(v);
        SecureErase(text);
        SecureErase(upper);
    }
}

// ---------------------------------------------------------------------------
// CNTService: construction

CNTService* CNTService::sm_pService = nullptr;

CNTService::CNTService() {
    sm_pService = this;

    m_sServiceName = m_sMasterServiceName = LoadResourceString(IDS_SERVICE_NAME);
    m_sDisplayName = m_sMasterDisplayName = LoadResourceString(IDS_SERVICE_DISPLAY_NAME);
    m_sDescription = m_sMasterDescription = LoadResourceString(IDS_SERVICE_DESCRIPTION);
    m_EventLogSource.SetSourceName(m_sDisplayName);

    // The extended control handler (session changes) and the extended
    // configuration are looked up by name, so that the program still runs
    // where ADVAPI32 lacks them.
    m_hAdvapi32.reset(LoadLibraryW(L"ADVAPI32.DLL"));
    if (m_hAdvapi32) {
        m_lpfnRegisterServiceCtrlHandlerEx = reinterpret_cast<RegisterHandlerExFn>(
            reinterpret_cast<void*>(GetProcAddress(m_hAdvapi32.get(), "RegisterServiceCtrlHandlerExW")));
        m_lpfnChangeServiceConfig2 = reinterpret_cast<ChangeServiceConfig2Fn>(
            reinterpret_cast<void*>(GetProcAddress(m_hAdvapi32.get(), "ChangeServiceConfig2W")));
    }
}

CNTService::~CNTService() {
    SecureErase(m_sPassword);
    if (sm_pService == this) sm_pService = nullptr;
}

// ---------------------------------------------------------------------------
// Parameters under SYSTEM\CurrentControlSet\Services\<name>\Parameters

std::wstring CNTService::ParametersKeyPath() const { return kServicesKey + m_sServiceName + L"\\Parameters"; }

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
        if (rc == ERROR_SUCCESS && m_bRegistryFlush) RegFlushKey(key.get());
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
        if (rc == ERROR_SUCCESS && m_bRegistryFlush) RegFlushKey(key.get());
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
        if (rc == ERROR_SUCCESS && m_bRegistryFlush) RegFlushKey(key.get());
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
// Command line

void bx::service::ParseArguments(CNTServiceCommandLineInfo& info, int argc, const LPWSTR* argv) {
    for (int i = 1; i < argc; ++i) {
        const wchar_t* param = argv[i];
        bool isSwitch = param[0] == L'-' || param[0] == L'/';
        if (isSwitch) ++param;
        info.ParseParam(param, isSwitch, i + 1 == argc);
    }
}

void CNTService::ParseCommandLine(CNTServiceCommandLineInfo& info) {
    int argc = 0;
    UniqueLocal args(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &argc)));
    if (!args) return;
    bx::service::ParseArguments(info, argc, static_cast<LPWSTR*>(args.get()));
}

DWORD CNTService::ProcessCommand(CNTServiceCommandLineInfo& info) {
    DWORD error = 0;

    if (m_bAllowNameChange && !info.m_sServiceName.empty()) m_sServiceName = info.m_sServiceName;
    if (m_bAllowDisplayNameChange && !info.m_sServiceDisplayName.empty()) {
        m_sDisplayName = info.m_sServiceDisplayName;
        m_EventLogSource.SetSourceName(m_sDisplayName);
    }
    if (m_bAllowDescriptionChange && !info.m_sServiceDescription.empty()) m_sDescription = info.m_sServiceDescription;

    switch (info.m_nShellCommand) {
        case CNTServiceCommandLineInfo::RunAsService:
            if (!RunDispatcher()) error = GetLastError();
            break;

        case CNTServiceCommandLineInfo::StartTheService:
        case CNTServiceCommandLineInfo::PauseService:
        case CNTServiceCommandLineInfo::ContinueService:
        case CNTServiceCommandLineInfo::StopService: {
            uint32_t operation = OpStart;
            UINT messageId = IDS_NTSERV_FAIL_START_SERVICE;
            switch (info.m_nShellCommand) {
                case CNTServiceCommandLineInfo::PauseService:
                    operation = OpPause;
                    messageId = IDS_NTSERV_FAIL_PAUSE_SERVICE;
                    break;
                case CNTServiceCommandLineInfo::ContinueService:
                    operation = OpContinue;
                    messageId = IDS_NTSERV_FAIL_CONTINUE_SERVICE;
                    break;
                case CNTServiceCommandLineInfo::StopService:
                    operation = OpStop;
                    messageId = IDS_NTSERV_FAIL_STOP_SERVICE;
                    break;
                default:
                    break;
            }
            if (!SetServiceToStatus(operation, error, info.m_dwTimeout, 250) && !info.m_bSilent)
                ShowMessage(FormatErrorMessage(messageId, error, FALSE));
            break;
        }

        case CNTServiceCommandLineInfo::InstallService: {
            std::wstring path = ModulePath();
            m_sBinaryPathName = path.find(L' ') != std::wstring::npos ? L"\"" + path + L"\"" : path;
            if (m_bAllowNameChange && !info.m_sServiceName.empty())
                m_sBinaryPathName += L" \"/SN:" + info.m_sServiceName + L"\"";
            if (m_bAllowDisplayNameChange && !info.m_sServiceDisplayName.empty())
                m_sBinaryPathName += L" \"/SDN:" + info.m_sServiceDisplayName + L"\"";
            if (m_bAllowDescriptionChange && !info.m_sServiceDescription.empty())
                m_sBinaryPathName += L" \"/SD:" + info.m_sServiceDescription + L"\"";
            if (m_bAllowCommandLine && !info.m_sServiceCommandLine.empty())
                m_sBinaryPathName += L" " + info.m_sServiceCommandLine;
            if (!info.m_sUserName.empty()) {
                m_sUserName = info.m_sUserName;
                SecureErase(info.m_sUserName);
            }
            if (!info.m_sPassword.empty()) {
                SecureErase(m_sPassword);
                m_sPassword = info.m_sPassword;
                SecureErase(info.m_sPassword);
            }
            if (info.m_bAutoStart) m_dwStartType = SERVICE_AUTO_START;
            std::wstring message;
            if (!Install(message, error) && !info.m_bSilent) ShowMessage(message);
            break;
        }

        case CNTServiceCommandLineInfo::UninstallService: {
            std::wstring message;
            if (!Uninstall(message, error, info.m_dwTimeout) && !info.m_bSilent) ShowMessage(message);
            break;
        }

        case CNTServiceCommandLineInfo::DebugService:
            try {
                RunInConsole();
            } catch (const CNTServiceTerminateException& e) {
                error = e.Win32ExitCode();
            }
            break;

        case CNTServiceCommandLineInfo::ShowServiceHelp:
            ShowHelp();
            break;

        default:  // NothingToDo
            break;
    }
    return error;
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
        CriticalSectionLock lock(m_csStatus);
        m_dwCurrentState = state;
        if (state == SERVICE_STOPPED) {
            m_dwCheckPoint = 0;
            m_dwWaitHint = 0;
            m_dwWin32ExitCode = win32ExitCode;
            m_dwServiceExitCode = serviceSpecificExitCode;
        } else if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
            m_dwCheckPoint = 0;
            m_dwWaitHint = 0;
            m_dwWin32ExitCode = 0;
            m_dwServiceExitCode = 0;
        } else {
            m_dwWin32ExitCode = 0;
            m_dwServiceExitCode = 0;
            if (checkPoint != kUnchanged) m_dwCheckPoint = checkPoint;
            if (waitHint != kUnchanged) m_dwWaitHint = waitHint;
        }
        if (controlsAccepted != kUnchanged) m_dwControlsAccepted = controlsAccepted;
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
    if (!m_hStatus) return FALSE;
    {
        CriticalSectionLock lock(m_csStatus);
        if (reReport && m_dwCurrentState == SERVICE_STOPPED) return FALSE;
        m_bStatusChanged = true;
        if (m_bSendingStatus) return TRUE;
        m_bSendingStatus = true;
    }
    BOOL sent = FALSE;
    for (;;) {
        SERVICE_STATUS status{};
        {
            CriticalSectionLock lock(m_csStatus);
            if (!m_bStatusChanged) {
                m_bSendingStatus = false;
                return sent;
            }
            m_bStatusChanged = false;
            status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
            status.dwCurrentState = m_dwCurrentState;
            status.dwControlsAccepted = IsPendingState(m_dwCurrentState) ? 0 : m_dwControlsAccepted;
            status.dwWin32ExitCode = m_dwWin32ExitCode;
            status.dwServiceSpecificExitCode = m_dwServiceExitCode;
            status.dwCheckPoint = m_dwCheckPoint;
            status.dwWaitHint = m_dwWaitHint;
        }
        sent = SetServiceStatus(m_hStatus, &status);
    }
}

BOOL CNTService::StatusSendInProgress() {
    CriticalSectionLock lock(m_csStatus);
    return m_bSendingStatus;
}

// ---------------------------------------------------------------------------
// Control handling

BOOL CNTService::RegisterHandler() {
    if (m_lpfnRegisterServiceCtrlHandlerEx)
        m_hStatus = m_lpfnRegisterServiceCtrlHandlerEx(m_sServiceName.c_str(), _ServiceCtrlHandlerEx, this);
    else
        m_hStatus = RegisterServiceCtrlHandlerW(m_sServiceName.c_str(), _ServiceCtrlHandler);
    return m_hStatus != nullptr;
}

void WINAPI CNTService::_ServiceCtrlHandler(DWORD control) {
    try {
        if (sm_pService) sm_pService->HandleControl(control, 0, nullptr);
    } catch (...) {
    }
}

DWORD WINAPI CNTService::_ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID /*context*/) {
    try {
        if (sm_pService) return sm_pService->HandleControl(control, eventType, eventData);
        return ERROR_CALL_NOT_IMPLEMENTED;
    } catch (...) {
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}

DWORD CNTService::HandleControl(DWORD control, DWORD eventType, LPVOID eventData) {
    if (control == m_dwIgnoredControl) return ERROR_CALL_NOT_IMPLEMENTED;

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

void CNTService::OnStop() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventStopped, m_sDisplayName.c_str()); }
void CNTService::OnPause() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventPaused, m_sDisplayName.c_str()); }
void CNTService::OnContinue() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventContinued, m_sDisplayName.c_str()); }
void CNTService::OnInterrogate() { ReportCurrentStatus(); }
void CNTService::OnShutdown() { WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventShutdown, m_sDisplayName.c_str()); }
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
    wcsncpy(name, m_sServiceName.c_str(), 255);
    name[255] = L'\0';
    SERVICE_TABLE_ENTRYW table[] = {{name, _ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table);
}

void WINAPI CNTService::_ServiceMain(DWORD argc, LPWSTR* argv) {
    if (sm_pService) sm_pService->ServiceMain(argc, argv);
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
    if (!m_hConsoleWorkDone) m_hConsoleWorkDone.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HandlerScope handler;
    DoneScope done(m_hConsoleWorkDone.get());
    ServiceRun(static_cast<DWORD>(kept.size() - 1), kept.data());
}

BOOL WINAPI CNTService::_ConsoleCtrlHandler(DWORD ctrlType) {
    try {
        return sm_pService ? sm_pService->ConsoleCtrlHandler(ctrlType) : FALSE;
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
            if (m_hConsoleWorkDone) WaitForSingleObject(m_hConsoleWorkDone.get(), kConsoleCloseWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

void CNTService::ShowHelp() {}

// ---------------------------------------------------------------------------
// Driving an installed service

BOOL CNTService::SetServiceToStatus(uint32_t operation, DWORD& error, DWORD timeout, DWORD pollInterval) {
    struct Step {
        DWORD targetState;
        DWORD rights;
        UINT failMessage;
        DWORD failEvent;
        DWORD control;
    };
    static const Step kSteps[] = {
        {SERVICE_RUNNING, SERVICE_START | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_START, kEventFailStart, 0},
        {SERVICE_PAUSED, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_PAUSE, kEventFailPause,
         SERVICE_CONTROL_PAUSE},
        {SERVICE_RUNNING, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_CONTINUE,
         kEventFailContinue, SERVICE_CONTROL_CONTINUE},
        {SERVICE_STOPPED, SERVICE_STOP | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_STOP, kEventFailStop,
         SERVICE_CONTROL_STOP},
    };
    error = 0;
    if (operation > OpStop) {
        error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const Step& step = kSteps[operation];

    UniqueScHandle scm(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!scm) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_OPENSCM, error, kEventFailConnectScm);
        return FALSE;
    }
    UniqueScHandle service(OpenServiceW(scm.get(), m_sServiceName.c_str(), step.rights));
    if (!service) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_OPENSERVICE, error, kEventFailOpenService);
        return FALSE;
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_QUERY_STATUS, error, kEventFailQueryStatus);
        return FALSE;
    }
    if (status.dwCurrentState == step.targetState) return TRUE;

    BOOL sent = operation == OpStart ? StartServiceW(service.get(), 0, nullptr)
                                     : ControlService(service.get(), step.control, &status);
    if (!sent) {
        error = GetLastError();
        // A control can do its work and lose only its answer: a service that
        // stops at once may end its process before its dispatcher has
        // answered (Wine then fails the control with 109). The state the
        // service is in is what was asked for.
        if (operation != OpStart && QueryServiceStatus(service.get(), &status) &&
            status.dwCurrentState == step.targetState) {
            error = 0;
            return TRUE;
        }
        if (operation == OpStop) {
            ReportFailure(step.failMessage, error, 0);
            WriteEvent(EVENTLOG_ERROR_TYPE, step.failEvent, Decimal(error).c_str());
        } else {
            ReportFailure(step.failMessage, error, step.failEvent);
        }
        return FALSE;
    }

    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!QueryServiceStatus(service.get(), &status)) {
            error = GetLastError();
            ReportFailure(IDS_NTSERV_STATUS_FAIL_QUERY_STATUS, error, kEventFailQueryStatus);
            return FALSE;
        }
        if (status.dwCurrentState == step.targetState) return TRUE;
        if (TimedOut(start, timeout)) {
            error = ERROR_TIMEOUT;
            ReportFailure(IDS_NTSERV_STATUS_FAIL_WAIT_FOR_STATE, error, 0);
            WriteEvent(EVENTLOG_ERROR_TYPE, kEventFailWaitForState,
                       FormatErrorMessage(IDS_NTSERV_STATUS_FAIL_WAIT_FOR_STATE, error, TRUE).c_str(),
                       Decimal(step.targetState).c_str());
            return FALSE;
        }
        Sleep(pollInterval);
    }
}

// ---------------------------------------------------------------------------
// Install and uninstall

BOOL CNTService::Install(std::wstring& message, DWORD& error) {
    error = 0;
    auto fail = [&](UINT messageId, DWORD code) {
        error = code;
        message = FormatErrorMessage(messageId, code, FALSE);
        return FALSE;
    };

    UniqueScHandle scm(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK));
    if (!scm) return fail(IDS_NTSERV_INSTALL_FAIL_OPENSCM, GetLastError());
    UniqueScLock lock(LockServiceDatabase(scm.get()));
    if (!lock) return fail(IDS_NTSERV_INSTALL_FAIL_LOCKSCM, GetLastError());

    std::vector<wchar_t> dependencies = GetDependencies();
    UniqueScHandle service(CreateServiceW(
        scm.get(), m_sServiceName.c_str(), m_sDisplayName.c_str(), SERVICE_ALL_ACCESS, m_dwServiceType, m_dwStartType,
        m_dwErrorControl, m_sBinaryPathName.c_str(), m_sLoadOrderGroup.empty() ? nullptr : m_sLoadOrderGroup.c_str(),
        nullptr, dependencies.empty() ? nullptr : dependencies.data(),
        m_sUserName.empty() ? nullptr : m_sUserName.c_str(), m_sPassword.empty() ? nullptr : m_sPassword.c_str()));
    DWORD createError = service ? 0 : GetLastError();
    SecureErase(m_sUserName);
    SecureErase(m_sPassword);
    if (!service) return fail(IDS_NTSERV_INSTALL_FAIL_CREATESERVICE, createError);

    ChangeServiceConfig2Fn changeConfig2 = m_lpfnChangeServiceConfig2;
    // Recovery: restart after a minute, three times; the count resets daily.
    if (changeConfig2) {
        SC_ACTION actions[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
        SERVICE_FAILURE_ACTIONSW failureActions{};
        failureActions.dwResetPeriod = 86400;
        failureActions.cActions = 3;
        failureActions.lpsaActions = actions;
        changeConfig2(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
    }

    if (m_bEventLogSource) {
        if (m_sEventMessageFile.empty()) {
            std::wstring path = ModulePath();
            size_t slash = path.find_last_of(L"\\/:");
            size_t dot = path.find_last_of(L'.');
            if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.erase(dot);
            m_sEventMessageFile = path + L".DLL";
        }
        DWORD rc = CEventLogSource::Install(
            m_EventLogSource.LogName(), m_EventLogSource.SourceName(), m_sEventMessageFile,
            EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE, m_bRegistryFlush != FALSE);
        if (rc != 0) return fail(IDS_NTSERV_INSTALL_FAIL_INSTALL_AS_EVENT_LOG, rc);
    }

    if (!m_sDescription.empty() && changeConfig2) {
        SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(m_sDescription.c_str())};
        changeConfig2(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    }

    WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventInstalled, m_sDisplayName.c_str());

    // Service handle, database lock and SCM handle close in this order.
    service.reset();
    lock.reset();
    scm.reset();
    return TRUE;
}

BOOL CNTService::Uninstall(std::wstring& message, DWORD& error, DWORD timeout) {
    error = 0;
    auto fail = [&](UINT messageId, DWORD code, DWORD eventId) {
        error = code;
        message = FormatErrorMessage(messageId, code, FALSE);
        if (eventId) WriteEvent(EVENTLOG_ERROR_TYPE, eventId, FormatErrorMessage(messageId, code, TRUE).c_str());
        return FALSE;
    };

    UniqueScHandle scm(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!scm) return fail(IDS_NTSERV_UNINSTALL_FAIL_OPENSCM, GetLastError(), kEventFailConnectScm);
    UniqueScHandle service(
        OpenServiceW(scm.get(), m_sServiceName.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return fail(IDS_NTSERV_UNINSTALL_FAIL_OPENSERVICE, GetLastError(), kEventFailOpenService);

    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            ReportFailure(IDS_NTSERV_UNINSTALL_FAIL_STOP_SERVICE, GetLastError(), 0);  // not fatal
        ULONGLONG start = GetTickCount64();
        while (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            if (TimedOut(start, timeout)) return fail(IDS_NTSERV_UNINSTALL_FAIL_WAIT_FOR_STOP, ERROR_TIMEOUT, 0);
            Sleep(250);
        }
    }

    if (!DeleteService(service.get()))
        return fail(IDS_NTSERV_UNINSTALL_FAIL_DELETESERVICE, GetLastError(), kEventFailDeleteService);

    if (m_bEventLogSource) {
        DWORD rc = CEventLogSource::Uninstall(m_EventLogSource.LogName(), m_EventLogSource.SourceName(),
                                              m_bRegistryFlush != FALSE);
        if (rc != 0) return fail(IDS_NTSERV_UNINSTALL_FAIL_UNINSTALL_AS_EVENT_LOG, rc, 0);
    }
    return TRUE;
}

BOOL CNTService::EnumerateInstances(std::vector<std::wstring>& serviceNames, DWORD& error) {
    error = 0;
    serviceNames.clear();
    UniqueScHandle scm(
        OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!scm) {
        error = GetLastError();
        return FALSE;
    }
    std::wstring self = ModulePath();
    for (auto& c : self) c = static_cast<wchar_t>(std::towupper(c));

    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                              &count, &resume, nullptr);
        DWORD rc = GetLastError();
        if (rc != ERROR_MORE_DATA) {
            if (rc == ERROR_SUCCESS || needed == 0) return TRUE;
            error = rc;
            return FALSE;
        }
        std::vector<BYTE> buffer(needed);
        BOOL ok = EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                        buffer.data(), needed, &needed, &count, &resume, nullptr);
        rc = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && rc != ERROR_MORE_DATA) {
            error = rc;
            return FALSE;
        }
        auto* entries = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            UniqueScHandle service(OpenServiceW(scm.get(), entries[i].lpServiceName, SERVICE_QUERY_CONFIG));
            if (!service) continue;
            DWORD size = 0;
            QueryServiceConfigW(service.get(), nullptr, 0, &size);
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
            std::vector<BYTE> config(size);
            auto* qsc = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
            if (!QueryServiceConfigW(service.get(), qsc, size, &size) || !qsc->lpBinaryPathName) continue;
            std::wstring binary(qsc->lpBinaryPathName);
            for (auto& c : binary) c = static_cast<wchar_t>(std::towupper(c));
            if (binary.find(self) != std::wstring::npos) serviceNames.emplace_back(entries[i].lpServiceName);
        }
        if (ok) return TRUE;
    }
}

// ---------------------------------------------------------------------------
// Messages

UINT CNTService::MapStringID(UINT id) { return id; }
DWORD CNTService::MapEventID(DWORD id) { return id; }

std::wstring CNTService::LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), MapStringID(id), reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

std::wstring CNTService::GetErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    UniqueLocal owner(reinterpret_cast<HLOCAL>(text));
    std::wstring result = n && text ? std::wstring(text, n) : std::wstring();
    // System texts end with a line break: the messages carry them inline.
    while (!result.empty() && std::iswspace(result.back())) result.pop_back();
    return result;
}

std::wstring CNTService::FillMessage(const std::wstring& message, const std::wstring& insert1,
                                     const std::wstring& insert2) {
    std::wstring out;
    out.reserve(message.size() + insert1.size() + insert2.size());
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == L'%' && i + 1 < message.size() && (message[i + 1] == L'1' || message[i + 1] == L'2')) {
            out += message[i + 1] == L'1' ? insert1 : insert2;
            ++i;
        } else {
            out += message[i];
        }
    }
    return out;
}

std::wstring CNTService::FormatErrorMessage(UINT messageId, DWORD error, BOOL eventLog) {
    DWORD style = eventLog ? m_dwEventLogErrorStyle : m_dwDisplayErrorStyle;
    std::wstring code = Decimal(error);
    switch (style) {
        case StyleCodeAndText:
            return FillMessage(LoadResourceString(IDS_NTSERV_ERROR_WITH_TEXT), code, GetErrorText(error));
        case StyleSystemText:
            return GetErrorText(error);
        case StyleMessageWithCode:
            return FillMessage(LoadResourceString(messageId), code);
        case StyleMessageWithCodeAndText:
            return FillMessage(LoadResourceString(messageId),
                               FillMessage(LoadResourceString(IDS_NTSERV_ERROR_WITH_TEXT), code, GetErrorText(error)));
        case StyleMessageWithSystemText:
            return FillMessage(LoadResourceString(messageId), GetErrorText(error));
        case StyleErrorCode:
        default:
            return code;
    }
}

void CNTService::ReportFailure(UINT messageId, DWORD error, DWORD eventId) {
    std::wstring text = FormatErrorMessage(messageId, error, FALSE) + L"\n";
    OutputDebugStringW(text.c_str());
    if (eventId) WriteEvent(EVENTLOG_ERROR_TYPE, eventId, FormatErrorMessage(messageId, error, TRUE).c_str());
}

void CNTService::WriteEvent(WORD type, DWORD eventId, const wchar_t* string1, const wchar_t* string2) {
    if (!m_bEventLogSource) return;
    const wchar_t* strings[2] = {string1, string2};
    WORD count = string2 ? 2 : (string1 ? 1 : 0);
    m_EventLogSource.Report(type, MapEventID(eventId), strings, count);
}

void CNTService::ShowMessage(const std::wstring& text) {
    if (m_bUseConsole)
        WriteStdout(text);
    else
        MessageBoxW(nullptr, text.c_str(), m_sDisplayName.c_str(), MB_OK | MB_ICONSTOP | MB_SERVICE_NOTIFICATION);
}

void CNTService::WriteStdout(const std::wstring& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    std::wstring line = text + L"\n";
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (!codePage) codePage = CP_ACP;
    int bytes =
        WideCharToMultiByte(codePage, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, line.c_str(), static_cast<int>(line.size()), &narrow[0], bytes, nullptr, nullptr);
    WriteFile(out, narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

std::wstring CNTService::ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<wchar_t> CNTService::GetDependencies() {
    std::vector<wchar_t> list;
    for (const auto& dependency : m_sDependencies) {
        if (dependency.empty()) continue;
        list.insert(list.end(), dependency.begin(), dependency.end());
        list.push_back(L'\0');
    }
    if (!list.empty()) list.push_back(L'\0');
    return list;
}
