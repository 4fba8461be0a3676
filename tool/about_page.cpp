#include "tool/about_page.h"

#include "tool/file_version_info.h"
#include "tool/service_details.h"
#include "tool/tool_resources.h"

CAboutPage::CAboutPage() : PropertyPage(L"About") {}

BOOL CAboutPage::OnInitDialog() {
    try {
        HFONT pageFont = reinterpret_cast<HFONT>(::SendMessageW(Hwnd(), WM_GETFONT, 0, 0));
        LOGFONTW font{};
        if (pageFont && ::GetObjectW(pageFont, sizeof font, &font) == sizeof font) {
            font.lfWeight = FW_BOLD;
            boldFont_.reset(::CreateFontIndirectW(&font));
            if (boldFont_)
                ::SendMessageW(Item(IDC_SERVICE_GROUP), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.get()), TRUE);
        }
        CFileVersionInfo own;
        if (own.Load()) {
            bx::ui::SetItemText(Hwnd(), IDC_PRODUCT_NAME, own.GetString(L"ProductName"));
            std::wstring line = bx::ui::LoadResString(IDS_VERSION_LINE);
            size_t at = line.find(L"%1");
            if (at != std::wstring::npos) line.replace(at, 2, own.GetProductVersion());
            bx::ui::SetItemText(Hwnd(), IDC_TOOL_VERSION, line);
            bx::ui::SetItemText(Hwnd(), IDC_LEGAL, own.GetString(L"LegalCopyright"));
        }
        ServiceDetails details = GetServiceDetails(bx::ui::LoadResString(IDS_SERVICE_NAME));
        bx::ui::SetItemText(Hwnd(), IDC_SERVICE_STATUS, details.status);
        bx::ui::SetItemText(Hwnd(), IDC_SERVICE_VERSION, details.version);
    } catch (...) {
        // The page opens with whatever texts were set.
    }
    return TRUE;
}
