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

extern "C" {

__declspec(dllexport) UINT __stdcall Install(MSIHANDLE install) {
    return Run(install, bx::installer::Install, bx::installer::kInstallFailed);
}

// Removal of the product goes on whatever happens.
__declspec(dllexport) UINT __stdcall Uninstall(MSIHANDLE install) {
    return Run(install, bx::installer::Uninstall, ERROR_SUCCESS);
}

__declspec(dllexport) UINT __stdcall SetServiceRecovery(MSIHANDLE install) {
    return Run(install, bx::installer::SetServiceRecovery, ERROR_SUCCESS);
}

__declspec(dllexport) UINT __stdcall RemoveAgentFiles(MSIHANDLE install) {
    return Run(install, bx::installer::RemoveAgentFiles, ERROR_SUCCESS);
}

// Writes the appliance settings given as public properties to the agent's
// settings key (installer/appliance_settings.h).
__declspec(dllexport) UINT __stdcall WriteSettings(MSIHANDLE install) {
    return Run(install, bx::installer::WriteSettingsAction, ERROR_INSTALL_FAILURE);
}

// Checks the appliance settings before anything is installed.
__declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    return Run(install, bx::installer::CheckSettingsAction, ERROR_INSTALL_FAILURE);
}

__declspec(dllexport) UINT __stdcall SecureProgramFolder(MSIHANDLE install) {
    return Run(install, bx::installer::SecureProgramFolder, ERROR_INSTALL_FAILURE);
}

// Rollback and commit actions: they report, and never stop the installer.
__declspec(dllexport) UINT __stdcall InstallRollback(MSIHANDLE install) {
    return Run(install, bx::installer::InstallRollback, ERROR_SUCCESS);
}

__declspec(dllexport) UINT __stdcall UninstallRollback(MSIHANDLE install) {
    return Run(install, bx::installer::UninstallRollback, ERROR_SUCCESS);
}

__declspec(dllexport) UINT __stdcall WriteSettingsRollback(MSIHANDLE install) {
    return Run(install, bx::installer::WriteSettingsRollback, ERROR_SUCCESS);
}

__declspec(dllexport) UINT __stdcall CommitInstallation(MSIHANDLE install) {
    return Run(install, bx::installer::CommitInstallation, ERROR_SUCCESS);
}

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
