#include "agent/program/maintenance_options.h"

#include <shellapi.h>

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
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
            show(kRestartNotRunning, MB_ICONINFORMATION);
        else
            show(kRestartFailed, MB_ICONERROR);
        return;
    }
    for (int poll = 0; poll < kStopPolls; ++poll) {
        if (!QueryServiceStatus(service.get(), &status)) {
            show(kRestartFailed, MB_ICONERROR);
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(kStopPollMs);
    }
    if (StartServiceW(service.get(), 0, nullptr))
        show(kRestartDone, MB_ICONINFORMATION);
    else
        show(kRestartFailed, MB_ICONERROR);
}

}  // namespace bx::program
