#include "installer/appliance_settings.h"

#include <cwctype>

#include "installer/install_journal.h"
#include "platform/win/admin_security.h"
#include "platform/win/handles.h"

namespace bx::installer {

namespace {

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";

enum class Kind { Address, Port, Key, Number, Flag };

struct PropertyRule {
    const wchar_t* property;
    const wchar_t* valueName;  // under the settings key
    Kind kind;
    unsigned long low, high;  // for numbers
};

const PropertyRule kRules[] = {
    {L"UTM_IP", L"ip", Kind::Address, 0, 0},
    {L"UTM_PORT", L"port", Kind::Port, 1, 65535},
    {L"UTM_KEY", L"key", Kind::Key, 0, 0},
    {L"UTM_TIMEOUT", L"TimeOut", Kind::Number, 1, 3600},
    {L"UTM_RETRIES", L"Retries", Kind::Number, 0, 100},
    {L"VERBOSE", L"verbose", Kind::Flag, 0, 1},
};

const PropertyRule* RuleOf(const std::wstring& property) {
    for (const auto& rule : kRules)
        if (property == rule.property) return &rule;
    return nullptr;
}

bool Decimal(const std::wstring& text, unsigned long& number) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value > 0xFFFFFFFFull) return false;
    number = static_cast<unsigned long>(value);
    return true;
}

// The rejected value is shown, except the key's: even a wrong key is close
// to the secret it was meant to be.
void ReportInvalid(Session& session, const SettingValue& value, const std::wstring& why) {
    const PropertyRule* rule = RuleOf(value.property);
    if (rule && rule->kind == Kind::Key)
        Report(session, L"Invalid %ls: expected %ls.", value.property.c_str(), why.c_str());
    else
        Report(session, L"Invalid %ls \"%ls\": expected %ls.", value.property.c_str(), value.value.c_str(),
               why.c_str());
}

// The journal section of WriteSettings (installer/install_journal.h): the
// names it writes ("Written"), whether the settings key was there
// ("KeyExisted"), and the values it replaces as they were (subkey "Saved").
constexpr wchar_t kSettingsSection[] = L"Settings";

// Copies a value as it is stored (type and bytes); 0 or the error.
LONG CopyValue(HKEY from, HKEY to, const wchar_t* name) {
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExW(from, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<BYTE> data(size);
    rc = RegQueryValueExW(from, name, nullptr, &type, data.data(), &size);
    if (rc != ERROR_SUCCESS) return rc;
    return RegSetValueExW(to, name, 0, type, data.data(), size);
}

DWORD SaveForRollback(const std::vector<SettingValue>& values) {
    JournalSection journal;
    if (DWORD error = journal.Begin(kSettingsSection)) return error;
    bx::win::UniqueRegKey settings, saved;
    const bool existed =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE, settings.put()) == ERROR_SUCCESS;
    LONG rc = RegCreateKeyExW(journal.Key(), L"Saved", 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                              saved.put(), nullptr);
    std::wstring written;  // REG_MULTI_SZ
    for (const auto& value : values) {
        const wchar_t* name = RuleOf(value.property)->valueName;
        written.append(name).push_back(L'\0');
        if (rc == ERROR_SUCCESS && existed) {
            rc = CopyValue(settings.get(), saved.get(), name);
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // not there: the rollback deletes it
        }
    }
    written.push_back(L'\0');
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(journal.Key(), L"Written", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(written.data()),
                            static_cast<DWORD>(written.size() * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS) rc = static_cast<LONG>(journal.SetDword(L"KeyExisted", existed ? 1 : 0));
    return static_cast<DWORD>(rc);
}

}  // namespace

bool ParseSettings(const std::wstring& data, std::vector<SettingValue>& values, std::wstring& why) {
    values.clear();
    size_t at = 0;
    while (at <= data.size()) {
        size_t end = data.find(L';', at);
        if (end == std::wstring::npos) end = data.size();
        std::wstring part = data.substr(at, end - at);
        at = end + 1;
        if (part.empty()) continue;
        size_t eq = part.find(L'=');
        if (eq == std::wstring::npos) {
            why = L"\"" + part + L"\" is not NAME=value";
            return false;
        }
        SettingValue value{part.substr(0, eq), part.substr(eq + 1)};
        if (!RuleOf(value.property)) {
            why = L"unknown property " + value.property;
            return false;
        }
        if (!value.value.empty()) values.push_back(std::move(value));
    }
    return true;
}

bool CheckSetting(const SettingValue& value, std::wstring& why) {
    const PropertyRule* rule = RuleOf(value.property);
    if (!rule) {
        why = L"unknown property " + value.property;
        return false;
    }
    const std::wstring& text = value.value;
    unsigned long number = 0;
    switch (rule->kind) {
        case Kind::Address: {
            bool ok = !text.empty() && text.size() <= 255;
            for (wchar_t c : text)
                if (!(iswalnum(c) && c < 128) && c != L'.' && c != L'-') ok = false;
            if (!ok) why = L"the appliance's IPv4 address or host name";
            return ok;
        }
        case Kind::Key: {
            bool ok = !text.empty() && text.size() <= 16 && text.size() % 2 == 0;
            for (wchar_t c : text)
                if (!iswxdigit(c) || c > 127) ok = false;
            if (!ok) why = L"an even number of hexadecimal digits (0-9, a-f, A-F), at most 16";
            return ok;
        }
        case Kind::Port:
        case Kind::Number:
        case Kind::Flag: {
            bool ok = Decimal(text, number) && number >= rule->low && number <= rule->high;
            if (!ok) why = L"a whole number from " + std::to_wstring(rule->low) + L" to " + std::to_wstring(rule->high);
            return ok;
        }
    }
    return false;
}

DWORD WriteSettings(Session& session, const std::vector<SettingValue>& values) {
    for (const auto& value : values) {
        std::wstring why;
        if (!CheckSetting(value, why)) {
            ReportInvalid(session, value, why);
            return ERROR_INVALID_DATA;
        }
    }
    if (values.empty()) return ERROR_SUCCESS;
    if (DWORD error = SaveForRollback(values)) {
        Report(session, L"Failed to record the settings for the rollback Error %d", static_cast<int>(error));
        return error;
    }
    // For SYSTEM and Administrators only: it holds the shared secret.
    bx::win::UniqueRegKey key;
    LONG rc = static_cast<LONG>(bx::win::CreateAdminOnlyKey(kSettingsKey, KEY_SET_VALUE, key));
    if (rc != ERROR_SUCCESS) {
        Report(session, L"Failed to open the agent's settings key. Error %d", static_cast<int>(rc));
        return static_cast<DWORD>(rc);
    }
    for (const auto& value : values) {
        const PropertyRule* rule = RuleOf(value.property);
        if (rule->kind == Kind::Address || rule->kind == Kind::Key) {
            rc = RegSetValueExW(key.get(), rule->valueName, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(value.value.c_str()),
                                static_cast<DWORD>((value.value.size() + 1) * sizeof(wchar_t)));
        } else {
            unsigned long number = 0;
            Decimal(value.value, number);
            DWORD dword = static_cast<DWORD>(number);
            rc = RegSetValueExW(key.get(), rule->valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword),
                                sizeof dword);
        }
        if (rc != ERROR_SUCCESS) {
            Report(session, L"Failed to write the setting %ls. Error %d", rule->valueName, static_cast<int>(rc));
            return static_cast<DWORD>(rc);
        }
    }
    return ERROR_SUCCESS;
}

UINT CheckSettingsAction(Session& session) {
    for (const auto& rule : kRules) {
        std::vector<wchar_t> buffer(kCustomActionDataMaxChars + 1, L'\0');
        DWORD length = static_cast<DWORD>(buffer.size());
        UINT rc = session.GetProperty(rule.property, buffer.data(), &length);
        if (rc != ERROR_SUCCESS) {
            Report(session, L"Failed to read the property %ls. Error %d", rule.property, static_cast<int>(rc));
            return ERROR_INSTALL_FAILURE;
        }
        SettingValue value{rule.property, std::wstring(buffer.data(), length)};
        std::wstring why;
        if (!value.value.empty() && !CheckSetting(value, why)) {
            ReportInvalid(session, value, why);
            return ERROR_INSTALL_FAILURE;
        }
    }
    return ERROR_SUCCESS;
}

UINT WriteSettingsAction(Session& session) {
    std::vector<wchar_t> buffer(kCustomActionDataMaxChars + 1, L'\0');
    DWORD length = static_cast<DWORD>(buffer.size());
    UINT rc = session.GetProperty(L"CustomActionData", buffer.data(), &length);
    if (rc != ERROR_SUCCESS) {
        Report(session, L"Internal Error - Failed to get CustomActionData from installer.");
        return ERROR_INSTALL_FAILURE;
    }
    std::vector<SettingValue> values;
    std::wstring why;
    if (!ParseSettings(std::wstring(buffer.data(), length), values, why)) {
        Report(session, L"Internal installer error - settings not understood: %ls", why.c_str());
        return ERROR_INSTALL_FAILURE;
    }
    return WriteSettings(session, values) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

UINT WriteSettingsRollback(Session& session) {
    JournalSection journal;
    if (journal.Open(kSettingsSection) != ERROR_SUCCESS) return ERROR_SUCCESS;  // nothing written
    wchar_t written[1024] = {};
    DWORD size = sizeof written - 2 * sizeof(wchar_t);  // room for the list's end
    RegGetValueW(journal.Key(), nullptr, L"Written", RRF_RT_REG_MULTI_SZ, nullptr, written, &size);
    bx::win::UniqueRegKey settings, saved;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, settings.put());
    RegOpenKeyExW(journal.Key(), L"Saved", 0, KEY_QUERY_VALUE, saved.put());
    for (const wchar_t* name = written; rc == ERROR_SUCCESS && *name; name += wcslen(name) + 1) {
        LONG restored = saved ? CopyValue(saved.get(), settings.get(), name) : ERROR_FILE_NOT_FOUND;
        if (restored == ERROR_FILE_NOT_FOUND) restored = RegDeleteValueW(settings.get(), name);
        if (restored != ERROR_SUCCESS && restored != ERROR_FILE_NOT_FOUND)
            Report(session, L"Failed to restore the setting %ls. Error %d", name, static_cast<int>(restored));
    }
    // A key this installation made goes again when nothing else is in it.
    DWORD values = 0, subkeys = 0;
    if (rc == ERROR_SUCCESS && !journal.GetDword(L"KeyExisted", 1) &&
        RegQueryInfoKeyW(settings.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        values == 0 && subkeys == 0) {
        settings.reset();
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSettingsKey);
    }
    journal.Delete();
    return ERROR_SUCCESS;
}

}  // namespace bx::installer
