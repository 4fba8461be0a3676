#include "tool/property_sheet.h"

namespace bx::ui {

namespace {

// The sheet whose PropertySheetW call is running on this thread: comctl32's
// sheet callback carries no pointer of its own.
thread_local PropertySheet* g_sheetInCreation = nullptr;

}  // namespace

std::wstring GetText(HWND window) {
    int length = ::GetWindowTextLengthW(window);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int got = ::GetWindowTextW(window, &text[0], length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

std::wstring GetItemText(HWND dialog, int id) { return GetText(::GetDlgItem(dialog, id)); }

void SetItemText(HWND dialog, int id, const std::wstring& text) { ::SetDlgItemTextW(dialog, id, text.c_str()); }

std::wstring LoadResString(UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW gives a pointer to the resource itself.
    int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

HICON LoadResIcon(UINT id, bool small) {
    int cx = ::GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
    int cy = ::GetSystemMetrics(small ? SM_CYSMICON : SM_CYICON);
    return static_cast<HICON>(
        ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, cx, cy, LR_SHARED));
}

INT_PTR DialogWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
        case WM_SHOWWINDOW:
            OnShowWindow(wParam != FALSE);
            return FALSE;
        case WM_DESTROY:
            OnDestroy();
            return FALSE;
        default: {
            INT_PTR result = 0;
            if (OnMessage(message, wParam, lParam, result)) {
                ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
                return TRUE;
            }
            return FALSE;
        }
    }
}

INT_PTR Dialog::DoModal(HWND parent) {
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), template_, parent, Proc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Dialog::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_INITDIALOG) {
            ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            reinterpret_cast<Dialog*>(lParam)->hwnd_ = hwnd;
        }
        auto* self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!self) return FALSE;
        INT_PTR result = self->Dispatch(message, wParam, lParam);
        if (message == WM_NCDESTROY) self->hwnd_ = nullptr;
        return result;
    } catch (...) {
        return FALSE;
    }
}

PROPSHEETPAGEW PropertyPage::Describe() {
    PROPSHEETPAGEW page{};
    page.dwSize = sizeof page;
    page.dwFlags = flags_;
    page.hInstance = ::GetModuleHandleW(nullptr);
    page.pszTemplate = template_;
    page.pfnDlgProc = Proc;
    page.lParam = reinterpret_cast<LPARAM>(this);
    return page;
}

INT_PTR CALLBACK PropertyPage::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_INITDIALOG) {
            auto* self = reinterpret_cast<PropertyPage*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
            ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
            self->hwnd_ = hwnd;
        }
        auto* self = reinterpret_cast<PropertyPage*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
        if (!self) return FALSE;
        if (message == WM_NOTIFY) {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            LONG_PTR result = 0;
            if (header->code == PSN_SETACTIVE)
                result = self->OnSetActive();
            else if (header->code == PSN_APPLY)
                result = self->OnApply();
            else
                return self->Dispatch(message, wParam, lParam);
            ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
        INT_PTR result = self->Dispatch(message, wParam, lParam);
        if (message == WM_NCDESTROY) self->hwnd_ = nullptr;
        return result;
    } catch (...) {
        return FALSE;
    }
}

INT_PTR PropertySheet::DoModal(HWND parent, const std::wstring& caption, DWORD flags, UINT startPage) {
    std::vector<PROPSHEETPAGEW> pages;
    for (PropertyPage* page : pages_) pages.push_back(page->Describe());
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = flags | PSH_PROPSHEETPAGE | PSH_USECALLBACK;
    header.hwndParent = parent;
    header.hInstance = ::GetModuleHandleW(nullptr);
    header.pszCaption = caption.c_str();
    header.nPages = static_cast<UINT>(pages.size());
    header.nStartPage = startPage < pages.size() ? startPage : 0;
    header.ppsp = pages.data();
    header.pfnCallback = Callback;
    g_sheetInCreation = this;
    INT_PTR result = ::PropertySheetW(&header);
    g_sheetInCreation = nullptr;
    hwnd_ = nullptr;
    return result;
}

int CALLBACK PropertySheet::Callback(HWND hwnd, UINT message, LPARAM) {
    try {
        if (message == PSCB_INITIALIZED && g_sheetInCreation) {
            PropertySheet* self = g_sheetInCreation;
            self->hwnd_ = hwnd;
            ::SetWindowSubclass(hwnd, Subclass, 1, reinterpret_cast<DWORD_PTR>(self));
            self->OnInitialized();
        }
    } catch (...) {
    }
    return 0;
}

LRESULT CALLBACK PropertySheet::Subclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR refData) {
    if (message == WM_DESTROY) {
        try {
            reinterpret_cast<PropertySheet*>(refData)->OnDestroy();
        } catch (...) {
        }
        ::RemoveWindowSubclass(hwnd, Subclass, 1);
    }
    return ::DefSubclassProc(hwnd, message, wParam, lParam);
}

}  // namespace bx::ui
