// The crash report the sheet offers when it opens: when the agent has left
// a crash dump in the program directory, the dump, the previous dump and a
// fresh troubleshooting report are packed into a zip archive and the crash
// report dialog offers to mail it to support, save it, or dismiss it.
#pragma once
#include <windows.h>

#include <string>

#include "platform/win/handles.h"
#include "tool/property_sheet.h"

// A band across the top of a dialog: icon, bold title, word-wrapped text.
class CDialogHeader {
public:
    CDialogHeader() = default;
    ~CDialogHeader();
    CDialogHeader(const CDialogHeader&) = delete;
    CDialogHeader& operator=(const CDialogHeader&) = delete;

    void SetIcon(HICON icon) { icon_ = icon; }
    void SetTitle(const std::wstring& title) { title_ = title; }
    void SetText(const std::wstring& text) { text_ = text; }
    // Makes the dialog taller by the band's height, moves its controls down
    // and creates the band as a child at the top.
    void Attach(HWND dialog);
    int Height() const { return height_; }
    HWND Hwnd() const { return hwnd_; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateFonts();
    int ComputeHeight(HDC dc, int width);
    void Paint(HDC dc, const RECT& client);

    HWND hwnd_ = nullptr;
    HICON icon_ = nullptr;
    std::wstring title_, text_;
    bx::win::UniqueGdiObject titleFont_, textFont_;
    int height_ = 60;
    static constexpr int kMargin = 5;
    static constexpr int kIconGap = 10;
    static constexpr int kMinHeight = 60;
};

// The crash report dialog (template 425).
class CErrorDlg : public bx::ui::Dialog {
public:
    CErrorDlg();
    // True when the agent's crash dump exists; remembers its path.
    bool CheckCrashDump();
    void SetMailAvailable(bool available) { mailAvailable_ = available; }
    const std::wstring& DumpPath() const { return dumpPath_; }
    const std::wstring& ArchivePath() const { return archivePath_; }
    // Whether the archive was written whole and holds the dump (the old
    // dump): only then may Save As or Send delete it.
    bool ArchiveHoldsDump() const { return archiveHoldsDump_; }
    bool ArchiveHoldsOldDump() const { return archiveHoldsOldDump_; }

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;

private:
    void BuildArchive();
    void OnBnClickedSaveAs();
    void OnExit();

    std::wstring dumpPath_;
    std::wstring archivePath_;
    bool archiveHoldsDump_ = false;
    bool archiveHoldsOldDump_ = false;
    bool mailAvailable_ = false;
    CDialogHeader header_;
};

namespace bx::tool {

// "_old" inserted before the last four characters (".dmp", ".zip").
std::wstring OldName(const std::wstring& path);
// "HVNReport_<mmddyyhhmmss>" for a UTC time (12-hour clock, no AM/PM: hour
// 0 reads 12, hour 13 reads 01). Save As passes GetSystemTime's answer;
// tests pass fixed times.
std::wstring CrashReportDefaultName(const SYSTEMTIME& utcTime);
// Mail counts as available when win.ini's [MAIL] MAPI is not 0 and the
// system's MAPI32.DLL (MailLibraryPath) is there.
bool MailAvailable();

// Runs the crash report flow over `sheet` when a dump exists.
void CheckCrashDump(HWND sheet);

}  // namespace bx::tool
