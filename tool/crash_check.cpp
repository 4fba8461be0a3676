#include "tool/crash_check.h"

#include <cwchar>

#include "tool/save_dialog.h"
#include "tool/tool_resources.h"
#include "tool/tool_text.h"
#include "tool/tsr_page.h"
#include "tool/tsr_report.h"
#include "tool/zip_writer.h"

namespace {

constexpr wchar_t kHeaderClass[] = L"BXDialogHeader";
constexpr wchar_t kDumpName[] = L"HVNCrash.dmp";
constexpr wchar_t kArchiveName[] = L"HVNCrashReport.zip";

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring(L".\\");
}

}  // namespace

// --- CDialogHeader -----------------------------------------------------------

CDialogHeader::~CDialogHeader() {
    if (hwnd_ && ::IsWindow(hwnd_)) ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
}

void CDialogHeader::CreateFonts() {
    if (!titleFont_) {
        LOGFONTW font{};
        font.lfHeight = 15;
        font.lfWeight = FW_BOLD;
        wcscpy_s(font.lfFaceName, L"Tahoma");
        titleFont_.reset(::CreateFontIndirectW(&font));
    }
    if (!textFont_) {
        LOGFONTW font{};
        font.lfHeight = 13;
        font.lfWeight = FW_NORMAL;
        wcscpy_s(font.lfFaceName, L"Tahoma");
        textFont_.reset(::CreateFontIndirectW(&font));
    }
}

int CDialogHeader::ComputeHeight(HDC dc, int width) {
    CreateFonts();
    int iconHeight = ::GetSystemMetrics(SM_CYICON) + 2 * kMargin;
    int textLeft = kMargin + ::GetSystemMetrics(SM_CXICON) + kIconGap;
    int textWidth = width - textLeft - kMargin;
    if (textWidth < 10) textWidth = 10;
    RECT title{0, 0, textWidth, 0}, text{0, 0, textWidth, 0};
    HGDIOBJ old = ::SelectObject(dc, titleFont_.get());
    ::DrawTextW(dc, title_.c_str(), -1, &title, DT_CALCRECT | DT_SINGLELINE);
    ::SelectObject(dc, textFont_.get());
    if (!text_.empty()) ::DrawTextW(dc, text_.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK);
    ::SelectObject(dc, old);
    int textHeight = kMargin + (title.bottom - title.top) + (text.bottom - text.top) + 2 * kMargin;
    int height = iconHeight > textHeight ? iconHeight : textHeight;
    return height < kMinHeight ? kMinHeight : height;
}

void CDialogHeader::Paint(HDC dc, const RECT& client) {
    CreateFonts();
    ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_WINDOW));
    RECT frame = client;
    ::DrawEdge(dc, &frame, EDGE_ETCHED, BF_BOTTOM);
    int iconSize = ::GetSystemMetrics(SM_CXICON);
    if (icon_)
        ::DrawIconEx(dc, kMargin, kMargin, icon_, iconSize, ::GetSystemMetrics(SM_CYICON), 0, nullptr, DI_NORMAL);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
    RECT text{kMargin + iconSize + kIconGap, kMargin, client.right - kMargin, client.bottom - kMargin};
    HGDIOBJ old = ::SelectObject(dc, titleFont_.get());
    if (text_.empty()) {
        ::DrawTextW(dc, title_.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
    } else {
        RECT title = text;
        ::DrawTextW(dc, title_.c_str(), -1, &title, DT_CALCRECT | DT_SINGLELINE);
        ::DrawTextW(dc, title_.c_str(), -1, &title, DT_SINGLELINE | DT_END_ELLIPSIS);
        ::SelectObject(dc, textFont_.get());
        RECT body = text;
        body.top = title.bottom + kMargin;
        ::DrawTextW(dc, text_.c_str(), -1, &body, DT_WORDBREAK | DT_END_ELLIPSIS | DT_EDITCONTROL);
    }
    ::SelectObject(dc, old);
}

LRESULT CALLBACK CDialogHeader::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        auto* self = reinterpret_cast<CDialogHeader*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == WM_ERASEBKGND) {
            return 1;
        } else if (message == WM_PAINT && self) {
            PAINTSTRUCT paint;
            HDC dc = ::BeginPaint(hwnd, &paint);
            RECT client;
            ::GetClientRect(hwnd, &client);
            self->Paint(dc, client);
            ::EndPaint(hwnd, &paint);
            return 0;
        }
    } catch (...) {
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

void CDialogHeader::Attach(HWND dialog) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kHeaderClass;
    ::RegisterClassW(&windowClass);  // fails harmlessly when already registered

    RECT window;
    ::GetWindowRect(dialog, &window);
    int width = window.right - window.left;
    HDC dc = ::GetDC(dialog);
    height_ = ComputeHeight(dc, width);
    ::ReleaseDC(dialog, dc);

    // Every control moves down by the band's height; the dialog grows by it.
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT rect;
        ::GetWindowRect(child, &rect);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
        ::SetWindowPos(child, nullptr, rect.left, rect.top + height_, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    ::SetWindowPos(dialog, nullptr, 0, 0, width, window.bottom - window.top + height_, SWP_NOMOVE | SWP_NOZORDER);
    hwnd_ = ::CreateWindowExW(0, kHeaderClass, L"", WS_CHILD | WS_VISIBLE | WS_BORDER, -1, -1, width, height_, dialog,
                              nullptr, ::GetModuleHandleW(nullptr), this);
}

// --- CErrorDlg ---------------------------------------------------------------

CErrorDlg::CErrorDlg() : Dialog(MAKEINTRESOURCEW(IDD_ERROR)) {}

bool CErrorDlg::CheckCrashDump() {
    std::wstring path = CTSRReport::ProgramDirectory() + kDumpName;
    if (!Exists(path)) return false;
    dumpPath_ = path;
    return true;
}

void CErrorDlg::BuildArchive() {
    if (dumpPath_.empty()) return;
    std::wstring archive = TempDirectory() + kArchiveName;
    if (Exists(archive)) {
        std::wstring old = bx::tool::OldName(archive);
        if (Exists(old)) ::DeleteFileW(old.c_str());
        ::MoveFileW(archive.c_str(), old.c_str());
    }
    // Failures are not shown (the dialog offers whatever archive exists), but
    // they decide what may be deleted later: only a dump the archive holds.
    CZLib zip;
    const bool open = zip.Open(archive);
    const bool dumpAdded = open && zip.AddFile(dumpPath_);
    std::wstring oldDump = bx::tool::OldName(dumpPath_);
    const bool oldDumpAdded = open && Exists(oldDump) && zip.AddFile(oldDump);
    std::wstring report = TSRTemporaryReportPath();
    CreateTSRReport(report);
    zip.AddFile(report);
    const bool written = zip.Close();
    archivePath_ = archive;
    archiveHoldsDump_ = written && dumpAdded;
    archiveHoldsOldDump_ = written && oldDumpAdded;
    ::DeleteFileW(report.c_str());
}

BOOL CErrorDlg::OnInitDialog() {
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    BuildArchive();
    ::SetCursor(previous);
    header_.SetIcon(bx::ui::LoadResIcon(IDI_CRASH, false));
    header_.SetTitle(bx::ui::LoadResString(IDS_CRASH_TITLE));
    header_.SetText(bx::ui::LoadResString(IDS_CRASH_TEXT));
    header_.Attach(hwnd_);
    if (!mailAvailable_) {
        ::EnableWindow(Item(IDOK), FALSE);
        ::SendMessageW(Item(IDOK), BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        ::SendMessageW(hwnd_, DM_SETDEFID, IDC_ERROR_SAVE_AS, 0);
        ::SendMessageW(Item(IDC_ERROR_SAVE_AS), BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        ::SetFocus(Item(IDC_ERROR_SAVE_AS));
        return FALSE;  // the focus is set
    }
    return TRUE;
}

bool CErrorDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return false;
    switch (id) {
        case IDC_ERROR_SAVE_AS:
            OnBnClickedSaveAs();
            return true;
        case IDOK:
            if (!mailAvailable_) {
                OnBnClickedSaveAs();  // Enter with Send disabled
                return true;
            }
            EndDialog(IDOK);
            return true;
        case IDCANCEL:
            OnExit();
            return true;
        default:
            return false;
    }
}

void CErrorDlg::OnBnClickedSaveAs() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    bx::ui::SaveDialogOptions options;
    options.defaultName = bx::tool::CrashReportDefaultName(now);
    options.title = bx::ui::LoadResString(IDS_SAVE_ERROR_REPORT);
    options.filter = bx::ui::LoadResString(IDS_ZIP_FILTER);
    options.defaultExtension = bx::ui::LoadResString(IDS_ZIP_EXTENSION);
    options.noChangeDirectory = true;
    std::wstring target = bx::ui::ShowSaveDialog(nullptr, options);
    if (target.empty()) return;
    if (::CopyFileW(archivePath_.c_str(), target.c_str(), FALSE)) {
        if (archiveHoldsDump_) ::DeleteFileW(dumpPath_.c_str());
        return;
    }
    DWORD error = ::GetLastError();
    std::wstring format = bx::ui::LoadResString(IDS_SAVE_FAILED);
    std::wstring message = bx::tool::SystemMessage(error);
    std::wstring text = format;
    size_t insert = text.find(L"%1");
    if (insert != std::wstring::npos) text.replace(insert, 2, message);
    ::MessageBoxW(hwnd_, text.c_str(), bx::ui::LoadResString(IDS_FILE_ERROR).c_str(),
                  MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void CErrorDlg::OnExit() {
    if (!dumpPath_.empty()) {
        std::wstring old = bx::tool::OldName(dumpPath_);
        ::DeleteFileW(old.c_str());
        ::MoveFileW(dumpPath_.c_str(), old.c_str());  // errors ignored (a dump Save As already deleted)
    }
    EndDialog(IDCANCEL);
}

// --- the flow ----------------------------------------------------------------

namespace bx::tool {

std::wstring OldName(const std::wstring& path) {
    if (path.size() < 4) return path + L"_old";
    return path.substr(0, path.size() - 4) + L"_old" + path.substr(path.size() - 4);
}

std::wstring CrashReportDefaultName(const SYSTEMTIME& utcTime) {
    unsigned hour12 = utcTime.wHour % 12u == 0 ? 12u : utcTime.wHour % 12u;
    wchar_t stamp[32];
    int length = std::swprintf(stamp, 32, L"%02u%02u%02u%02u%02u%02u", utcTime.wMonth % 100u, utcTime.wDay % 100u,
                               utcTime.wYear % 100u, hour12, utcTime.wMinute % 100u, utcTime.wSecond % 100u);
    return L"HVNReport_" + std::wstring(stamp, length > 0 ? static_cast<size_t>(length) : 0);
}

bool MailAvailable() {
    if (::GetProfileIntW(L"MAIL", L"MAPI", 0) == 0) return false;
    const std::wstring library = MailLibraryPath();
    return !library.empty() && Exists(library);
}

void CheckCrashDump(HWND sheet) {
    CErrorDlg dialog;
    if (!dialog.CheckCrashDump()) return;
    dialog.SetMailAvailable(MailAvailable());
    if (dialog.DoModal(sheet) != IDOK) return;
    if (SendMailTSRReport(sheet, dialog.ArchivePath(), kSupportAddress, kSupportName, kMailSubject) != 1) return;
    // A dump the archive does not hold was not sent: it stays, and the
    // dialog comes again at the next start.
    if (!dialog.ArchiveHoldsDump()) return;
    ::DeleteFileW(dialog.ArchivePath().c_str());
    ::DeleteFileW(dialog.DumpPath().c_str());
    if (dialog.ArchiveHoldsOldDump()) ::DeleteFileW(OldName(dialog.DumpPath()).c_str());
}

}  // namespace bx::tool
