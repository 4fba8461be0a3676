// What the window tests of BXHVNTSR.exe share: each case runs its own copy
// of the tool in a fresh folder of its own (the tool looks for its logs,
// dumps and status file beside itself), finds the sheet, switches pages,
// finds the dialogs the tool opens and saves screenshots; at the end the
// sheet is closed and the tool ended.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/win/process_runner.h"
#include "tests/support/win/window_driver.h"

namespace bx::test {

// The system time now.
FILETIME Now();
// Every whole second from `from` to `to` (both included), as UTC or local
// times: the times a name stamped between the two readings may carry.
std::vector<SYSTEMTIME> SecondsBetween(const FILETIME& from, const FILETIME& to, bool local);

class ToolFixture : public testing::Test {
protected:
    static constexpr const wchar_t* kSheetTitle = L"Brontavex Halvern";
    // The tool's per-user key (its last page and window state).
    static constexpr const wchar_t* kToolUserKey = L"SOFTWARE\\Brontavex\\Brontavex Halvern\\TSR";

    // Clears the tool's user key and makes "<test dir><group>\<case>\" anew
    // with a copy of BXHVNTSR.exe (a blank in `group` makes sure the tool's
    // paths are quoted where they must be).
    void PrepareToolFolder(const std::wstring& group);
    void TearDown() override;

    // Starts the tool from its folder and waits for its sheet; null (and a
    // failure) when none came.
    HWND StartTool(const std::wstring& arguments = L"", DWORD timeoutMs = 30000);
    // Switches the sheet to the page and returns the page's window.
    HWND Page(int index);
    // Presses the sheet's Close button and waits for the tool to end.
    void CloseSheet();
    // A dialog (#32770) of the tool's process other than the sheet and
    // `others`; null after timeoutMs.
    HWND WaitForDialog(const std::vector<HWND>& others, DWORD timeoutMs = 20000);
    // Saves "tool_<name>.png" of the screen after repainting `window` (the
    // sheet when null) and any message box over it.
    void Screenshot(const std::string& name, HWND window = nullptr);

    GuiProgram tool_;
    HWND sheet_ = nullptr;
    std::wstring dir_;
};

}  // namespace bx::test
