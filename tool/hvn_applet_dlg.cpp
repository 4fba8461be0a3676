#include "tool/hvn_applet_dlg.h"

#include <shellapi.h>

#include <vector>

#include "agent/settings/settings_reader.h"
#include "platform/win/admin_security.h"
#include "platform/win/os_version.h"
#include "tool/firewall.h"
#include "tool/service_details.h"
#include "tool/tool_resources.h"
#include "tool/tool_rules.h"

using bx::tool::ReadRegistryDword;
using bx::tool::ReadRegistryString;

namespace {

constexpr wchar_t kAgentServiceName[] = L"bxhvns";
constexpr wchar_t kMessageCaption[] = L"Halvern";
constexpr wchar_t kBadSecretText[] =
    L"Incorrect Encryption key entered.\nPlease enter an even number of digits and use(0-9,a-f, A-F) only!";
constexpr wchar_t kLongSecretText[] =
    L"Incorrect Encryption key entered.\nPlease enter at most 16 digits and use(0-9,a-f, A-F) only!";
constexpr wchar_t kBadPortText[] = L"Incorrect Appliance Port entered.\nPlease enter a number from 0 to 65535!";
constexpr wchar_t kSecretHiddenChar = 0x25CF;

// Each value is written through its own open of the key (created when
// missing, for SYSTEM and Administrators only: it holds the shared secret); a
// key that cannot be opened skips the value, silently.
bx::win::UniqueRegKey OpenSettingsForWrite() {
    bx::win::UniqueRegKey key;
    bx::win::CreateAdminOnlyKey(bx::kSettingsKeyPath, KEY_SET_VALUE, key);
    return key;
}

void WriteString(const wchar_t* name, const std::wstring& text) {
    bx::win::UniqueRegKey key = OpenSettingsForWrite();
    if (!key) return;
    if (text.empty()) {
        ::RegDeleteValueW(key.get(), name);
        return;
    }
    ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void WriteDword(const wchar_t* name, DWORD value) {
    bx::win::UniqueRegKey key = OpenSettingsForWrite();
    if (!key) return;
    ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Each entry carries its number as item data: Apply writes what is selected.
void FillList(HWND list, const bx::tool::Choices& choices) {
    ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (uint32_t n : choices.entries) {
        LRESULT index = ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(n).c_str()));
        if (index >= 0) ::SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(n));
    }
    ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(choices.selection), 0);
}

// The number of the selected entry, or false when none is selected.
bool SelectedNumber(HWND list, DWORD& number) {
    LRESULT index = ::SendMessageW(list, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return false;
    LRESULT data = ::SendMessageW(list, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    if (data == CB_ERR) return false;
    number = static_cast<DWORD>(data);
    return true;
}

std::optional<uint32_t> StoredNumber(const wchar_t* name) {
    DWORD value = 0;
    if (ReadRegistryDword(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, name, value) != 0) return std::nullopt;
    return value;
}

}  // namespace

CHvnAppletDlg::CHvnAppletDlg() : PropertyPage(L"Settings", PSP_HASHELP) {
    comResult_ = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (SUCCEEDED(comResult_) || comResult_ == RPC_E_CHANGED_MODE) InitFireWall(profile_);
}

CHvnAppletDlg::~CHvnAppletDlg() {
    profile_.reset();
    if (SUCCEEDED(comResult_)) ::CoUninitialize();
}

void CHvnAppletDlg::LoadSettings() {
    std::wstring text;
    if (ReadRegistryString(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, L"ip", text) == 0)
        bx::ui::SetItemText(Hwnd(), IDC_ADDRESS, text);
    DWORD value = 0;
    currentPort_ = 0;
    if (ReadRegistryDword(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, L"port", value) == 0) {
        currentPort_ = value;
        bx::ui::SetItemText(Hwnd(), IDC_PORT, std::to_wstring(static_cast<long>(value)));
    }
    if (ReadRegistryString(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, L"key", text) == 0 &&
        text.size() < bx::tool::kShownSecretLimit)
        bx::ui::SetItemText(Hwnd(), IDC_SECRET, text);
    retries_ = StoredNumber(L"Retries");
    timeOut_ = StoredNumber(L"TimeOut");
    verbose_ = ReadRegistryDword(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, L"Verbose", value) == 0 ? value : 0;
}

BOOL CHvnAppletDlg::OnInitDialog() {
    loading_ = true;
    LoadSettings();
    ::SendMessageW(Hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bx::ui::LoadResIcon(IDI_TOOL, false)));
    ::SendMessageW(Hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(bx::ui::LoadResIcon(IDI_TOOL, true)));
    FillList(Item(IDC_RETRIES), bx::tool::ListChoices(bx::tool::kRetriesFirst, bx::tool::kRetriesLast,
                                                      bx::tool::kRetriesAbsent, retries_));
    FillList(Item(IDC_TIMEOUT), bx::tool::ListChoices(bx::tool::kTimeOutFirst, bx::tool::kTimeOutLast,
                                                      bx::tool::kTimeOutAbsent, timeOut_));
    ::CheckDlgButton(Hwnd(), IDC_VERBOSE, verbose_ != 0 ? BST_CHECKED : BST_UNCHECKED);
    ::SendDlgItemMessageW(Hwnd(), IDC_SECRET, EM_SETPASSWORDCHAR, kSecretHiddenChar, 0);
    secretEdited_ = false;
    loading_ = false;
    return TRUE;
}

bool CHvnAppletDlg::OnCommand(int id, int code) {
    switch (id) {
        case IDOK:
            if (code == BN_CLICKED) OnBnClickedApply();
            return true;
        case IDCANCEL:
            return true;  // the page's hidden Cancel button must not end anything
        case IDC_SHOW_SECRET:
            if (code == BN_CLICKED) OnBnClickedShowSecret();
            return true;
        case IDC_VERBOSE:
            if (code == BN_CLICKED) OnBnClickedVerbose();
            return true;
        case IDC_SECRET:
            if (code == EN_CHANGE && !loading_) secretEdited_ = true;
            return true;
        default:
            return false;
    }
}

void CHvnAppletDlg::OnBnClickedShowSecret() {
    UINT state = ::IsDlgButtonChecked(Hwnd(), IDC_SHOW_SECRET);
    if (state == BST_INDETERMINATE) return;
    ::SendDlgItemMessageW(Hwnd(), IDC_SECRET, EM_SETPASSWORDCHAR, state == BST_CHECKED ? 0 : kSecretHiddenChar, 0);
    ::InvalidateRect(Item(IDC_SECRET), nullptr, TRUE);
}

void CHvnAppletDlg::OnBnClickedVerbose() {
    verbose_ = ::IsDlgButtonChecked(Hwnd(), IDC_VERBOSE) == BST_CHECKED ? 1 : 0;
}

void CHvnAppletDlg::OnBnClickedApply() {
    if (secretEdited_) {
        switch (bx::tool::CheckSecret(bx::ui::GetItemText(Hwnd(), IDC_SECRET))) {
            case bx::tool::SecretCheck::kOk:
                break;
            case bx::tool::SecretCheck::kBadFormat:
                ::MessageBoxW(Hwnd(), kBadSecretText, kMessageCaption, MB_OK | MB_ICONERROR);
                return;
            case bx::tool::SecretCheck::kTooLong:
                ::MessageBoxW(Hwnd(), kLongSecretText, kMessageCaption, MB_OK | MB_ICONERROR);
                return;
        }
    }
    if (!bx::tool::PortInRange(bx::tool::ParsePortField(bx::ui::GetItemText(Hwnd(), IDC_PORT)))) {
        ::MessageBoxW(Hwnd(), kBadPortText, kMessageCaption, MB_OK | MB_ICONERROR);
        return;
    }
    if (SaveSettings()) RestartAgent();
}

bool CHvnAppletDlg::SaveSettings() {
    WriteString(L"ip", bx::ui::GetItemText(Hwnd(), IDC_ADDRESS));

    if (profile_) FireWallPortRemove(profile_.get(), static_cast<LONG>(currentPort_));
    long port = bx::tool::ParsePortField(bx::ui::GetItemText(Hwnd(), IDC_PORT));
    currentPort_ = static_cast<uint32_t>(port);
    WriteDword(L"port", currentPort_);
    if (port != 0 && profile_)
        FireWallPortAdd(profile_.get(), port, bx::tool::FirewallEntryName(bx::ui::LoadResString(IDS_PRODUCT), port));

    if (secretEdited_) {
        WriteString(L"key", bx::ui::GetItemText(Hwnd(), IDC_SECRET));
        secretEdited_ = false;
    }
    DWORD number = 0;
    if (SelectedNumber(Item(IDC_RETRIES), number)) WriteDword(L"Retries", number);
    if (SelectedNumber(Item(IDC_TIMEOUT), number)) WriteDword(L"TimeOut", number);
    WriteDword(L"verbose", verbose_);
    return true;  // registry and firewall failures are not reported
}

void CHvnAppletDlg::RestartAgent() {
    bx::win::UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return;
    bx::win::UniqueScHandle service(::OpenServiceW(manager.get(), kAgentServiceName, SERVICE_QUERY_CONFIG));
    if (!service) return;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed == 0) return;
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed) || !config->lpBinaryPathName) return;
    std::wstring program = bx::tool::ProgramPathFromImagePath(config->lpBinaryPathName);
    if (program.empty()) return;

    HINSTANCE result = ::ShellExecuteW(Hwnd(), bx::win::IsVistaOrLater() ? L"RunAs" : L"Open", program.c_str(),
                                       L"-restart", nullptr, SW_HIDE);
    if (reinterpret_cast<INT_PTR>(result) <= 32) {
        DWORD error = ::GetLastError();
        // "Failed to start Service:%s Error:%d"
        std::wstring text =
            L"Failed to start Service:" + program + L" Error:" + std::to_wstring(static_cast<int>(error));
        ::MessageBoxW(Hwnd(), text.c_str(), bx::ui::LoadResString(IDS_PRODUCT).c_str(), MB_OK | MB_ICONERROR);
    }
}
