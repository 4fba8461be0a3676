// CDlgStats: the agent's request counters, read from the status record that
// the service writes when the tool sets its status-request event.
#pragma once
#include "tool/property_sheet.h"

class CDlgStats : public bx::ui::PropertyPage {
public:
    CDlgStats();
    void Refresh();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;
    void OnShowWindow(bool shown) override;
};
