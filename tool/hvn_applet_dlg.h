// CHvnAppletDlg: the Settings page. Shows and writes the agent's settings,
// keeps the Windows Firewall's globally open port for the appliance port,
// and restarts the agent so that it reads the new values.
#pragma once
#include <windows.h>
#include <netfw.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/win/handles.h"
#include "tool/property_sheet.h"

class CHvnAppletDlg : public bx::ui::PropertyPage {
public:
    CHvnAppletDlg();
    ~CHvnAppletDlg() override;

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;

private:
    void LoadSettings();
    void OnBnClickedApply();
    void OnBnClickedShowSecret();
    void OnBnClickedVerbose();
    bool SaveSettings();
    void RestartAgent();

    // As stored; empty when absent.
    std::optional<uint32_t> retries_;
    std::optional<uint32_t> timeOut_;
    uint32_t verbose_ = 0;
    uint32_t currentPort_ = 0;
    // The stored secret is kept unless the administrator edits the field:
    // a stored secret too long to be shown must not vanish at the next Apply.
    bool secretEdited_ = false;
    bool loading_ = false;
    HRESULT comResult_ = E_FAIL;
    bx::win::ComPtr<INetFwProfile> profile_;
};
