#include "installer/custom_actions.h"

#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "installer/install_journal.h"
#include "platform/win/handles.h"

namespace bx::installer {

namespace {

using bx::win::UniqueMsiHandle;
using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

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

void MsiSession::ReportError(const wchar_t* text) { Process(INSTALLMESSAGE_ERROR | MB_ICONERROR, text); }

void MsiSession::ReportInfo(const wchar_t* text) { Process(INSTALLMESSAGE_INFO, text); }

void MsiSession::Process(int type, const wchar_t* text) {
    if (handle_ == 0) return;
    UniqueMsiHandle record(MsiCreateRecord(1));
    if (!record) return;
    MsiRecordSetStringW(record.get(), 0, L"[1]");
    MsiRecordSetStringW(record.get(), 1, EscapeFormatted(text).c_str());
    MsiProcessMessage(handle_, static_cast<INSTALLMESSAGE>(type), record.get());
}

std::wstring EscapeFormatted(const wchar_t* text) {
    std::wstring escaped;
    for (; *text; ++text) {
        if (*text == L'[' || *text == L']' || *text == L'{' || *text == L'}') {
            escaped += L"[\\";
            escaped += *text;
            escaped += L']';
        } else {
            escaped += *text;
        }
    }
    return escaped;
}

namespace {

std::wstring Format(const wchar_t* format, va_list args) {
    wchar_t text[kReportChars];
    int written = vsnwprintf(text, kReportChars, format, args);
    if (written < 0 || static_cast<size_t>(written) >= kReportChars) text[kReportChars - 1] = L'\0';
    return text;
}

}  // namespace

void Report(Session& session, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    session.ReportError(Format(format, args).c_str());
    va_end(args);
}

void Inform(Session& session, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    session.ReportInfo(Format(format, args).c_str());
    va_end(args);
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

DWORD UpdateGroupOrder(Session& session, const std::wstring& group, DWORD referenceTag, DWORD tag, Change change,
                       bool* changed) {
    if (changed) *changed = false;
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
    if (rc != ERROR_SUCCESS) {
        Report(session, L"Failed To Set the order of group %ls Error %d", group.c_str(), Error(static_cast<DWORD>(rc)));
        return static_cast<DWORD>(rc);
    }
    if (changed) *changed = true;
    return ERROR_SUCCESS;
}

DWORD UpdateNetbtDependency(Session& session, Change change, bool* changed) {
    if (changed) *changed = false;
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
    if (changed) *changed = change == Change::Add || present;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// The driver's installation and removal, and their rollbacks.

namespace {

// The journal sections (installer/install_journal.h) and their steps.
constexpr wchar_t kInstallSection[] = L"DriverInstall";
constexpr wchar_t kRemovalSection[] = L"DriverRemoval";
enum DriverStep : DWORD {
    kServiceChanged = 1,  // Install created "bxhvnd"; Uninstall deleted it
    kServiceKept = 2,     // Install kept an entry marked for deletion for the restart
    kFilePlaced = 4,      // Install copied the driver file into place
    kFileMovedAside = 8,  // the driver file that was there is "Aside"
    kTagChanged = 16,     // Install added "Tag" to the group order; Uninstall removed it
    kNetbtChanged = 32,   // Install added the NetBIOS dependency; Uninstall removed it
    kDriverStarted = 64,  // Install started the driver
};
// Values of a section besides the steps.
constexpr wchar_t kAside[] = L"Aside";                // the moved file's path
constexpr wchar_t kServiceGroup[] = L"ServiceGroup";  // the driver service's load-order group
constexpr wchar_t kOrderGroup[] = L"OrderGroup";      // the group order value holding the tag
constexpr wchar_t kReferenceTag[] = L"ReferenceTag";  // the tag the driver's follows
constexpr wchar_t kTag[] = L"Tag";

// How long a driver service entry marked for deletion is waited for: it
// leaves when the last handle to it is closed, unless its driver could not be
// stopped (then at the next restart).
constexpr DWORD kMarkedServiceWaitMs = 3000;

// The transport services the driver's place derives from: the driver joins
// the group of "tcpip"; its tag follows that of "tdx" (Vista and later) or of
// "tcpip" in the group order. Failures are reported.
struct Transport {
    ServiceInfo tcpip, reference;
};
DWORD GetTransport(Session& session, Transport& transport) {
    if (DWORD error = GetServiceInfo(session, kTcpipService, transport.tcpip)) {
        Report(session, L"Failed To Get TCP Service Info Error %d", Error(error));
        return error;
    }
    if (!IsVistaOrLater()) {
        transport.reference = transport.tcpip;
        return ERROR_SUCCESS;
    }
    if (DWORD error = GetServiceInfo(session, kTdxService, transport.reference)) {
        Report(session, L"Failed To Get TDX Service Info Error %d", Error(error));
        return error;
    }
    return ERROR_SUCCESS;
}

// A driver service marked for deletion goes at the next restart, when the
// service control manager deletes the entries whose "DeleteFlag" is set.
// Keeping it instead, configured as CreateServiceW would, gives the driver
// service after the restart. Its tag is read from the entry.
DWORD KeepMarkedService(Session& session, const std::wstring& group, DWORD& tag) {
    std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kDriverService;
    UniqueRegKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    auto setDword = [&](const wchar_t* name, DWORD value) {
        return RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    auto setText = [&](const wchar_t* name, DWORD type, const wchar_t* value) {
        return RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(value),
                              static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    };
    if (rc == ERROR_SUCCESS) rc = setDword(L"Type", SERVICE_KERNEL_DRIVER);
    if (rc == ERROR_SUCCESS) rc = setDword(L"Start", SERVICE_SYSTEM_START);
    if (rc == ERROR_SUCCESS) rc = setDword(L"ErrorControl", SERVICE_ERROR_NORMAL);
    if (rc == ERROR_SUCCESS) rc = setText(L"ImagePath", REG_EXPAND_SZ, kDriverDestination);
    if (rc == ERROR_SUCCESS) rc = setText(L"Group", REG_SZ, group.c_str());
    if (rc == ERROR_SUCCESS) rc = setText(L"DisplayName", REG_SZ, kDriverDisplayName);
    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteValueW(key.get(), L"DeleteFlag");
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    }
    if (rc != ERROR_SUCCESS) {
        Report(session, L"Failed To keep HVN Service marked for deletion Error %d", Error(static_cast<DWORD>(rc)));
        return static_cast<DWORD>(rc);
    }
    DWORD stored = 0, size = sizeof stored;
    tag = RegGetValueW(key.get(), nullptr, L"Tag", RRF_RT_REG_DWORD, nullptr, &stored, &size) == ERROR_SUCCESS ? stored
                                                                                                               : 0;
    MarkRestartPending(session, L"The driver service bxhvnd, marked for deletion,");
    return ERROR_SUCCESS;
}

// Puts the mark back on a kept entry (the rollback of KeepMarkedService).
void MarkServiceForDeletion() {
    std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kDriverService;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    DWORD one = 1;
    RegSetValueExW(key.get(), L"DeleteFlag", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
}

enum class Creation { Created, Existed, Kept };

// Creates the driver service in `group`. An existing service counts as
// created and keeps its tag; one marked for deletion is waited for, then kept
// for the restart. `tag` in: the tag to ask for (Windows assigns its own, and
// Wine's SCM keeps the one asked for); out: the service's tag.
DWORD CreateDriverService(Session& session, const std::wstring& group, DWORD& tag, Creation& creation) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) {
        DWORD error = GetLastError();
        Report(session, L"Failed To open ServiceMgr Error %d", Error(error));
        return error;
    }
    const DWORD asked = tag;
    const ULONGLONG deadline = GetTickCount64() + kMarkedServiceWaitMs;
    for (;;) {
        tag = asked;
        UniqueScHandle driver(CreateServiceW(scm.get(), kDriverService, kDriverDisplayName, SERVICE_ALL_ACCESS,
                                             SERVICE_KERNEL_DRIVER, SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL,
                                             kDriverDestination, group.c_str(), &tag, nullptr, nullptr, nullptr));
        if (driver) {
            creation = Creation::Created;
            return ERROR_SUCCESS;
        }
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS) {
            // Without a tag of its own, nothing is inserted into the group order.
            ServiceInfo existing;
            tag = GetServiceInfo(session, kDriverService, existing) == ERROR_SUCCESS ? existing.tag : 0;
            creation = Creation::Existed;
            return ERROR_SUCCESS;
        }
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            Report(session, L"Failed To Create HVN Service Error %d", Error(error));
            return error;
        }
        if (GetTickCount64() >= deadline) break;
        Sleep(100);
    }
    creation = Creation::Kept;
    return KeepMarkedService(session, group, tag);
}

// Starts the driver; one that runs already is no error.
DWORD StartDriver(Session& session, bool& started) {
    started = false;
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle driver(scm ? OpenServiceW(scm.get(), kDriverService, SERVICE_START) : nullptr);
    if (driver && StartServiceW(driver.get(), 0, nullptr)) {
        started = true;
        return ERROR_SUCCESS;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return ERROR_SUCCESS;
    Report(session, L"Failed To start HVN Driver Error %d", Error(error));
    return error;
}

// Stops the driver, waiting up to 10 s.
void StopDriver() {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle driver(scm ? OpenServiceW(scm.get(), kDriverService, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
    if (!driver) return;
    SERVICE_STATUS status{};
    if (!ControlService(driver.get(), SERVICE_CONTROL_STOP, &status)) return;
    for (int poll = 0; poll < 100 && status.dwCurrentState != SERVICE_STOPPED; ++poll) {
        Sleep(100);
        if (!QueryServiceStatus(driver.get(), &status)) return;
    }
}

// Records a step done; a journal that cannot be written fails the action,
// which could not be rolled back.
DWORD Record(Session& session, JournalSection& journal, DWORD step) {
    DWORD error = journal.Record(step);
    if (error != ERROR_SUCCESS)
        Report(session, L"Failed to record the installation for its rollback Error %d", Error(error));
    return error;
}

DWORD InstallDriver(Session& session, JournalSection& journal) {
    std::wstring source;
    if (!ReadCustomActionData(session, kSourceFolderChars, source)) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        Report(session, L"Internal installer error - source path not found");
        return ERROR_INVALID_PARAMETER;
    }
    if (source.back() != L'\\') source += L'\\';
    source += kDriverFile;
    std::wstring destination = ExpandedDriverDestination();
    auto copyFailed = [&](DWORD error) {
        Report(session, L"Failed To copy Driver File sDriverPath:%ls destination:%ls Error %d", source.c_str(),
               destination.c_str(), Error(error));
        return error;
    };
    if (destination.empty()) return copyFailed(ERROR_BUFFER_OVERFLOW);
    // A driver file that is there (an earlier version's, loaded or not) is
    // moved aside: the rollback puts it back, the commit deletes it.
    if (GetFileAttributesW(destination.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::wstring aside;
        if (DWORD error = MoveAside(destination, aside)) return copyFailed(error);
        if (DWORD error = journal.SetString(kAside, aside)) return error;
        if (DWORD error = Record(session, journal, kFileMovedAside)) return error;
    }
    if (!CopyFileW(source.c_str(), destination.c_str(), TRUE)) return copyFailed(GetLastError());
    if (DWORD error = Record(session, journal, kFilePlaced)) return error;

    Transport transport;
    if (DWORD error = GetTransport(session, transport)) return error;
    DWORD tag = 0;
    Creation creation;
    if (DWORD error = CreateDriverService(session, transport.tcpip.group, tag, creation)) return error;
    if (creation != Creation::Existed) {
        if (DWORD error = Record(session, journal, creation == Creation::Created ? kServiceChanged : kServiceKept))
            return error;
    }

    bool changed = false;
    if (DWORD error =
            UpdateGroupOrder(session, transport.reference.group, transport.reference.tag, tag, Change::Add, &changed))
        return error;
    if (changed) {
        journal.SetString(kOrderGroup, transport.reference.group);
        journal.SetDword(kTag, tag);
        if (DWORD error = Record(session, journal, kTagChanged)) return error;
    }
    if (DWORD error = UpdateNetbtDependency(session, Change::Add, &changed)) return error;
    if (changed) {
        if (DWORD error = Record(session, journal, kNetbtChanged)) return error;
    }
    // A kept entry's driver is the earlier version's, still loaded; the new
    // one loads at the restart.
    if (creation == Creation::Kept) return ERROR_SUCCESS;
    bool started = false;
    if (DWORD error = StartDriver(session, started)) return error;
    return started ? Record(session, journal, kDriverStarted) : ERROR_SUCCESS;
}

// Undoes the steps of Install listed in its journal section, newest first.
void UndoInstallDriver(Session& session, const JournalSection& journal) {
    const DWORD done = journal.Done();
    if (done & kDriverStarted) StopDriver();
    if (done & kNetbtChanged) UpdateNetbtDependency(session, Change::Remove);
    if (done & kTagChanged)
        UpdateGroupOrder(session, journal.GetString(kOrderGroup), 0, journal.GetDword(kTag, 0), Change::Remove);
    if (done & kServiceChanged) {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle driver(scm ? OpenServiceW(scm.get(), kDriverService, DELETE) : nullptr);
        if (driver && !DeleteService(driver.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            Report(session, L"Failed To delete hvnd Service Error %d", Error(GetLastError()));
    }
    if (done & kServiceKept) MarkServiceForDeletion();
    const std::wstring destination = ExpandedDriverDestination();
    if (done & kFilePlaced) {
        // Moved aside first, so that the name is free for the file it replaced
        // even when the new one is loaded.
        std::wstring placed;
        if (MoveAside(destination, placed) != ERROR_SUCCESS) placed = destination;
        if (DWORD error = DeleteNowOrAtRestart(session, placed))
            Report(session, L"Failed To delete driver file Error %d", Error(error));
    }
    if (done & kFileMovedAside) {
        std::wstring aside = journal.GetString(kAside);
        if (!MoveFileExW(aside.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING))
            Report(session, L"Failed to put back the driver file %ls Error %d", aside.c_str(), Error(GetLastError()));
    }
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
    JournalSection journal;
    DWORD error = journal.Begin(kInstallSection);
    if (error != ERROR_SUCCESS)
        Report(session, L"Failed to record the installation for its rollback Error %d", Error(error));
    else
        error = InstallDriver(session, journal);
    if (error == ERROR_SUCCESS) return ERROR_SUCCESS;
    Report(session, L"Failed Install Halvern Driver Error %d", Error(error));
    UndoInstallDriver(session, journal);
    journal.Delete();
    RemoveAgentService(session);
    return kInstallFailed;
}

UINT InstallRollback(Session& session) {
    JournalSection journal;
    if (journal.Open(kInstallSection) != ERROR_SUCCESS) return ERROR_SUCCESS;  // nothing done
    UndoInstallDriver(session, journal);
    journal.Delete();
    return ERROR_SUCCESS;
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
    // What is removed is recorded for the rollback; without a journal the
    // removal goes on all the same.
    JournalSection journal;
    if (DWORD error = journal.Begin(kRemovalSection)) {
        Report(session, L"Failed to record the removal for its rollback Error %d", Error(error));
        fail(error);
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

    bool changed = false;
    if (haveGroup && haveTag) {
        const ServiceInfo& reference = vista ? tdx : tcpip;
        if (DWORD error = UpdateGroupOrder(session, reference.group, 0, driverInfo.tag, Change::Remove, &changed))
            fail(error);
        if (changed) {
            journal.SetString(kOrderGroup, reference.group);
            journal.SetDword(kReferenceTag, reference.tag);
            journal.SetDword(kTag, driverInfo.tag);
            journal.Record(kTagChanged);
        }
    }
    if (DWORD error = UpdateNetbtDependency(session, Change::Remove, &changed)) fail(error);
    if (changed) journal.Record(kNetbtChanged);

    if (driver) {
        if (DeleteService(driver.get())) {
            journal.SetString(kServiceGroup, driverInfo.group);
            journal.Record(kServiceChanged);
        } else {
            DWORD error = GetLastError();
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
                Report(session, L"Failed To delete hvnd Service Error %d", Error(error));
                fail(error);
            }
        }
    }
    // Moved aside rather than deleted: the rollback puts it back, the commit
    // deletes it (a loaded driver at the next restart).
    std::wstring file = ExpandedDriverDestination();
    std::wstring aside;
    if (DWORD error = file.empty() ? ERROR_BUFFER_OVERFLOW : MoveAside(file, aside)) {
        // A file that is already gone is what removal wants.
        if (error != ERROR_FILE_NOT_FOUND) {
            Report(session, L"Failed To delete driver file Error %d", Error(error));
            fail(error);
        }
    } else {
        journal.SetString(kAside, aside);
        journal.Record(kFileMovedAside);
    }
    if (failure != ERROR_SUCCESS) Report(session, L"Failed UnInstall Halvern Driver Error %d", Error(failure));
    return ERROR_SUCCESS;
}

UINT UninstallRollback(Session& session) {
    JournalSection journal;
    if (journal.Open(kRemovalSection) != ERROR_SUCCESS) return ERROR_SUCCESS;  // nothing removed
    const DWORD done = journal.Done();
    if (done & kFileMovedAside) {
        std::wstring aside = journal.GetString(kAside);
        if (!MoveFileExW(aside.c_str(), ExpandedDriverDestination().c_str(), MOVEFILE_REPLACE_EXISTING))
            Report(session, L"Failed to put back the driver file %ls Error %d", aside.c_str(), Error(GetLastError()));
    }
    DWORD tag = journal.GetDword(kTag, 0);
    bool restored = !(done & kServiceChanged);
    if (done & kServiceChanged) {
        Creation creation;
        restored = CreateDriverService(session, journal.GetString(kServiceGroup), tag, creation) == ERROR_SUCCESS;
    }
    if (restored && (done & kTagChanged))
        UpdateGroupOrder(session, journal.GetString(kOrderGroup), journal.GetDword(kReferenceTag, 0), tag, Change::Add);
    if (done & kNetbtChanged) UpdateNetbtDependency(session, Change::Add);
    // The agent the installer's rollback starts again opens the driver.
    bool started = false;
    if (restored && (done & (kServiceChanged | kFileMovedAside))) StartDriver(session, started);
    journal.Delete();
    return ERROR_SUCCESS;
}

UINT CommitInstallation(Session& session) {
    for (const wchar_t* section : {kInstallSection, kRemovalSection}) {
        JournalSection journal;
        if (journal.Open(section) != ERROR_SUCCESS || !journal.Has(kFileMovedAside)) continue;
        std::wstring aside = journal.GetString(kAside);
        if (DWORD error = DeleteNowOrAtRestart(session, aside))
            Report(session, L"Failed to delete %ls Error %d", aside.c_str(), Error(error));
    }
    DeleteJournal();
    return ERROR_SUCCESS;
}

UINT SecureProgramFolder(Session& session) {
    std::wstring folder;
    if (!ReadCustomActionData(session, kCustomActionDataMaxChars, folder)) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        return ERROR_INSTALL_FAILURE;
    }
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProgramFolderDacl, SDDL_REVISION_1, &descriptor,
                                                              nullptr) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        error = GetLastError();
    bx::win::UniqueLocal owner(descriptor);
    // Protected: nothing the parent grants is inherited. The folder's files
    // inherit these entries.
    if (error == ERROR_SUCCESS)
        error = SetNamedSecurityInfoW(folder.data(), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        Report(session, L"Failed to set the permissions of %ls Error %d", folder.c_str(), Error(error));
        return ERROR_INSTALL_FAILURE;
    }
    return ERROR_SUCCESS;
}

UINT AwaitAgentServiceRemoval(Session& session) {
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) {
        Report(session, L"Failed To open ServiceMgr Error %d", Error(GetLastError()));
        return ERROR_INSTALL_FAILURE;
    }
    const ULONGLONG deadline = GetTickCount64() + kAgentServiceRemovalWaitMs;
    for (;;) {
        // Our own handle keeps the entry too: it is closed before each wait.
        {
            UniqueScHandle service(OpenServiceW(scm.get(), kAgentService, SERVICE_CHANGE_CONFIG));
            if (!service) {
                DWORD error = GetLastError();
                if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
                Report(session, L"Failed To open Service Error %d", Error(error));
                return ERROR_INSTALL_FAILURE;
            }
            // A change that changes nothing tells a marked entry from a live one.
            if (ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
                return ERROR_SUCCESS;
            DWORD error = GetLastError();
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
                Report(session, L"Failed To Query HVN Service Error %d", Error(error));
                return ERROR_INSTALL_FAILURE;
            }
        }
        if (GetTickCount64() >= deadline) break;
        Sleep(100);
    }
    Report(session,
           L"The service %ls is marked for deletion and still held open: close the Services console and the "
           L"Halvern Troubleshooter, then run the installation again. Error %d",
           kAgentService, Error(ERROR_SERVICE_MARKED_FOR_DELETE));
    return ERROR_INSTALL_FAILURE;
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
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
        Report(session, L"Failed to change service config. Error %d", Error(GetLastError()));
        return ERROR_SUCCESS;
    }
    // The actions apply also when the service stops with an error, not only
    // when it crashes. A system without that setting (before Windows Vista)
    // answers ERROR_INVALID_LEVEL: there they apply to crashes only.
    SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
    if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors)) {
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_LEVEL) Report(session, L"Failed to change service config. Error %d", Error(error));
    }
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
