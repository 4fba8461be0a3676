// Driving a Windows program's windows from a test program of its own, across
// processes, so that no test can block on a window: find top-level windows by
// title and class, switch property-sheet pages, read and set control texts,
// press buttons, read message boxes (caption, text, icon, buttons) and answer
// them, and save screenshots of the X screen with ImageMagick.
//
// Every cross-process message is sent with a time-out; a button whose handler
// may open a modal message box is pressed asynchronously (PressButton).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win/handles.h"

namespace bx::test {

// A GUI program started by the test; terminated when the owner goes if it
// has not ended by then.
class GuiProgram {
public:
    GuiProgram() = default;
    explicit GuiProgram(const std::wstring& commandLine) { Start(commandLine); }
    ~GuiProgram() { Terminate(); }
    GuiProgram(const GuiProgram&) = delete;
    GuiProgram& operator=(const GuiProgram&) = delete;
    bool Start(const std::wstring& commandLine);
    DWORD Pid() const { return pid_; }
    HANDLE Process() const { return process_.get(); }
    bool Running() const;
    // Waits for the end; false on time-out.
    bool Wait(DWORD timeoutMs);
    DWORD ExitCode() const;
    void Terminate();

private:
    bx::win::UniqueHandle process_;
    DWORD pid_ = 0;
};

// Top-level windows. An empty title or class matches any; pid 0 any process.
std::vector<HWND> FindTopWindows(const std::wstring& title, const std::wstring& className = L"", DWORD pid = 0,
                                 bool visibleOnly = true);
HWND WaitForTopWindow(const std::wstring& title, const std::wstring& className, DWORD pid, DWORD timeoutMs);
DWORD ProcessOf(HWND window);
std::wstring ClassOf(HWND window);

// Texts and states of windows in another process (time-outs give "" / -1).
std::wstring TextOf(HWND window);
bool SetTextOf(HWND window, const std::wstring& text);
std::wstring ItemText(HWND dialog, int id);
// Sets an edit control's text as typing would (WM_SETTEXT; the control tells
// its dialog with EN_CHANGE).
bool SetItemText(HWND dialog, int id, const std::wstring& text);
bool ItemVisible(HWND dialog, int id);
int CheckState(HWND dialog, int id);  // BST_*, or -1
int ComboSelection(HWND dialog, int id);
std::wstring ComboSelectedText(HWND dialog, int id);
std::vector<std::wstring> ComboEntries(HWND dialog, int id);
// Selects an entry as the user would (CB_SETCURSEL, then CBN_SELCHANGE).
bool SelectComboEntry(HWND dialog, int id, int index);

// Property sheets.
HWND CurrentPage(HWND sheet);
int CurrentPageIndex(HWND sheet);
// PSM_SETCURSEL (the page gets PSN_SETACTIVE and is shown); true when the
// sheet shows that page afterwards.
bool SelectPage(HWND sheet, int index, DWORD timeoutMs = 15000);

// Message boxes: dialogs (#32770) of `pid` other than `exclude`.
HWND FindMessageBox(DWORD pid, HWND exclude);
HWND WaitForMessageBox(DWORD pid, HWND exclude, DWORD timeoutMs);
enum class BoxIcon { kNone, kError, kWarning, kInformation, kQuestion, kUnknown };
struct MessageBoxContent {
    std::wstring caption;
    std::wstring text;
    BoxIcon icon = BoxIcon::kNone;
    std::vector<int> buttons;  // control ids (IDOK, IDCANCEL, ...)
};
MessageBoxContent ReadMessageBox(HWND box);
// Presses a button of the box (posted: the box closes on its own thread).
bool AnswerMessageBox(HWND box, int buttonId);

// Runs a program that shows one message box and then ends ("bxhvns.exe
// -restart"): reads the box, saves a screenshot at `screenshotPath` (a Linux
// path; none when empty), answers OK, checks that no second box follows and
// waits for the program's end (ended by force after timeoutMs).
struct BoxedRun {
    bool started = false;
    bool boxShown = false;
    bool secondBox = false;
    bool ended = false;
    MessageBoxContent box;
    DWORD exitCode = 0;
};
BoxedRun RunWithOneMessageBox(const std::wstring& commandLine, const std::string& screenshotPath,
                              DWORD timeoutMs = 60000);

// Presses a button (BN_CLICKED to its dialog) and returns when the handler
// has returned, or as soon as a message box of the dialog's process opens
// (returned; the handler is then still running inside the box). `done` tells
// which; false on both after timeoutMs.
struct PressResult {
    bool done = false;
    HWND messageBox = nullptr;
};
PressResult PressButton(HWND dialog, int id, DWORD timeoutMs = 30000);

// Sets a check box's state and presses it, as a click that leaves it in that
// state would (BM_SETCHECK, then PressButton).
bool PressCheckBox(HWND dialog, int id, int state, DWORD timeoutMs = 30000);

// Waits until every message the window's thread has been sent so far is
// handled (a sent WM_NULL comes back).
bool Sync(HWND window, DWORD timeoutMs = 15000);

// Repaints a top-level window and its children now and waits until its
// thread has drawn them (before a screenshot).
bool Repaint(HWND window, DWORD timeoutMs = 15000);

// Saves a PNG of the whole X screen (ImageMagick `import -window root`) at a
// Linux path; the Wine process starts the Linux program directly. True when
// the file exists and has stopped growing within timeoutMs. Screenshots are
// for people to look at: only a run with BX_SCREENSHOTS=1 in its environment
// (scripts/screenshots) takes them; otherwise this does nothing and answers
// true.
bool SaveScreenshot(const std::string& unixPngPath, DWORD timeoutMs = 20000);

}  // namespace bx::test
