// The service framework's command line (parse, process) and the side that
// drives the SCM: start, pause, continue or stop an installed service and wait
// for its state; install, remove, enumerate.
#include "agent/service/nt_service.h"

#include <shellapi.h>

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
// CNTServiceCommandLineInfo

CNTServiceCommandLineInfo::CNTServiceCommandLineInfo() = default;

CNTServiceCommandLineInfo::~CNTServiceCommandLineInfo() { SecureErase(password_); }

void CNTServiceCommandLineInfo::ParseParam(const wchar_t* param, bool isSwitch, bool /*isLast*/) {
    if (!isSwitch || !param) return;

    if (EqualNoCase(param, L"install")) {
        shellCommand_ = InstallService;
    } else if (EqualNoCase(param, L"silent")) {
        silent_ = TRUE;
    } else if (EqualNoCase(param, L"start")) {
        shellCommand_ = StartTheService;
    } else if (EqualNoCase(param, L"pause")) {
        shellCommand_ = PauseService;
    } else if (EqualNoCase(param, L"continue")) {
        shellCommand_ = ContinueService;
    } else if (EqualNoCase(param, L"stop")) {
        shellCommand_ = StopService;
    } else if (EqualNoCase(param, L"auto")) {
        autoStart_ = TRUE;
    } else if (EqualNoCase(param, L"remove") || EqualNoCase(param, L"uninstall")) {
        shellCommand_ = UninstallService;
    } else if (EqualNoCase(param, L"debug") || EqualNoCase(param, L"app") || EqualNoCase(param, L"application") ||
               EqualNoCase(param, L"console")) {
        shellCommand_ = DebugService;
    } else if (EqualNoCase(param, L"help") || EqualNoCase(param, L"?")) {
        shellCommand_ = ShowServiceHelp;
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
            timeout_ = static_cast<DWORD>(wcstoul(v.c_str(), nullptr, 10));
        } else if (value(L"SCL:", v)) {
            serviceCommandLine_ = v;
        } else if (value(L"SD:", v)) {
            serviceDescription_ = v;
        } else if (value(L"SN:", v)) {
            serviceName_ = v;
        } else if (value(L"SDN:", v)) {
            serviceDisplayName_ = v;
        } else if (value(L"P:", v)) {
            SecureErase(password_);
            password_ = v;
        } else if (value(L"U:", v)) {
            userName_ = v;
        }
        SecureErase(v);
        SecureErase(text);
        SecureErase(upper);
    }
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

void CNTService::ApplyNameSwitches(const CNTServiceCommandLineInfo& info) {
    if (allowNameChange_ && !info.serviceName_.empty()) serviceName_ = info.serviceName_;
    if (allowDisplayNameChange_ && !info.serviceDisplayName_.empty()) {
        displayName_ = info.serviceDisplayName_;
        eventLogSource_.SetSourceName(displayName_);
    }
    if (allowDescriptionChange_ && !info.serviceDescription_.empty()) description_ = info.serviceDescription_;
}

// Start, pause, continue or stop: drives the installed service to the state
// and shows why it failed (unless silent).
DWORD CNTService::DriveToState(const CNTServiceCommandLineInfo& info) {
    uint32_t operation = OpStart;
    UINT messageId = IDS_NTSERV_FAIL_START_SERVICE;
    switch (info.shellCommand_) {
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
    DWORD error = 0;
    if (!SetServiceToStatus(operation, error, info.timeout_, 250) && !info.silent_)
        ShowMessage(FormatErrorMessage(messageId, error, FALSE));
    return error;
}

// The binary path with the switches that reach the installed service, the
// account (taken out of the command line) and the start type.
void CNTService::PrepareInstall(CNTServiceCommandLineInfo& info) {
    std::wstring path = ModulePath();
    binaryPathName_ = path.find(L' ') != std::wstring::npos ? L"\"" + path + L"\"" : path;
    if (allowNameChange_ && !info.serviceName_.empty()) binaryPathName_ += L" \"/SN:" + info.serviceName_ + L"\"";
    if (allowDisplayNameChange_ && !info.serviceDisplayName_.empty())
        binaryPathName_ += L" \"/SDN:" + info.serviceDisplayName_ + L"\"";
    if (allowDescriptionChange_ && !info.serviceDescription_.empty())
        binaryPathName_ += L" \"/SD:" + info.serviceDescription_ + L"\"";
    if (allowCommandLine_ && !info.serviceCommandLine_.empty()) binaryPathName_ += L" " + info.serviceCommandLine_;
    if (!info.userName_.empty()) {
        userName_ = info.userName_;
        SecureErase(info.userName_);
    }
    if (!info.password_.empty()) {
        SecureErase(password_);
        password_ = info.password_;
        SecureErase(info.password_);
    }
    if (info.autoStart_) startType_ = SERVICE_AUTO_START;
}

DWORD CNTService::ProcessCommand(CNTServiceCommandLineInfo& info) {
    ApplyNameSwitches(info);
    DWORD error = 0;
    switch (info.shellCommand_) {
        case CNTServiceCommandLineInfo::RunAsService:
            if (!RunDispatcher()) error = GetLastError();
            break;

        case CNTServiceCommandLineInfo::StartTheService:
        case CNTServiceCommandLineInfo::PauseService:
        case CNTServiceCommandLineInfo::ContinueService:
        case CNTServiceCommandLineInfo::StopService:
            error = DriveToState(info);
            break;

        case CNTServiceCommandLineInfo::InstallService: {
            PrepareInstall(info);
            std::wstring message;
            if (!Install(message, error) && !info.silent_) ShowMessage(message);
            break;
        }

        case CNTServiceCommandLineInfo::UninstallService: {
            std::wstring message;
            if (!Uninstall(message, error, info.timeout_) && !info.silent_) ShowMessage(message);
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
// Driving an installed service

namespace {

// What each operation of SetServiceToStatus needs and reports.
struct OperationStep {
    DWORD targetState;
    DWORD rights;
    UINT failMessage;
    DWORD failEvent;
    DWORD control;
};

const OperationStep& OperationOf(uint32_t operation) {
    static const OperationStep kOperations[] = {
        {SERVICE_RUNNING, SERVICE_START | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_START, kEventFailStart, 0},
        {SERVICE_PAUSED, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_PAUSE, kEventFailPause,
         SERVICE_CONTROL_PAUSE},
        {SERVICE_RUNNING, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_CONTINUE,
         kEventFailContinue, SERVICE_CONTROL_CONTINUE},
        {SERVICE_STOPPED, SERVICE_STOP | SERVICE_QUERY_STATUS, IDS_NTSERV_STATUS_FAIL_STOP, kEventFailStop,
         SERVICE_CONTROL_STOP},
    };
    return kOperations[operation];
}

}  // namespace

BOOL CNTService::OpenForOperation(uint32_t operation, UniqueScHandle& scm, UniqueScHandle& service, DWORD& error) {
    scm.reset(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!scm) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_OPENSCM, error, kEventFailConnectScm);
        return FALSE;
    }
    service.reset(OpenServiceW(scm.get(), serviceName_.c_str(), OperationOf(operation).rights));
    if (!service) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_OPENSERVICE, error, kEventFailOpenService);
        return FALSE;
    }
    return TRUE;
}

BOOL CNTService::SendOperation(uint32_t operation, SC_HANDLE service, DWORD& error, bool& reached) {
    reached = false;
    const OperationStep& step = OperationOf(operation);
    SERVICE_STATUS status{};
    BOOL sent =
        operation == OpStart ? StartServiceW(service, 0, nullptr) : ControlService(service, step.control, &status);
    if (sent) return TRUE;
    error = GetLastError();
    // A control can do its work and lose only its answer: a service that
    // stops at once may end its process before its dispatcher has answered
    // (Wine then fails the control with 109). The state the service is in is
    // what was asked for.
    if (operation != OpStart && QueryServiceStatus(service, &status) && status.dwCurrentState == step.targetState) {
        error = 0;
        reached = true;
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

BOOL CNTService::WaitForOperationState(uint32_t operation, SC_HANDLE service, DWORD timeout, DWORD pollInterval,
                                       DWORD& error) {
    const DWORD targetState = OperationOf(operation).targetState;
    SERVICE_STATUS status{};
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!QueryServiceStatus(service, &status)) {
            error = GetLastError();
            ReportFailure(IDS_NTSERV_STATUS_FAIL_QUERY_STATUS, error, kEventFailQueryStatus);
            return FALSE;
        }
        if (status.dwCurrentState == targetState) return TRUE;
        if (TimedOut(start, timeout)) {
            error = ERROR_TIMEOUT;
            ReportFailure(IDS_NTSERV_STATUS_FAIL_WAIT_FOR_STATE, error, 0);
            WriteEvent(EVENTLOG_ERROR_TYPE, kEventFailWaitForState,
                       FormatErrorMessage(IDS_NTSERV_STATUS_FAIL_WAIT_FOR_STATE, error, TRUE).c_str(),
                       Decimal(targetState).c_str());
            return FALSE;
        }
        Sleep(pollInterval);
    }
}

BOOL CNTService::SetServiceToStatus(uint32_t operation, DWORD& error, DWORD timeout, DWORD pollInterval) {
    error = 0;
    if (operation > OpStop) {
        error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    UniqueScHandle scm, service;
    if (!OpenForOperation(operation, scm, service, error)) return FALSE;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
        error = GetLastError();
        ReportFailure(IDS_NTSERV_STATUS_FAIL_QUERY_STATUS, error, kEventFailQueryStatus);
        return FALSE;
    }
    if (status.dwCurrentState == OperationOf(operation).targetState) return TRUE;
    bool reached = false;
    if (!SendOperation(operation, service.get(), error, reached)) return FALSE;
    if (reached) return TRUE;
    return WaitForOperationState(operation, service.get(), timeout, pollInterval, error);
}

// ---------------------------------------------------------------------------
// Install and uninstall

// Recovery: restart after a minute, three times; the count resets daily. The
// actions apply to a crash and also to a stop with an error (a start-up that
// gave up), not only to a process that ended without reporting stopped.
void CNTService::SetRecoveryActions(SC_HANDLE service) {
    if (!changeServiceConfig2_) return;
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 86400;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    changeServiceConfig2_(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
    SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
    changeServiceConfig2_(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
}

// The program registers as its own event source; the message file defaults
// to the program's path with ".DLL" for its extension. 0 or the error.
DWORD CNTService::RegisterEventLogSource() {
    if (eventMessageFile_.empty()) {
        std::wstring path = ModulePath();
        size_t slash = path.find_last_of(L"\\/:");
        size_t dot = path.find_last_of(L'.');
        if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) path.erase(dot);
        eventMessageFile_ = path + L".DLL";
    }
    return CEventLogSource::Install(eventLogSource_.LogName(), eventLogSource_.SourceName(), eventMessageFile_,
                                    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE,
                                    registryFlush_ != FALSE);
}

void CNTService::SetDescription(SC_HANDLE service) {
    if (description_.empty() || !changeServiceConfig2_) return;
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(description_.c_str())};
    changeServiceConfig2_(service, SERVICE_CONFIG_DESCRIPTION, &description);
}

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
        scm.get(), serviceName_.c_str(), displayName_.c_str(), SERVICE_ALL_ACCESS, serviceType_, startType_,
        errorControl_, binaryPathName_.c_str(), loadOrderGroup_.empty() ? nullptr : loadOrderGroup_.c_str(), nullptr,
        dependencies.empty() ? nullptr : dependencies.data(), userName_.empty() ? nullptr : userName_.c_str(),
        password_.empty() ? nullptr : password_.c_str()));
    DWORD createError = service ? 0 : GetLastError();
    SecureErase(userName_);
    SecureErase(password_);
    if (!service) return fail(IDS_NTSERV_INSTALL_FAIL_CREATESERVICE, createError);

    SetRecoveryActions(service.get());
    if (eventLoggingOn_) {
        if (DWORD rc = RegisterEventLogSource()) return fail(IDS_NTSERV_INSTALL_FAIL_INSTALL_AS_EVENT_LOG, rc);
    }
    SetDescription(service.get());
    WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventInstalled, displayName_.c_str());

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
    UniqueScHandle service(OpenServiceW(scm.get(), serviceName_.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
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

    if (eventLoggingOn_) {
        DWORD rc = CEventLogSource::Uninstall(eventLogSource_.LogName(), eventLogSource_.SourceName(),
                                              registryFlush_ != FALSE);
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

std::vector<wchar_t> CNTService::GetDependencies() {
    std::vector<wchar_t> list;
    for (const auto& dependency : dependencies_) {
        if (dependency.empty()) continue;
        list.insert(list.end(), dependency.begin(), dependency.end());
        list.push_back(L'\0');
    }
    if (!list.empty()) list.push_back(L'\0');
    return list;
}
