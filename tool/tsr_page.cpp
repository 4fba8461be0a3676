#include "tool/tsr_page.h"

#include <mapi.h>
#include <shellapi.h>

#include <cwchar>

#include "platform/win/handles.h"
#include "platform/win/system_paths.h"
#include "tool/save_dialog.h"
#include "tool/tool_resources.h"
#include "tool/tool_text.h"
#include "tool/tsr_report.h"

namespace {

using bx::tool::ToAnsi;

void MailError(HWND owner, const wchar_t* text) {
    ::MessageBoxW(owner, text, bx::ui::LoadResString(IDS_PRODUCT).c_str(), MB_OK | MB_ICONERROR);
}

// Keeps the tool's windows disabled and the mouse captured while the mail
// program's compose window is up; undone in reverse on the way out.
class ModalToMail {
public:
    explicit ModalToMail(HWND owner) : owner_(owner) {
        if (owner_) {
            ::SetCapture(owner_);
            ::SetFocus(nullptr);
            ::EnableWindow(owner_, FALSE);
        }
    }
    ~ModalToMail() {
        if (owner_) {
            ::ReleaseCapture();
            ::EnableWindow(owner_, TRUE);
            ::SetActiveWindow(owner_);
        }
    }
    ModalToMail(const ModalToMail&) = delete;
    ModalToMail& operator=(const ModalToMail&) = delete;

private:
    HWND owner_;
};

}  // namespace

std::wstring TSRDefaultFileName(const SYSTEMTIME& localTime) {
    wchar_t stamp[32];
    int length = std::swprintf(stamp, 32, L"%02u%02u%02u%02u%02u%02u", localTime.wMonth % 100u, localTime.wDay % 100u,
                               localTime.wYear % 100u, localTime.wHour % 100u, localTime.wMinute % 100u,
                               localTime.wSecond % 100u);
    return L"BX HVN TSR_" + std::wstring(stamp, length > 0 ? static_cast<size_t>(length) : 0) + L".txt";
}

std::wstring MailLibraryPath() { return bx::win::SystemFilePath(L"MAPI32.DLL"); }

int SendMailTSR(HWND owner, const std::wstring& subject, const std::vector<std::wstring>& attachments,
                const std::wstring& address, const std::wstring& displayName) {
    const std::wstring path = MailLibraryPath();
    bx::win::UniqueModule library(
        path.empty() ? nullptr : ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library) {
        MailError(owner, L"Unable to load mail system support.");
        return 0;
    }
    auto sendMail =
        reinterpret_cast<LPMAPISENDMAIL>(reinterpret_cast<void*>(::GetProcAddress(library.get(), "MAPISendMail")));
    auto resolveName = reinterpret_cast<LPMAPIRESOLVENAME>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), "MAPIResolveName")));
    auto freeBuffer =
        reinterpret_cast<LPMAPIFREEBUFFER>(reinterpret_cast<void*>(::GetProcAddress(library.get(), "MAPIFreeBuffer")));
    if (!sendMail || !resolveName || !freeBuffer) {
        library.reset();
        MailError(owner, L"Mail system DLL is invalid.");
        return 0;
    }

    std::string subjectText = ToAnsi(subject);
    std::vector<std::string> paths;
    for (const std::wstring& path : attachments) paths.push_back(ToAnsi(path));
    std::vector<MapiFileDesc> files(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        files[i].ulReserved = 0;
        files[i].flFlags = 0;
        files[i].nPosition = static_cast<ULONG>(-1);  // not placed in the body text
        files[i].lpszPathName = paths[i].data();
        files[i].lpszFileName = nullptr;
        files[i].lpFileType = nullptr;
    }
    MapiMessage message{};
    message.lpszSubject = subjectText.empty() ? nullptr : subjectText.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    MapiRecipDesc recipient{};
    lpMapiRecipDesc resolved = nullptr;
    std::string addressText = ToAnsi(address), displayText = ToAnsi(displayName);
    if (!address.empty()) {
        ULONG result = resolveName(0, 0, addressText.data(), 0, 0, &resolved);
        if (result != SUCCESS_SUCCESS) {
            if (result == MAPI_E_FAILURE)
                ::MessageBoxW(owner, L"Mail Programs (MAPI) is not configured", L"TSR Send Mail",
                              MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
            return 0;
        }
        recipient.ulRecipClass = MAPI_TO;
        if (resolved) {
            recipient.ulReserved = resolved->ulReserved;
            recipient.lpszName = resolved->lpszName;
            recipient.lpszAddress = resolved->lpszAddress;
            recipient.ulEIDSize = resolved->ulEIDSize;
            recipient.lpEntryID = resolved->lpEntryID;
        }
        if (!displayText.empty()) recipient.lpszName = displayText.data();
        message.nRecipCount = 1;
        message.lpRecips = &recipient;
    }

    ULONG sent;
    {
        ModalToMail modal(owner);
        sent = sendMail(0, reinterpret_cast<ULONG_PTR>(::GetDesktopWindow()), &message, MAPI_LOGON_UI | MAPI_DIALOG, 0);
    }
    if (resolved) freeBuffer(resolved);
    return sent == SUCCESS_SUCCESS ? 1 : 0;
}

int SendMailTSRReport(HWND owner, const std::wstring& attachment, const std::wstring& address,
                      const std::wstring& displayName, const std::wstring& subject) {
    return SendMailTSR(owner, subject, {attachment}, address, displayName);
}

BOOL CTSRPage::OnInitDialog() {
    bx::ui::SetItemText(hwnd_, IDC_TSR_DESCRIPTION, bx::ui::LoadResString(IDS_REPORTS_DESCRIPTION));
    return TRUE;
}

bool CTSRPage::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return false;
    switch (id) {
        case IDC_TSR_SAVE:
            OnBnClickedBtnSave();
            return true;
        case IDC_TSR_VIEW:
            OnBnClickedBtnView();
            return true;
        case IDC_TSR_SEND:
            OnBnClickedBtnSend();
            return true;
        default:
            return false;
    }
}

void CTSRPage::OnBnClickedBtnSave() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    bx::ui::SaveDialogOptions options;
    options.defaultName = TSRDefaultFileName(now);
    options.defaultExtension = L"txt";
    options.filter = L"Text Files (*.txt)|*.txt|All Files (*.*)|*.*|";
    std::wstring path = bx::ui::ShowSaveDialog(Sheet(), options);
    if (path.empty()) return;
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    CreateTSRReport(path);
    ::SetCursor(previous);
}

void CTSRPage::OnBnClickedBtnView() {
    std::wstring path = TSRTemporaryReportPath();
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    CreateTSRReport(path);
    ::SetCursor(previous);
    ::ShellExecuteW(Sheet(), L"Open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void CTSRPage::OnBnClickedBtnSend() {
    std::wstring path = TSRTemporaryReportPath();
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    CreateTSRReport(path);
    ::SetCursor(previous);
    SendMailTSRReport(Sheet(), path, kSupportAddress, kSupportName, kMailSubject);
}
