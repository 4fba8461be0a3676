#include "agent/program/reset_options.h"

#include <cstdint>

#include "agent/settings/settings_reader.h"
#include "platform/case_fold.h"
#include "platform/errors.h"
#include "platform/settings_store.h"

namespace bx::maintenance {

namespace {

bool SameName(const std::wstring& a, const wchar_t* b) {
    std::wstring other(b);
    if (a.size() != other.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (bx::FoldChar(a[i]) != bx::FoldChar(other[i])) return false;
    return true;
}

// "-x" first, then "/x" when the first is empty.
std::wstring DashThenSlash(const OptionPairs& pairs, const wchar_t* name, bool* present) {
    bool dash = false, slash = false;
    std::wstring value = OptionValue(pairs, (std::wstring(L"-") + name).c_str(), &dash);
    if (value.empty()) value = OptionValue(pairs, (std::wstring(L"/") + name).c_str(), &slash);
    if (present) *present = dash || slash;
    return value;
}

void WriteValue(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text) {
    settings::Key key;
    uint32_t rc = settings::OpenKey(keyPath, settings::Access::Set, key);
    if (rc == err::kFileNotFound) rc = settings::CreateKey(keyPath, settings::Access::Set, key);
    if (rc != 0) return;  // skipped
    std::vector<uint8_t> bytes = StoredBytesFromText(text);
    key.SetValue(name, settings::kTypeString, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace

bool IsOption(const std::wstring& argument) {
    return argument.size() >= 2 && (argument[0] == L'-' || argument[0] == L'/') &&
           !(argument[1] >= L'0' && argument[1] <= L'9');
}

OptionPairs ParseOptionPairs(const std::vector<std::wstring>& arguments) {
    OptionPairs pairs;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (!IsOption(arguments[i])) continue;
        const std::wstring& option = arguments[i];
        std::wstring value;
        if (i + 1 < arguments.size() && !IsOption(arguments[i + 1])) value = arguments[++i];
        pairs.emplace_back(option, value);
    }
    return pairs;
}

std::wstring OptionValue(const OptionPairs& pairs, const wchar_t* name, bool* present) {
    std::wstring value;
    bool found = false;
    for (const auto& pair : pairs) {
        if (SameName(pair.first, name)) {
            value = pair.second;
            found = true;
        }
    }
    if (present) *present = found;
    return value;
}

ResetValues ResetValuesOf(const OptionPairs& pairs) {
    ResetValues values;
    values.pmUrl = DashThenSlash(pairs, L"pm_url", nullptr);
    values.lmUrl = DashThenSlash(pairs, L"lm_url", nullptr);
    values.id = DashThenSlash(pairs, L"plnid", &values.idOptionGiven);
    return values;
}

bool RunReset(const std::vector<std::wstring>& arguments, const wchar_t* keyPath,
              const std::function<void()>& setEvent) {
    ResetValues values = ResetValuesOf(ParseOptionPairs(arguments));
    if (values.idOptionGiven && values.id.empty()) return false;
    if (!values.id.empty()) WriteValue(keyPath, kPlnIdValue, values.id);
    if (!values.pmUrl.empty()) WriteValue(keyPath, kPmUrlValue, values.pmUrl);
    if (!values.lmUrl.empty()) WriteValue(keyPath, kLmUrlValue, values.lmUrl);
    if (setEvent) setEvent();
    return true;
}

}  // namespace bx::maintenance
