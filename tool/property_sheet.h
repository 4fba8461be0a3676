// A thin C++ layer over comctl32's property sheet and dialog boxes, just what
// the tool needs: a modal property sheet, its pages, a modal dialog, and a few
// control helpers. Each object travels to its dialog procedure in the
// creation parameter (PROPSHEETPAGE.lParam for a page), is stored in the
// window's DWLP_USER slot at WM_INITDIALOG, and the messages the tool handles
// become virtual methods. No exception leaves a dialog procedure.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace bx::ui {

// Control helpers on a dialog window.
std::wstring GetText(HWND window);
std::wstring GetItemText(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::wstring& text);
std::wstring LoadResString(UINT id);
// The module's icon resource `id` at the system's big or small icon size.
HICON LoadResIcon(UINT id, bool small);

// The base of pages and dialogs: a window handle and the message hooks.
class DialogWindow {
public:
    virtual ~DialogWindow() = default;
    HWND Hwnd() const { return hwnd_; }
    HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }

protected:
    // Return TRUE to let the dialog manager set the focus (WM_INITDIALOG).
    virtual BOOL OnInitDialog() { return TRUE; }
    // WM_COMMAND; true when handled.
    virtual bool OnCommand(int /*id*/, int /*code*/) { return false; }
    virtual void OnShowWindow(bool /*shown*/) {}
    virtual void OnDestroy() {}
    // Any other message: true when handled (result in `result`).
    virtual bool OnMessage(UINT /*message*/, WPARAM, LPARAM, INT_PTR& /*result*/) { return false; }
    // Dispatches one message to the hooks above.
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
};

// A modal dialog from a template of the module.
class Dialog : public DialogWindow {
public:
    explicit Dialog(const wchar_t* templateName) : template_(templateName) {}
    INT_PTR DoModal(HWND parent);
    void EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    const wchar_t* template_;
};

// One page of a PropertySheet, from a dialog template of the module.
class PropertyPage : public DialogWindow {
public:
    PropertyPage(const wchar_t* templateName, DWORD flags = 0) : template_(templateName), flags_(flags) {}
    PROPSHEETPAGEW Describe();
    HWND Sheet() const { return ::GetParent(hwnd_); }

protected:
    // PSN_SETACTIVE: return 0 to accept the activation.
    virtual LONG_PTR OnSetActive() { return 0; }
    // PSN_APPLY: return PSNRET_NOERROR or PSNRET_INVALID.
    virtual LONG_PTR OnApply() { return PSNRET_NOERROR; }

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    const wchar_t* template_;
    DWORD flags_;
};

// A modal property sheet of pages that the derived class owns.
class PropertySheet {
public:
    virtual ~PropertySheet() = default;
    HWND Hwnd() const { return hwnd_; }
    // Runs the sheet; returns PropertySheetW's result (-1 on failure).
    INT_PTR DoModal(HWND parent, const std::wstring& caption, DWORD flags, UINT startPage);

protected:
    void AddPage(PropertyPage& page) { pages_.push_back(&page); }
    // After comctl32 has built the sheet window (its buttons exist).
    virtual void OnInitialized() {}
    // WM_DESTROY of the sheet window, before comctl32's own handling.
    virtual void OnDestroy() {}

private:
    static int CALLBACK Callback(HWND hwnd, UINT message, LPARAM lParam);
    static LRESULT CALLBACK Subclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR refData);
    HWND hwnd_ = nullptr;
    std::vector<PropertyPage*> pages_;
};

}  // namespace bx::ui
