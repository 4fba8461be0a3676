// HVNCA.dll: the custom actions the product's Windows Installer package calls.
// Each export takes the installer session handle and returns the custom
// action's result; nothing thrown inside crosses the export.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "installer/appliance_settings.h"
#include "installer/custom_actions.h"
#include "installer/install_journal.h"

namespace {

// Runs an action with the session behind `install`; what it throws becomes
// `onException`.
template <typename Action>
UINT Run(MSIHANDLE install, Action action, UINT onException) {
    try {
        bx::installer::MsiSession session(install);
        return action(session);
    } catch (...) {
        return onException;
    }
}

}  // namespace

// One export per action: the session behind the handle, and what an
// exception inside becomes.
#define BX_CUSTOM_ACTION(name, action, onException) \
    __declspec(dllexport) UINT __stdcall name(MSIHANDLE install) { return Run(install, action, onException); }

extern "C" {

BX_CUSTOM_ACTION(Install, bx::installer::Install, bx::installer::kInstallFailed)
// Removal of the product goes on whatever happens.
BX_CUSTOM_ACTION(Uninstall, bx::installer::Uninstall, ERROR_SUCCESS)
BX_CUSTOM_ACTION(SetServiceRecovery, bx::installer::SetServiceRecovery, ERROR_SUCCESS)
BX_CUSTOM_ACTION(RemoveAgentFiles, bx::installer::RemoveAgentFiles, ERROR_SUCCESS)
// The appliance settings given as public properties: checked before anything
// is installed, then written to the agent's settings key
// (installer/appliance_settings.h).
BX_CUSTOM_ACTION(CheckSettings, bx::installer::CheckSettingsAction, ERROR_INSTALL_FAILURE)
BX_CUSTOM_ACTION(WriteSettings, bx::installer::WriteSettingsAction, ERROR_INSTALL_FAILURE)
BX_CUSTOM_ACTION(SecureProgramFolder, bx::installer::SecureProgramFolder, ERROR_INSTALL_FAILURE)
BX_CUSTOM_ACTION(AwaitAgentServiceRemoval, bx::installer::AwaitAgentServiceRemoval, ERROR_INSTALL_FAILURE)
// Rollback and commit actions report, and never stop the installer.
BX_CUSTOM_ACTION(InstallRollback, bx::installer::InstallRollback, ERROR_SUCCESS)
BX_CUSTOM_ACTION(UninstallRollback, bx::installer::UninstallRollback, ERROR_SUCCESS)
BX_CUSTOM_ACTION(WriteSettingsRollback, bx::installer::WriteSettingsRollback, ERROR_SUCCESS)
BX_CUSTOM_ACTION(CommitInstallation, bx::installer::CommitInstallation, ERROR_SUCCESS)

// Immediate, after InstallFinalize: the installation ends with 3010 when a
// step waits for the next restart. Deferred actions cannot ask for the
// restart themselves (they run outside the session); they leave the note
// that this action reads (installer/install_journal.h).
__declspec(dllexport) UINT __stdcall CheckRestart(MSIHANDLE install) {
    try {
        if (bx::installer::IsRestartPending()) MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    } catch (...) {
    }
    return ERROR_SUCCESS;
}

}  // extern "C"
