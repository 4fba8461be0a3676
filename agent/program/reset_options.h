// The "reset" maintenance option: the whole command line read as option/value
// pairs, and the values PLNID, PM_URL and LM_URL written for a companion agent
// under the product's own key. Portable: the values go through the settings
// store; the reset event is set by the caller's function.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bx::maintenance {

// Where the reset option writes its values (HKEY_LOCAL_MACHINE\...).
constexpr wchar_t kResetKeyPath[] = L"SOFTWARE\\Brontavex\\HVNAgent\\PLN";
constexpr wchar_t kPlnIdValue[] = L"PLNID";
constexpr wchar_t kPmUrlValue[] = L"PM_URL";
constexpr wchar_t kLmUrlValue[] = L"LM_URL";

using OptionPairs = std::vector<std::pair<std::wstring, std::wstring>>;

// An argument that starts with "-" or "/" followed by a character that is
// not a decimal digit is an option (kept with its leading character); the
// next argument is its value unless it is itself an option or there is none
// (then the value is empty). Other arguments that follow no option are
// skipped.
bool IsOption(const std::wstring& argument);
OptionPairs ParseOptionPairs(const std::vector<std::wstring>& arguments);

// The value of an option (compared without regard to case; the last one
// given wins); empty when the option is absent. `present` tells whether it was given.
std::wstring OptionValue(const OptionPairs& pairs, const wchar_t* name, bool* present = nullptr);

// What the reset procedure writes.
struct ResetValues {
    bool idOptionGiven = false;  // "-plnid" or "/plnid" present
    std::wstring id, pmUrl, lmUrl;
};
// "-x" first, "/x" when that is empty, for plnid, pm_url and lm_url.
ResetValues ResetValuesOf(const OptionPairs& pairs);

// The reset procedure: writes each non-empty value (REG_SZ with its
// terminator) under keyPath, creating the key when it is missing (a value
// whose key cannot be opened or created is skipped), then calls setEvent.
// Returns false, with nothing written and no event set, when "plnid" was
// given but both its values are empty; true otherwise (the command becomes
// "nothing further").
bool RunReset(const std::vector<std::wstring>& arguments, const wchar_t* keyPath,
              const std::function<void()>& setEvent);

}  // namespace bx::maintenance
