#include "installer/appliance_settings.h"

#include <cwctype>

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
            Report(session, L"Invalid %ls \"%ls\": expected %ls.", value.property.c_str(), value.value.c_str(),
                   why.c_str());
            return ERROR_INVALID_DATA;
        }
    }
    if (values.empty()) return ERROR_SUCCESS;
    bx::win::UniqueRegKey key;
    LONG rc =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
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
            Report(session, L"Invalid %ls \"%ls\": expected %ls.", value.property.c_str(), value.value.c_str(),
                   why.c_str());
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

}  // namespace bx::installer
