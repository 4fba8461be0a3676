#include "tests/support/win/driver_services.h"

#include <cstring>

#include "installer/install_journal.h"
#include "platform/win/handles.h"
#include "tests/support/win/service_manager.h"

namespace bx::test {

namespace {

using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

const wchar_t kGroupOrderKey[] = L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";

UniqueScHandle OpenScm() { return UniqueScHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

std::string Describe(const char* step, DWORD error) { return std::string(step) + " Error:" + std::to_string(error); }

}  // namespace

DWORD CreateServiceEntry(const wchar_t* name, DWORD type, DWORD start, const wchar_t* binaryPath, const wchar_t* group,
                         DWORD tag) {
    UniqueScHandle scm = OpenScm();
    if (!scm) return GetLastError();
    DWORD tagInOut = tag;
    UniqueScHandle service(CreateServiceW(scm.get(), name, name, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_IGNORE,
                                          binaryPath, group, group && tag ? &tagInOut : nullptr, nullptr, nullptr,
                                          nullptr));
    return service ? 0 : GetLastError();
}

ServiceConfig QueryService(const wchar_t* name) {
    ServiceConfig result;
    UniqueScHandle scm = OpenScm();
    UniqueScHandle service(scm ? OpenServiceW(scm.get(), name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr);
    if (!service) return result;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return result;
    result.exists = true;
    result.type = config->dwServiceType;
    result.start = config->dwStartType;
    result.tag = config->dwTagId;
    result.binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result.group = config->lpLoadOrderGroup ? config->lpLoadOrderGroup : L"";
    result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    for (const wchar_t* dep = config->lpDependencies; dep && *dep; dep += wcslen(dep) + 1)
        result.dependencies.emplace_back(dep);
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status)) result.state = status.dwCurrentState;
    return result;
}

DWORD MakeTransportStandIns(std::string& why) {
    struct StandIn {
        const wchar_t* name;
        DWORD tag;
    };
    for (StandIn standIn : {StandIn{L"tcpip", kTcpipTag}, StandIn{L"tdx", kTdxTag}, StandIn{L"netbt", 0}}) {
        ServiceConfig config = QueryService(standIn.name);
        if (config.exists && (config.tag != standIn.tag || config.group != kTransportGroup)) {
            // Made otherwise (by hand or an older run): made anew.
            if (!RemoveService(standIn.name)) {
                why = "removing the old stand-in failed";
                return ERROR_SERVICE_EXISTS;
            }
            config.exists = false;
        }
        if (!config.exists) {
            std::wstring path = std::wstring(L"system32\\drivers\\standin_") + standIn.name + L".sys";
            if (DWORD error = CreateServiceEntry(standIn.name, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                                 path.c_str(), kTransportGroup, standIn.tag)) {
                why = Describe("CreateServiceW", error);
                return error;
            }
        }
    }
    // netbt's dependency list, as the tests expect to find it.
    UniqueScHandle scm = OpenScm();
    UniqueScHandle netbt(scm ? OpenServiceW(scm.get(), L"netbt", SERVICE_CHANGE_CONFIG) : nullptr);
    if (!netbt) {
        why = Describe("OpenServiceW(netbt)", GetLastError());
        return GetLastError();
    }
    if (!ChangeServiceConfigW(netbt.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, L"Tdx\0", nullptr, nullptr, nullptr)) {
        DWORD error = GetLastError();
        why = Describe("ChangeServiceConfigW(netbt)", error);
        return error;
    }
    return 0;
}

DWORD WriteGroupOrderBytes(const std::vector<BYTE>& bytes) {
    UniqueRegKey key;
    LONG rc =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGroupOrderKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    return static_cast<DWORD>(
        RegSetValueExW(key.get(), kTransportGroup, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size())));
}

DWORD WriteGroupOrder(const std::vector<DWORD>& tags) {
    std::vector<BYTE> bytes((tags.size() + 1) * sizeof(DWORD));
    DWORD count = static_cast<DWORD>(tags.size());
    std::memcpy(bytes.data(), &count, sizeof count);
    if (!tags.empty()) std::memcpy(bytes.data() + sizeof count, tags.data(), tags.size() * sizeof(DWORD));
    return WriteGroupOrderBytes(bytes);
}

bool ReadGroupOrder(std::vector<DWORD>& tags) {
    tags.clear();
    BYTE buffer[4096];
    DWORD size = sizeof buffer, type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kGroupOrderKey, kTransportGroup, RRF_RT_ANY, &type, buffer, &size) !=
            ERROR_SUCCESS ||
        size < sizeof(DWORD))
        return false;
    DWORD count = 0;
    std::memcpy(&count, buffer, sizeof count);
    if ((count + 1) * sizeof(DWORD) > size) return false;
    tags.resize(count);
    if (count) std::memcpy(tags.data(), buffer + sizeof(DWORD), count * sizeof(DWORD));
    return true;
}

bool RemoveService(const wchar_t* name) {
    {
        UniqueScHandle scm = OpenScm();
        UniqueScHandle service(scm ? OpenServiceW(scm.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                                   : nullptr);
        if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            WaitUntil(
                [&] { return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED; },
                10000, 50);
        }
        DeleteService(service.get());
    }
    return WaitUntil([&] { return !QueryService(name).exists; }, 10000, 50);
}

DWORD StartServiceAndWait(const wchar_t* name) {
    UniqueScHandle scm = OpenScm();
    UniqueScHandle service(scm ? OpenServiceW(scm.get(), name, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
    if (!service) return GetLastError();
    if (!StartServiceW(service.get(), 0, nullptr)) return GetLastError();
    SERVICE_STATUS status{};
    bool running = WaitUntil(
        [&] { return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING; }, 10000,
        50);
    return running ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

bool StopServiceAndWait(const wchar_t* name) {
    UniqueScHandle scm = OpenScm();
    UniqueScHandle service(scm ? OpenServiceW(scm.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status{};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
    return WaitUntil(
        [&] { return QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED; }, 10000,
        50);
}

std::vector<std::wstring> DriverFilesMovedAside() {
    std::wstring drivers = InstalledDriverFile();
    drivers.resize(drivers.find_last_of(L'\\') + 1);
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    bx::win::UniqueFindFile find(FindFirstFileW((drivers + L"bxh*.tmp").c_str(), &found));
    if (!find) return files;
    do {
        files.push_back(drivers + found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    return files;
}

void ResetInstallerState() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, bx::installer::kJournalKey);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, bx::installer::kRestartPendingKey);
    for (const auto& file : DriverFilesMovedAside()) DeleteFileW(file.c_str());
}

std::wstring InstalledDriverFile() {
    wchar_t path[MAX_PATH];
    DWORD length = ExpandEnvironmentStringsW(L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys", path, MAX_PATH);
    return length && length <= MAX_PATH ? std::wstring(path) : std::wstring();
}

}  // namespace bx::test
