// Silent deployment: the appliance settings given to the package as public
// properties (UTM_IP, UTM_PORT, UTM_KEY, UTM_TIMEOUT, UTM_RETRIES, VERBOSE)
// reach the agent's settings key. The package hands them to the deferred
// action WriteSettings as "NAME=value;NAME=value"; values left empty are not
// written, so that an upgrade without them keeps what is stored.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "installer/custom_actions.h"

namespace bx::installer {

struct SettingValue {
    std::wstring property;  // UTM_PORT
    std::wstring value;     // as given
};

// Splits CustomActionData into its properties; false with the reason for a
// part that is not NAME=value or names an unknown property.
bool ParseSettings(const std::wstring& data, std::vector<SettingValue>& values, std::wstring& why);

// Checks one value against what the agent and the settings applet accept;
// false with the reason.
bool CheckSetting(const SettingValue& value, std::wstring& why);

// Writes the given values under HKLM\SOFTWARE\Brontavex\HVNAgent\Settings
// (ip and key as REG_SZ, the rest as REG_DWORD); nothing is written unless
// every value is valid, and the values replaced are kept in the installation
// journal first (installer/install_journal.h). 0, or the error. A rejected
// UTM_KEY is reported without its value.
DWORD WriteSettings(Session& session, const std::vector<SettingValue>& values);

// The custom action: reads CustomActionData; 0, or ERROR_INSTALL_FAILURE
// after reporting what is wrong.
UINT WriteSettingsAction(Session& session);

// The rollback: puts back the values WriteSettings replaced and deletes
// those it added (and the key, when it made it and nothing else is in it).
// Always 0.
UINT WriteSettingsRollback(Session& session);

// The immediate check before anything is installed: reads the public
// properties themselves; 0, or ERROR_INSTALL_FAILURE after reporting the
// first value that is wrong.
UINT CheckSettingsAction(Session& session);

}  // namespace bx::installer
