#include "agent/program/maintenance_options.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>

#include "agent/service/nt_service.h"
#include "platform/win/handles.h"

namespace bx::program {

namespace {

using bx::win::UniqueHandle;
using bx::win::UniqueScHandle;

// "OpenSCManager failed (%d)\n" on standard output, 8-bit text.
void ReportNoScm(DWORD error) {
    std::printf("OpenSCManager failed (%d)\n", static_cast<int>(error));
    std::fflush(stdout);
}

// The executable's path, as the service entry registers it: quoted when it
// holds a space, so that the SCM cannot run a program found at a shorter
// prefix of it ("C:\Program.exe" for "C:\Program Files\...").
bool ServiceBinaryPath(std::wstring& path) {
    path = CNTService::ModulePath();
    if (path.empty()) return false;
    if (path.find(L' ') != std::wstring::npos) path = L"\"" + path + L"\"";
    return true;
}

}  // namespace

bool SetNamedEvent(const wchar_t* name) {
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
    if (!event) return false;
    SetEvent(event.get());
    return true;
}

bool ProgramArguments(std::vector<std::wstring>& arguments) {
    int count = 0;
    bx::win::UniqueLocal argv(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &count)));
    if (!argv) return false;
    LPWSTR* list = static_cast<LPWSTR*>(argv.get());
    arguments.assign(list + (count > 0 ? 1 : 0), list + count);
    return true;
}

void InstallPlainServiceEntry() {
    std::wstring path;
    if (!ServiceBinaryPath(path)) return;
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        ReportNoScm(GetLastError());
        return;
    }
    UniqueScHandle service(CreateServiceW(scm.get(), kPlainServiceName, kPlainServiceDisplayName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) StartServiceW(service.get(), 0, nullptr);
}

void RemovePlainServiceEntry() {
    std::wstring path;
    if (!ServiceBinaryPath(path)) return;
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        ReportNoScm(GetLastError());
        return;
    }
    UniqueScHandle service(OpenServiceW(scm.get(), kPlainServiceName, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    // A service that is stopped already, or refuses the stop control, stays.
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return;
    for (int poll = 0;; ++poll) {
        if (!QueryServiceStatus(service.get(), &status)) return;  // no state: not deleted
        if (status.dwCurrentState == SERVICE_STOPPED || poll == kStopPolls) break;
        Sleep(kStopPollMs);
    }
    DeleteService(service.get());
}

void ShowResultBox(const wchar_t* text, UINT icon) {
    std::wstring caption = CNTService::ModulePath();
    size_t slash = caption.rfind(L'\\');
    if (slash != std::wstring::npos) caption.erase(0, slash + 1);
    size_t dot = caption.rfind(L'.');
    if (dot != std::wstring::npos) caption.erase(dot);
    MessageBoxW(nullptr, text, caption.c_str(), MB_OK | icon);
}

namespace {

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed) != FALSE;
}

std::wstring Seconds(ULONGLONG ms) { return std::to_wstring((ms + 999) / 1000); }

}  // namespace

bool WaitWhilePending(SC_HANDLE service, DWORD pending, SERVICE_STATUS_PROCESS& status, ULONGLONG& waitedMs) {
    const ULONGLONG start = GetTickCount64();
    // Right after the stop control a service may still say "running" until
    // its own thread reports stop pending: that counts as pending too.
    auto stillPending = [&] {
        return status.dwCurrentState == pending ||
               (pending == SERVICE_STOP_PENDING && status.dwCurrentState == SERVICE_RUNNING);
    };
    ULONGLONG since = start;
    DWORD state = status.dwCurrentState, checkPoint = status.dwCheckPoint;
    while (stillPending()) {
        const DWORD hint = status.dwWaitHint != 0 ? status.dwWaitHint : kNoWaitHintMs;
        Sleep(std::min<DWORD>(std::max<DWORD>(hint / 10, kMinPendingPollMs), kMaxPendingPollMs));
        if (!Query(service, status)) return false;
        const ULONGLONG now = GetTickCount64();
        waitedMs = now - start;
        if (status.dwCurrentState != state || status.dwCheckPoint != checkPoint) {
            // Progress: the service's own wait hint counts again from here.
            state = status.dwCurrentState;
            checkPoint = status.dwCheckPoint;
            since = now;
        } else if (now - since > hint || waitedMs > kMaxPendingWaitMs) {
            break;  // no progress within the hint (or far too long): still pending
        }
    }
    waitedMs = GetTickCount64() - start;
    return true;
}

void RestartAgentService(const ShowResult& show) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        show(kRestartNoScm, MB_ICONERROR);
        return;
    }
    UniqueScHandle service(OpenServiceW(scm.get(), kAgentServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        show(kRestartNoService, MB_ICONERROR);
        return;
    }
    auto failed = [&](const std::wstring& why) {
        show((std::wstring(kRestartFailed) + L"\n" + why).c_str(), MB_ICONERROR);
    };
    auto queryFailed = [&] {
        const DWORD error = GetLastError();
        failed(L"Its state could not be read (Error " + std::to_wstring(error) + L").");
    };
    SERVICE_STATUS_PROCESS status{};
    ULONGLONG waited = 0;
    if (!Query(service.get(), status)) return queryFailed();
    // A service still starting takes no control yet: it is let finish first.
    if (status.dwCurrentState == SERVICE_START_PENDING &&
        !WaitWhilePending(service.get(), SERVICE_START_PENDING, status, waited))
        return queryFailed();

    SERVICE_STATUS stopStatus{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &stopStatus)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE) {
            show(kRestartNotRunning, MB_ICONINFORMATION);
            return;
        }
        if (!Query(service.get(), status)) return queryFailed();
        // Stopping already (another stop came first): wait for it as for ours.
        if (!(error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING)) {
            if (status.dwCurrentState == SERVICE_START_PENDING)
                return failed(L"It was still starting after " + Seconds(waited) + L" s and took no stop.");
            return failed(L"It refused the stop (Error " + std::to_wstring(error) + L").");
        }
    } else if (!Query(service.get(), status)) {
        return queryFailed();
    }
    if (!WaitWhilePending(service.get(), SERVICE_STOP_PENDING, status, waited)) return queryFailed();
    if (status.dwCurrentState != SERVICE_STOPPED)
        return failed(L"It did not stop within " + Seconds(waited) +
                      L" s, longer than it said it would take; it was not started again.");

    if (!StartServiceW(service.get(), 0, nullptr)) {
        const DWORD error = GetLastError();
        return failed(L"It stopped but did not start again (Error " + std::to_wstring(error) + L").");
    }
    if (!Query(service.get(), status) || !WaitWhilePending(service.get(), SERVICE_START_PENDING, status, waited))
        return queryFailed();
    if (status.dwCurrentState == SERVICE_RUNNING) {
        show(kRestartDone, MB_ICONINFORMATION);
        return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED)
        return failed(L"It stopped again while starting (exit code " + std::to_wstring(status.dwWin32ExitCode) + L").");
    failed(L"It did not report running within " + Seconds(waited) + L" s.");
}

}  // namespace bx::program
