#include "tool/tsr_sheet.h"

#include "platform/win/handles.h"
#include "tool/crash_check.h"
#include "tool/tool_resources.h"

std::wstring TSRUserKeyPath() { return L"SOFTWARE\\Brontavex\\" + bx::ui::LoadResString(IDS_PRODUCT) + L"\\TSR"; }

namespace {

bx::win::UniqueRegKey OpenUserKeyForWrite() {
    bx::win::UniqueRegKey key;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, TSRUserKeyPath().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr);
    return key;
}

}  // namespace

CTSRSheet::CTSRSheet() {
    AddPage(settings_);
    AddPage(stats_);
    AddPage(reports_);
    AddPage(about_);
}

INT_PTR CTSRSheet::Run(unsigned startPage) {
    return DoModal(nullptr, bx::ui::LoadResString(IDS_PRODUCT), PSH_NOAPPLYNOW | PSH_NOCONTEXTHELP, startPage);
}

void CTSRSheet::OnInitialized() {
    HWND sheet = Hwnd();
    // Close is the only way out: no OK, no Help; Cancel becomes "&Close" in
    // the Help button's place, 10 pixels to the left.
    HWND help = ::GetDlgItem(sheet, IDHELP);
    HWND ok = ::GetDlgItem(sheet, IDOK);
    HWND cancel = ::GetDlgItem(sheet, IDCANCEL);
    if (help && cancel) {
        RECT rect{};
        ::GetWindowRect(help, &rect);
        ::MapWindowPoints(nullptr, sheet, reinterpret_cast<POINT*>(&rect), 2);
        ::OffsetRect(&rect, -10, 0);
        ::MoveWindow(cancel, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, TRUE);
    }
    if (help) ::ShowWindow(help, SW_HIDE);
    if (ok) ::ShowWindow(ok, SW_HIDE);
    if (cancel) ::SetWindowTextW(cancel, bx::ui::LoadResString(IDS_CLOSE).c_str());

    ::SendMessageW(sheet, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bx::ui::LoadResIcon(IDI_TOOL, false)));
    ::SendMessageW(sheet, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(bx::ui::LoadResIcon(IDI_TOOL, true)));

    if (bx::win::UniqueRegKey key = OpenUserKeyForWrite()) {
        unsigned long long handle = reinterpret_cast<ULONG_PTR>(sheet);
        ::RegSetValueExW(key.get(), kSheetHandleValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&handle),
                         sizeof handle);
    }

    bx::tool::CheckCrashDump(sheet);
}

void CTSRSheet::OnDestroy() {
    if (bx::win::UniqueRegKey key = OpenUserKeyForWrite()) ::RegDeleteValueW(key.get(), kSheetHandleValue);
}
