// CTSRPage: the Reports page. Builds the troubleshooting report (CTSRReport)
// and saves it under a chosen name, opens it in the system's viewer, or mails
// it to support through simple MAPI. The mail routine is also the crash
// report dialog's.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tool/property_sheet.h"

// The maker's support mailbox, the recipient's display name and the subject
// of every mail the tool sends.
constexpr wchar_t kSupportAddress[] = L"hvn-support@brontavex.com";
constexpr wchar_t kSupportName[] = L"HVN Support";
constexpr wchar_t kMailSubject[] = L"BX HVN TSR Report";

// "BX HVN TSR_<mmddyyHHMMSS>.txt" for a local time (24-hour clock). Save As
// passes GetLocalTime's answer; tests pass fixed times.
std::wstring TSRDefaultFileName(const SYSTEMTIME& localTime);

// Where simple MAPI lives: the system's "MAPI32.DLL" in System32, which hands
// the calls to the mail program the system names as its default (mail
// programs register themselves there; they do not replace the file). Never
// a MAPI32.DLL of the current or the tool's folder. Empty when the system
// does not give its folder.
std::wstring MailLibraryPath();

// Simple MAPI through MailLibraryPath(), loaded at run time; 1 when the mail client
// accepted the message, else 0. `owner`'s windows are disabled while the
// mail program's compose window is up. Messages for a missing library, a
// missing function and an unconfigured mail system are shown here.
int SendMailTSR(HWND owner, const std::wstring& subject, const std::vector<std::wstring>& attachments,
                const std::wstring& address, const std::wstring& displayName);
// One attachment.
int SendMailTSRReport(HWND owner, const std::wstring& attachment, const std::wstring& address,
                      const std::wstring& displayName, const std::wstring& subject);

class CTSRPage : public bx::ui::PropertyPage {
public:
    CTSRPage() : PropertyPage(L"Reports") {}

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;

private:
    void OnBnClickedBtnSave();
    void OnBnClickedBtnView();
    void OnBnClickedBtnSend();
};
