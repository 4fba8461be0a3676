#include "sim/snoopctl/driver_service.h"

#include <utility>

#include "platform/win/handles.h"

namespace bx::sim {
namespace {

constexpr DWORD kServiceWaitMs = 10000;
constexpr DWORD kPollMs = 50;

uint32_t Fail(DriverFailure& failure, const wchar_t* step, DWORD error) {
    failure.step = step;
    failure.error = error;
    return error;
}

// Waits until the service reaches state (or stops, when waiting to run).
uint32_t WaitForState(SC_HANDLE service, DWORD state, SERVICE_STATUS& status, DriverFailure& failure) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!QueryServiceStatus(service, &status)) return Fail(failure, L"QueryServiceStatus", GetLastError());
        if (status.dwCurrentState == state) return 0;
        if (state == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOPPED) {
            DWORD code = status.dwWin32ExitCode ? status.dwWin32ExitCode : ERROR_SERVICE_NEVER_STARTED;
            return Fail(failure, L"the driver service stopped while starting; StartServiceW", code);
        }
        if (GetTickCount64() - start >= kServiceWaitMs)
            return Fail(failure,
                        state == SERVICE_RUNNING ? L"waiting for the driver service to run"
                                                 : L"waiting for the driver service to stop",
                        ERROR_SERVICE_REQUEST_TIMEOUT);
        Sleep(kPollMs);
    }
}

uint32_t StopService(SC_HANDLE service, DriverFailure& failure) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) return Fail(failure, L"QueryServiceStatus", GetLastError());
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) return Fail(failure, L"ControlService(stop)", error);
        return 0;
    }
    return WaitForState(service, SERVICE_STOPPED, status, failure);
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::wstring full(size, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(length < size ? length : 0);
    return full.empty() ? path : full;
}

}  // namespace

std::wstring InstalledDriverPath() {
    wchar_t path[MAX_PATH];
    DWORD length = ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\drivers\\" SNOOP_DRIVER_FILE, path, MAX_PATH);
    if (length == 0 || length > MAX_PATH) return L"C:\\windows\\system32\\drivers\\" SNOOP_DRIVER_FILE;
    return path;
}

uint32_t LoadDriverService(const std::wstring& sysPath, DriverFailure& failure) {
    if (GetFileAttributesW(sysPath.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(failure, (L"finding the driver file " + sysPath).c_str(), GetLastError());

    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return Fail(failure, L"OpenSCManagerW", GetLastError());

    bx::win::UniqueScHandle service(OpenServiceW(scm.get(), SNOOP_SERVICE_NAME, SERVICE_ALL_ACCESS));
    if (!service) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) return Fail(failure, L"OpenServiceW(bxhvnd)", error);
    } else if (uint32_t error = StopService(service.get(), failure)) {
        return error;
    }

    const std::wstring installed = InstalledDriverPath();
    if (_wcsicmp(FullPath(sysPath).c_str(), FullPath(installed).c_str()) != 0 &&
        !CopyFileW(sysPath.c_str(), installed.c_str(), FALSE)) {
        return Fail(failure, (L"CopyFileW to " + installed).c_str(), GetLastError());
    }

    // The binary path as the product's installer writes it: unexpanded.
    const wchar_t* binaryPath = L"%SystemRoot%\\system32\\drivers\\" SNOOP_DRIVER_FILE;
    if (!service) {
        service.reset(CreateServiceW(scm.get(), SNOOP_SERVICE_NAME, L"Brontavex Halvern (stand-in)", SERVICE_ALL_ACCESS,
                                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath,
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!service) return Fail(failure, L"CreateServiceW(bxhvnd)", GetLastError());
    } else if (!ChangeServiceConfigW(service.get(), SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     L"Brontavex Halvern (stand-in)")) {
        return Fail(failure, L"ChangeServiceConfigW(bxhvnd)", GetLastError());
    }

    if (!StartServiceW(service.get(), 0, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) return Fail(failure, L"StartServiceW(bxhvnd)", error);
    }
    SERVICE_STATUS status = {};
    return WaitForState(service.get(), SERVICE_RUNNING, status, failure);
}

uint32_t UnloadDriverService(DriverFailure& failure, bool* wasLoaded) {
    if (wasLoaded) *wasLoaded = false;
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return Fail(failure, L"OpenSCManagerW", GetLastError());

    bx::win::UniqueScHandle service(
        OpenServiceW(scm.get(), SNOOP_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service) {
        if (wasLoaded) *wasLoaded = true;
        if (uint32_t error = StopService(service.get(), failure)) return error;
        if (!DeleteService(service.get())) {
            DWORD error = GetLastError();
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE) return Fail(failure, L"DeleteService(bxhvnd)", error);
        }
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) return Fail(failure, L"OpenServiceW(bxhvnd)", error);
    }

    const std::wstring installed = InstalledDriverPath();
    if (!DeleteFileW(installed.c_str())) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return Fail(failure, (L"DeleteFileW " + installed).c_str(), error);
    }
    return 0;
}

uint32_t InjectSnoopEvent(HANDLE device, const snoop_event_t& event) {
    DWORD returned = 0;
    if (!DeviceIoControl(device, SNOOP_IOCTL_INJECT_EVENT, const_cast<snoop_event_t*>(&event), sizeof event, nullptr, 0,
                         &returned, nullptr)) {
        return GetLastError();
    }
    return 0;
}

}  // namespace bx::sim
