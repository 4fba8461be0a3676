#include "installer/custom_actions.h"

#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "platform/win/handles.h"

namespace bx::installer {

namespace {

using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

struct MsiHandleTraits {
    static MSIHANDLE Empty() { return 0; }
    static void Close(MSIHANDLE h) { ::MsiCloseHandle(h); }
};
using UniqueMsiHandle = bx::win::UniqueResource<MSIHANDLE, MsiHandleTraits>;

int Error(DWORD error) { return static_cast<int>(error); }

// "%SystemRoot%\system32\drivers\bxhvnd.sys" expanded, for file operations.
std::wstring ExpandedDriverDestination() {
    wchar_t expanded[MAX_PATH];
    DWORD length = ExpandEnvironmentStringsW(kDriverDestination, expanded, MAX_PATH);
    if (length == 0 || length > MAX_PATH) return std::wstring();
    return expanded;
}

// Reads "CustomActionData" of at most maxChars characters. An empty value
// counts as missing.
bool ReadCustomActionData(Session& session, size_t maxChars, std::wstring& value) {
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    UINT rc = session.GetProperty(L"CustomActionData", buffer.data(), &length);
    if (rc != ERROR_SUCCESS || length == 0) return false;
    value.assign(buffer.data(), std::min<size_t>(length, maxChars));
    return true;
}

bool ServiceExists(const wchar_t* name) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!scm) return false;
    UniqueScHandle service(OpenServiceW(scm.get(), name, GENERIC_READ));
    if (!service) return false;
    SERVICE_STATUS status{};
    return QueryServiceStatus(service.get(), &status) != FALSE;
}

// Stops and deletes the agent service after a failed installation.
void RemoveAgentService(Session& session) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        Report(session, L"Failed To open ServiceMgr Error %d", Error(GetLastError()));
        return;
    }
    UniqueScHandle service(OpenServiceW(scm.get(), kAgentService, SERVICE_ALL_ACCESS));
    if (!service) {
        Report(session, L"Failed To open Service Error %d", Error(GetLastError()));
        return;
    }
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) Report(session, L"Failed To stop Service Error %d", Error(error));
    }
    for (int poll = 0; poll < 10; ++poll) {
        if (!QueryServiceStatus(service.get(), &status)) {
            Report(session, L"Failed To Query Status Error %d", Error(GetLastError()));
            return;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(100);
    }
    if (!DeleteService(service.get())) Report(session, L"Failed To delete Service Error %d", Error(GetLastError()));
}

// The dependency list of a service configuration as separate names.
std::vector<std::wstring> SplitMultiString(const wchar_t* list, const wchar_t* end) {
    std::vector<std::wstring> names;
    if (!list) return names;
    while (list < end && *list) {
        const wchar_t* stop = std::find(list, end, L'\0');
        names.emplace_back(list, stop);
        list = stop + 1;
    }
    return names;
}

std::wstring JoinMultiString(const std::vector<std::wstring>& names) {
    std::wstring list;
    for (const auto& name : names) {
        list += name;
        list += L'\0';
    }
    list += L'\0';  // the list's end (and an empty list clears it)
    return list;
}

}  // namespace

// ---------------------------------------------------------------------------

UINT MsiSession::GetProperty(const wchar_t* name, wchar_t* buffer, DWORD* length) {
    return MsiGetPropertyW(handle_, name, buffer, length);
}

void MsiSession::ReportError(const wchar_t* text) {
    if (handle_ == 0) return;
    UniqueMsiHandle record(MsiCreateRecord(1));
    if (!record) return;
    MsiRecordSetStringW(record.get(), 0, text);
    MsiProcessMessage(handle_, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR), record.get());
}

void Report(Session& session, const wchar_t* format, ...) {
    wchar_t text[kReportChars];
    va_list args;
    va_start(args, format);
    int written = vsnwprintf(text, kReportChars, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= kReportChars) text[kReportChars - 1] = L'\0';
    session.ReportError(text);
}

bool IsVistaOrLater() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
#pragma GCC diagnostic pop
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 5;
}

DWORD GetServiceInfo(Session& session, const wchar_t* service, ServiceInfo& info) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open ServiceMgr Error %d", Error(error));
        return error;
    }
    UniqueScHandle handle(OpenServiceW(scm.get(), service, SERVICE_QUERY_CONFIG));
    if (!handle) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open Tcpip Service Error %d", Error(error));
        return error;
    }
    DWORD needed = 0;
    std::vector<BYTE> buffer;
    if (!QueryServiceConfigW(handle.get(), nullptr, 0, &needed)) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            Report(session, L"Failed To Query Tcpip Service Error %d", Error(error));
            return error;
        }
    }
    buffer.resize(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(handle.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        DWORD error = GetLastError();
        Report(session, L"Failed To Query Tcpip Service Error %d", Error(error));
        return error;
    }
    info.group = config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L"";
    info.tag = config->dwTagId;
    return ERROR_SUCCESS;
}

std::vector<DWORD> ParseGroupOrder(const BYTE* bytes, size_t size) {
    std::vector<DWORD> tags;
    if (size < sizeof(DWORD)) return tags;
    DWORD count = 0;
    std::memcpy(&count, bytes, sizeof count);
    size_t available = (size - sizeof(DWORD)) / sizeof(DWORD);
    size_t used = std::min<size_t>(count, available);
    tags.resize(used);
    if (used) std::memcpy(tags.data(), bytes + sizeof(DWORD), used * sizeof(DWORD));
    return tags;
}

std::vector<BYTE> StoreGroupOrder(const std::vector<DWORD>& tags) {
    std::vector<BYTE> bytes((tags.size() + 1) * sizeof(DWORD));
    DWORD count = static_cast<DWORD>(tags.size());
    std::memcpy(bytes.data(), &count, sizeof count);
    if (!tags.empty()) std::memcpy(bytes.data() + sizeof(DWORD), tags.data(), tags.size() * sizeof(DWORD));
    return bytes;
}

DWORD UpdateGroupOrder(Session& session, const std::wstring& group, DWORD referenceTag, DWORD tag, Change change) {
    if (tag == 0) return ERROR_SUCCESS;  // a service without a tag has no place in the list
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return ERROR_SUCCESS;  // nothing to update
    BYTE buffer[kGroupOrderBytes];
    DWORD type = 0, size = sizeof buffer;
    if (RegQueryValueExW(key.get(), group.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    std::vector<DWORD> tags = ParseGroupOrder(buffer, size);
    if (change == Change::Add) {
        if (std::find(tags.begin(), tags.end(), tag) != tags.end()) return ERROR_SUCCESS;  // listed already
        auto reference = std::find(tags.begin(), tags.end(), referenceTag);
        if (reference == tags.end()) return ERROR_SUCCESS;
        if ((tags.size() + 2) * sizeof(DWORD) > kGroupOrderBytes) {
            Report(session, L"Failed To add the driver tag to group %ls: its order list is full Error %d",
                   group.c_str(), Error(ERROR_INSUFFICIENT_BUFFER));
            return ERROR_INSUFFICIENT_BUFFER;
        }
        tags.insert(reference + 1, tag);
    } else {
        auto found = std::find(tags.begin(), tags.end(), tag);
        if (found == tags.end()) return ERROR_SUCCESS;
        tags.erase(found);
    }
    std::vector<BYTE> stored = StoreGroupOrder(tags);
    LONG rc = RegSetValueExW(key.get(), group.c_str(), 0, type, stored.data(), static_cast<DWORD>(stored.size()));
    return static_cast<DWORD>(rc);
}

DWORD UpdateNetbtDependency(Session& session, Change change) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open ServiceMgr Error %d", Error(error));
        return error;
    }
    UniqueScHandle netbt(OpenServiceW(scm.get(), kNetbtService, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    if (!netbt) return ERROR_SUCCESS;  // no NetBIOS service: nothing to depend on the driver
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[kNetbtConfigBytes];
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    DWORD needed = 0;
    if (!QueryServiceConfigW(netbt.get(), config, sizeof buffer, &needed)) {
        DWORD error = GetLastError();
        Report(session, L"Failed To Query NetBt Service Error %d", Error(error));
        return error;
    }
    std::vector<std::wstring> names =
        SplitMultiString(config->lpDependencies, reinterpret_cast<const wchar_t*>(buffer + sizeof buffer));
    auto matches = [](const std::wstring& name) { return _wcsicmp(name.c_str(), kNetbtDependency) == 0; };
    bool present = std::any_of(names.begin(), names.end(), matches);
    if (change == Change::Add) {
        if (present) return ERROR_SUCCESS;
        names.emplace_back(kNetbtDependency);
    } else {
        // Written back even when the name is not listed, as the list read
        // may be incomplete (Wine reports none) while the SCM holds it.
        names.erase(std::remove_if(names.begin(), names.end(), matches), names.end());
    }
    std::wstring list = JoinMultiString(names);
    if (!ChangeServiceConfigW(netbt.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, list.c_str(), nullptr, nullptr, nullptr)) {
        DWORD error = GetLastError();
        Report(session, L"Failed To Set Dependencies in NetBt Service Error %d", Error(error));
        return error;
    }
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------

namespace {

// Install's steps after the previous-version check; the first error, with
// what was done so far for the clean-up.
struct InstallState {
    std::wstring copiedTo;        // the driver file this installation put in place
    bool serviceExisted = false;  // "bxhvnd" was there before
    bool serviceCreated = false;
};

DWORD InstallDriver(Session& session, InstallState& state) {
    std::wstring source;
    if (!ReadCustomActionData(session, kSourceFolderChars, source)) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        Report(session, L"Internal installer error - source path not found");
        return ERROR_INVALID_PARAMETER;
    }
    if (source.back() != L'\\') source += L'\\';
    source += kDriverFile;
    std::wstring destination = ExpandedDriverDestination();
    state.serviceExisted = [] {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(scm ? OpenServiceW(scm.get(), kDriverService, SERVICE_QUERY_STATUS) : nullptr);
        return static_cast<bool>(service);
    }();
    if (destination.empty() || !CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
        DWORD error = destination.empty() ? ERROR_BUFFER_OVERFLOW : GetLastError();
        Report(session, L"Failed To copy Driver File sDriverPath:%ls destination:%ls Error %d", source.c_str(),
               destination.c_str(), Error(error));
        return error;
    }
    state.copiedTo = destination;

    const bool vista = IsVistaOrLater();
    ServiceInfo tcpip, tdx;
    if (DWORD error = GetServiceInfo(session, kTcpipService, tcpip)) {
        Report(session, L"Failed To Get TCP Service Info Error %d", Error(error));
        return error;
    }
    if (vista) {
        if (DWORD error = GetServiceInfo(session, kTdxService, tdx)) {
            Report(session, L"Failed To Get TDX Service Info Error %d", Error(error));
            return error;
        }
    }

    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open ServiceMgr Error %d", Error(error));
        return error;
    }
    DWORD tag = 0;
    UniqueScHandle driver(CreateServiceW(scm.get(), kDriverService, kDriverDisplayName, SERVICE_ALL_ACCESS,
                                         SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                                         kDriverDestination, tcpip.group.c_str(), &tag, nullptr, nullptr, nullptr));
    if (driver) {
        state.serviceCreated = true;
    } else {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_EXISTS) {
            Report(session, L"Failed To Create HVN Service Error %d", Error(error));
            return error;
        }
        // An existing driver service keeps its own tag; without one, nothing
        // is inserted into the group order.
        ServiceInfo existing;
        tag = GetServiceInfo(session, kDriverService, existing) == ERROR_SUCCESS ? existing.tag : 0;
    }

    if (vista)
        UpdateGroupOrder(session, tdx.group, tdx.tag, tag, Change::Add);
    else
        UpdateGroupOrder(session, tcpip.group, tcpip.tag, tag, Change::Add);
    UpdateNetbtDependency(session, Change::Add);
    return ERROR_SUCCESS;
}

// Takes back what a failed installation of the driver did.
void UndoInstallDriver(const InstallState& state) {
    if (state.serviceCreated) {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle driver(scm ? OpenServiceW(scm.get(), kDriverService, DELETE) : nullptr);
        if (driver) DeleteService(driver.get());
    }
    if (!state.copiedTo.empty() && !state.serviceExisted) DeleteFileW(state.copiedTo.c_str());
}

}  // namespace

UINT Install(Session& session) {
    for (const wchar_t* previous : kPreviousVersionServices) {
        if (ServiceExists(previous)) {
            Report(session,
                   L"A previous version of Halvern has been detected.Please uninstall the previous version then try "
                   L"again.");
            return kInstallFailed;
        }
    }
    InstallState state;
    DWORD error = InstallDriver(session, state);
    if (error == ERROR_SUCCESS) return ERROR_SUCCESS;
    Report(session, L"Failed Install Halvern Driver Error %d", Error(error));
    UndoInstallDriver(state);
    RemoveAgentService(session);
    return kInstallFailed;
}

UINT Uninstall(Session& session) {
    DWORD failure = ERROR_SUCCESS;
    auto fail = [&](DWORD error) {
        if (failure == ERROR_SUCCESS) failure = error ? error : ERROR_GEN_FAILURE;
    };
    std::wstring unused;  // present, whatever its length; its value is not used
    if (!ReadCustomActionData(session, kCustomActionDataMaxChars, unused)) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        Report(session, L"Internal installer error - source path not found");
        Report(session, L"Failed UnInstall Halvern Driver Error %d", Error(ERROR_INVALID_PARAMETER));
        return ERROR_SUCCESS;
    }

    // Every step is tried even after a failure, so that a driver already
    // half removed leaves nothing behind.
    const bool vista = IsVistaOrLater();
    ServiceInfo tcpip, tdx, driverInfo;
    bool haveGroup = true, haveTag = true;  // the group order entry can be found
    if (DWORD error = GetServiceInfo(session, kTcpipService, tcpip)) {
        Report(session, L"Failed To Get TCP Service Info Error %d", Error(error));
        fail(error);
        if (!vista) haveGroup = false;
    }
    if (vista) {
        if (DWORD error = GetServiceInfo(session, kTdxService, tdx)) {
            Report(session, L"Failed To Get TDX Service Info Error %d", Error(error));
            fail(error);
            haveGroup = false;
        }
    }
    if (DWORD error = GetServiceInfo(session, kDriverService, driverInfo)) {
        Report(session, L"Failed To Get hvnd Service Info Error %d", Error(error));
        fail(error);
        haveTag = false;
    }

    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueScHandle driver;
    if (!scm) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open ServiceMgr Error %d", Error(error));
        fail(error);
    } else {
        driver.reset(OpenServiceW(scm.get(), kDriverService, SERVICE_ALL_ACCESS));
        if (!driver) {
            DWORD error = GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
                Report(session, L"Failed To open hvnd Service for deletion Error %d", Error(error));
                fail(error);
            }
        }
    }

    if (haveGroup && haveTag) {
        const ServiceInfo& reference = vista ? tdx : tcpip;
        UpdateGroupOrder(session, reference.group, 0, driverInfo.tag, Change::Remove);
    }
    UpdateNetbtDependency(session, Change::Remove);

    if (driver && !DeleteService(driver.get())) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            Report(session, L"Failed To delete hvnd Service Error %d", Error(error));
            fail(error);
        }
    }
    std::wstring file = ExpandedDriverDestination();
    if (!file.empty() && !DeleteFileW(file.c_str())) {
        DWORD error = GetLastError();
        // A file that is already gone is what removal wants.
        if (error != ERROR_FILE_NOT_FOUND) {
            Report(session, L"Failed To delete driver file Error %d", Error(error));
            fail(error);
        }
    }
    if (failure != ERROR_SUCCESS) Report(session, L"Failed UnInstall Halvern Driver Error %d", Error(failure));
    return ERROR_SUCCESS;
}

UINT SetServiceRecovery(Session& session) {
    std::wstring name;
    if (!ReadCustomActionData(session, kServiceNameChars, name)) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        Report(session, L"Internal installer error - service name not found");
        return kPropertyMissing;
    }
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        Report(session, L"Failed to open the service control manager. Error %d", Error(GetLastError()));
        return ERROR_SUCCESS;
    }
    UniqueScHandle service(OpenServiceW(scm.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        Report(session, L"Failed to open the service '%ls'. Error %d", name.c_str(), Error(GetLastError()));
        return ERROR_SUCCESS;
    }
    SC_ACTION actions[3];
    for (auto& action : actions) action = {SC_ACTION_RESTART, 60000};
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 86400;
    failureActions.lpRebootMsg = nullptr;
    failureActions.lpCommand = nullptr;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        Report(session, L"Failed to change service config. Error %d", Error(GetLastError()));
    return ERROR_SUCCESS;
}

UINT RemoveAgentFiles(Session& session) {
    std::wstring folder;
    if (!ReadCustomActionData(session, kCustomActionDataMaxChars, folder)) return ERROR_SUCCESS;
    if (folder.back() != L'\\') folder += L'\\';
    // The service reports "stopped" a moment before its process lets go of
    // its log: a file still in use is tried again for up to 10 s, then left
    // to be deleted at the next restart.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    for (const wchar_t* name : kAgentFiles) {
        std::wstring path = folder + name;
        for (;;) {
            if (DeleteFileW(path.c_str())) break;
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
            if ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) && GetTickCount64() < deadline) {
                Sleep(100);
                continue;
            }
            Report(session, L"Failed to delete %ls Error %d", path.c_str(), Error(error));
            MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            break;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace bx::installer
