// Test helpers that drive another program's message box from a test program,
// so that a test never blocks on it: find the box a process shows, read its
// caption, text and icon, save a screenshot, press a button. The display is an
// X server of the test's own (Xvfb); there is no window manager.
#pragma once
#include <windows.h>

#include <string>

namespace bx::test {

// The first visible dialog-class ("#32770") top-level window of the process,
// waiting up to timeoutMs for one; null when none appeared.
HWND FindMessageBox(DWORD processId, DWORD timeoutMs);

std::wstring WindowText(HWND window);
// The text of the message box (its static text control).
std::wstring MessageBoxText(HWND box);

// Which of the system's icons the box shows, told by its pixels on the screen
// against each system icon drawn on the box's own background.
enum class BoxIcon { None, Error, Information, Warning, Question, Unknown };
BoxIcon MessageBoxIcon(HWND box);
const char* BoxIconName(BoxIcon icon);

// Saves the window as it shows on the screen to pngPath (a Windows path),
// through ImageMagick's import. True when the PNG file exists afterwards.
bool SaveWindowPng(HWND window, const std::wstring& pngPath);

// Presses a button of the box (IDOK by default) and waits up to timeoutMs
// for the box to go away; false when it stayed.
bool PressMessageBoxButton(HWND box, int buttonId = IDOK, DWORD timeoutMs = 5000);

}  // namespace bx::test
