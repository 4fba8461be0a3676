// The new-style (Vista) save dialog through IFileSaveDialog, with an
// MFC-style filter text ("Name|pattern|Name|pattern|").
#pragma once
#include <windows.h>

#include <string>

namespace bx::ui {

struct SaveDialogOptions {
    std::wstring title;  // empty: the system's
    std::wstring defaultName;
    std::wstring defaultExtension;  // without the period
    std::wstring filter;
    bool noChangeDirectory = false;
};

// The chosen full path, or empty when the user cancelled or the dialog could
// not be shown. The overwrite prompt is on.
std::wstring ShowSaveDialog(HWND owner, const SaveDialogOptions& options);

}  // namespace bx::ui
