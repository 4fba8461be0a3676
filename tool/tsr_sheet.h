// CTSRSheet: the tool's property sheet and its four pages.
#pragma once
#include <string>

#include "tool/about_page.h"
#include "tool/dlg_stats.h"
#include "tool/hvn_applet_dlg.h"
#include "tool/property_sheet.h"
#include "tool/tsr_page.h"

// HKEY_CURRENT_USER "SOFTWARE\Brontavex\<product>\TSR", value "HWND": the
// open sheet's window handle (8 bytes).
std::wstring TSRUserKeyPath();
constexpr wchar_t kSheetHandleValue[] = L"HWND";

class CTSRSheet : public bx::ui::PropertySheet {
public:
    CTSRSheet();
    // Runs the sheet modally, opening at `startPage`.
    INT_PTR Run(unsigned startPage);

protected:
    void OnInitialized() override;
    void OnDestroy() override;

private:
    CHvnAppletDlg settings_;
    CDlgStats stats_;
    CTSRPage reports_;
    CAboutPage about_;
};
