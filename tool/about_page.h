// CAboutPage: the tool's product and version lines and the agent service's
// state.
#pragma once
#include "platform/win/handles.h"
#include "tool/property_sheet.h"

class CAboutPage : public bx::ui::PropertyPage {
public:
    CAboutPage();

protected:
    BOOL OnInitDialog() override;

private:
    bx::win::UniqueGdiObject boldFont_;
};
