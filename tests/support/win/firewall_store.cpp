// The test side of firewall_store.dll: its registry list and registration.
#include "tests/support/win/firewall_store.h"

#include <cstdio>

#include "platform/win/handles.h"

namespace bx::test {

namespace {

constexpr const wchar_t* kClassIds[] = {L"{304CE942-6E39-40D8-943A-B913C40C9CD4}",
                                        L"{0CA545C6-37AD-4A6C-BF92-9F7610067EF5}"};

std::wstring ReadSz(HKEY key, const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return std::wstring(buffer);
}

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD otherwise) {
    DWORD value = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return otherwise;
    return value;
}

void WriteSz(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

std::vector<OpenPortEntry> ReadOpenPorts() {
    std::vector<OpenPortEntry> entries;
    bx::win::UniqueRegKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFirewallStoreKey, 0, KEY_READ, list.put()) != ERROR_SUCCESS) return entries;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(list.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        bx::win::UniqueRegKey entryKey;
        if (RegOpenKeyExW(list.get(), name, 0, KEY_READ, entryKey.put()) != ERROR_SUCCESS) continue;
        OpenPortEntry entry;
        entry.name = ReadSz(entryKey.get(), L"Name");
        entry.port = static_cast<long>(ReadDword(entryKey.get(), L"Port", 0));
        entry.protocol = static_cast<long>(ReadDword(entryKey.get(), L"Protocol", 0));
        entry.enabled = ReadDword(entryKey.get(), L"Enabled", 0) != 0;
        entries.push_back(entry);
    }
    return entries;
}

void ClearOpenPorts() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kFirewallStoreKey); }

void AddOpenPort(const OpenPortEntry& entry) {
    wchar_t subkey[64];
    std::swprintf(subkey, 64, L"%ld-%ld", entry.protocol, entry.port);
    std::wstring path = std::wstring(kFirewallStoreKey) + L"\\" + subkey;
    bx::win::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    WriteSz(key.get(), L"Name", entry.name);
    DWORD port = static_cast<DWORD>(entry.port), protocol = static_cast<DWORD>(entry.protocol),
          enabled = entry.enabled ? 1 : 0;
    RegSetValueExW(key.get(), L"Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port), sizeof port);
    RegSetValueExW(key.get(), L"Protocol", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&protocol), sizeof protocol);
    RegSetValueExW(key.get(), L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled), sizeof enabled);
}

FirewallStoreRegistration::FirewallStoreRegistration(const std::wstring& dllPath) {
    ok_ = true;
    for (const wchar_t* clsid : kClassIds) {
        std::wstring path = std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + clsid + L"\\InprocServer32";
        Saved saved;
        saved.clsid = clsid;
        bx::win::UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
            saved.existed = true;
            saved.server = ReadSz(key.get(), nullptr);
            saved.threading = ReadSz(key.get(), L"ThreadingModel");
        }
        saved_.push_back(saved);
        bx::win::UniqueRegKey write;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, write.put(),
                            nullptr) != ERROR_SUCCESS) {
            ok_ = false;
            continue;
        }
        WriteSz(write.get(), nullptr, dllPath);
        WriteSz(write.get(), L"ThreadingModel", L"Both");
    }
}

FirewallStoreRegistration::~FirewallStoreRegistration() {
    for (const Saved& saved : saved_) {
        std::wstring path = L"SOFTWARE\\Classes\\CLSID\\" + saved.clsid + L"\\InprocServer32";
        if (!saved.existed) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
            continue;
        }
        bx::win::UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) continue;
        WriteSz(key.get(), nullptr, saved.server);
        if (!saved.threading.empty()) WriteSz(key.get(), L"ThreadingModel", saved.threading);
    }
}

}  // namespace bx::test
