// HVNCA.dll: the custom actions the product's Windows Installer package calls.
// Each export takes the installer session handle and returns the custom
// action's result; nothing thrown inside crosses the export.
#include <windows.h>
#include <msi.h>

#include "installer/appliance_settings.h"
#include "installer/custom_actions.h"

extern "C" {

__declspec(dllexport) UINT __stdcall Install(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::Install(session);
    } catch (...) {
        return bx::installer::kInstallFailed;
    }
}

__declspec(dllexport) UINT __stdcall Uninstall(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::Uninstall(session);
    } catch (...) {
        return ERROR_SUCCESS;  // removal of the product goes on
    }
}

__declspec(dllexport) UINT __stdcall SetServiceRecovery(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::SetServiceRecovery(session);
    } catch (...) {
        return ERROR_SUCCESS;
    }
}

__declspec(dllexport) UINT __stdcall RemoveAgentFiles(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::RemoveAgentFiles(session);
    } catch (...) {
        return ERROR_SUCCESS;
    }
}

// Writes the appliance settings given as public properties to the agent's
// settings key (installer/appliance_settings.h).
__declspec(dllexport) UINT __stdcall WriteSettings(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::WriteSettingsAction(session);
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}

// Checks the appliance settings before anything is installed.
__declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
    try {
        bx::installer::MsiSession session(install);
        return bx::installer::CheckSettingsAction(session);
    } catch (...) {
        return ERROR_INSTALL_FAILURE;
    }
}

}  // extern "C"
