// CTSRPage: the Reports page. The troubleshooting report (build, view, save,
// mail) is the second half of the tool; the page is empty until it lands.
#pragma once
#include "tool/property_sheet.h"

class CTSRPage : public bx::ui::PropertyPage {
public:
    CTSRPage() : PropertyPage(L"Reports") {}
};
