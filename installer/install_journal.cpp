#include "installer/install_journal.h"

#include <sddl.h>

namespace bx::installer {

namespace {

using bx::win::UniqueLocal;
using bx::win::UniqueRegKey;

constexpr wchar_t kDone[] = L"Done";
// SYSTEM and Administrators only, inherited by the sections; whatever the
// parent grants does not reach it.
constexpr wchar_t kJournalDacl[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

// A volatile key under the agent's key. The agent's key (the settings live
// under it) is made non-volatile first: a volatile key cannot have
// non-volatile subkeys, and RegCreateKeyExW would make missing parents
// volatile too.
DWORD CreateVolatileKey(const wchar_t* name, SECURITY_ATTRIBUTES* security, UniqueRegKey& key) {
    UniqueRegKey agent;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_CREATE_SUB_KEY,
                              nullptr, agent.put(), nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    rc = RegCreateKeyExW(agent.get(), name, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, security, key.put(),
                         nullptr);
    return static_cast<DWORD>(rc);
}

DWORD OpenJournal(UniqueRegKey& journal) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kJournalDacl, SDDL_REVISION_1, &descriptor, nullptr))
        return GetLastError();
    UniqueLocal owner(descriptor);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    if (DWORD error = CreateVolatileKey(L"InstallJournal", &security, journal)) return error;
    // A journal key that was there already gets the same protection.
    return static_cast<DWORD>(RegSetKeySecurity(journal.get(), DACL_SECURITY_INFORMATION, descriptor));
}

}  // namespace

DWORD JournalSection::Begin(const wchar_t* section) {
    key_.reset();
    name_ = section;
    UniqueRegKey journal;
    if (DWORD error = OpenJournal(journal)) return error;
    RegDeleteTreeW(journal.get(), section);
    LONG rc = RegCreateKeyExW(journal.get(), section, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              key_.put(), nullptr);
    return static_cast<DWORD>(rc);
}

DWORD JournalSection::Open(const wchar_t* section) {
    key_.reset();
    name_ = section;
    std::wstring path = std::wstring(kJournalKey) + L"\\" + section;
    return static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key_.put()));
}

DWORD JournalSection::Done() const { return GetDword(kDone, 0); }

DWORD JournalSection::Record(DWORD step) { return SetDword(kDone, Done() | step); }

DWORD JournalSection::SetDword(const wchar_t* name, DWORD value) {
    if (!key_) return ERROR_INVALID_HANDLE;
    return static_cast<DWORD>(
        RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

DWORD JournalSection::GetDword(const wchar_t* name, DWORD fallback) const {
    DWORD value = 0, size = sizeof value;
    if (!key_ || RegGetValueW(key_.get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return fallback;
    return value;
}

DWORD JournalSection::SetString(const wchar_t* name, const std::wstring& value) {
    if (!key_) return ERROR_INVALID_HANDLE;
    return static_cast<DWORD>(RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

std::wstring JournalSection::GetString(const wchar_t* name) const {
    wchar_t buffer[MAX_PATH + 1];
    DWORD size = sizeof buffer;
    if (!key_ || RegGetValueW(key_.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return std::wstring();
    return buffer;
}

void JournalSection::Delete() {
    key_.reset();
    if (name_.empty()) return;
    std::wstring path = std::wstring(kJournalKey) + L"\\" + name_;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kJournalKey);  // when no other section is left
}

void DeleteJournal() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kJournalKey); }

void MarkRestartPending(Session& session, const wchar_t* what) {
    UniqueRegKey key;
    DWORD error = CreateVolatileKey(L"RestartPending", nullptr, key);
    if (error != ERROR_SUCCESS)
        Report(session, L"Failed to note that a restart is needed Error %d", static_cast<int>(error));
    Inform(session, L"%ls waits for the next restart of the system.", what);
}

bool IsRestartPending() {
    UniqueRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRestartPendingKey, 0, KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS;
}

DWORD MoveAside(const std::wstring& path, std::wstring& aside) {
    size_t slash = path.find_last_of(L'\\');
    std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
    wchar_t name[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"bxh", 0, name)) return GetLastError();  // made, empty
    if (!MoveFileExW(path.c_str(), name, MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        DeleteFileW(name);
        return error;
    }
    aside = name;
    return ERROR_SUCCESS;
}

DWORD DeleteNowOrAtRestart(Session& session, const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ERROR_SUCCESS;
    if (!MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return GetLastError();
    MarkRestartPending(session, (L"Deleting " + path).c_str());
    return ERROR_SUCCESS;
}

}  // namespace bx::installer
