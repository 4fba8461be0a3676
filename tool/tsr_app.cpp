#include "tool/tsr_app.h"

#include <commctrl.h>

#include <memory>

#include "platform/win/system_paths.h"
#include "tool/property_sheet.h"
#include "tool/tool_resources.h"
#include "tool/tool_rules.h"
#include "tool/tsr_report.h"
#include "tool/tsr_sheet.h"

namespace {

void BringForward(HWND window) {
    ::ShowWindow(window, SW_RESTORE);
    ::BringWindowToTop(window);
    ::SetForegroundWindow(window);
}

LRESULT CALLBACK GuardWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

// The open sheet's handle from the per-user key.
void BringStoredSheetForward() {
    bx::win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, TSRUserKeyPath().c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    unsigned long long handle = 0;
    DWORD size = sizeof handle, type = 0;
    if (::RegQueryValueExW(key.get(), kSheetHandleValue, nullptr, &type, reinterpret_cast<BYTE*>(&handle), &size) !=
            ERROR_SUCCESS ||
        size != sizeof handle)
        return;
    HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(handle));
    if (::IsWindow(window)) BringForward(window);
}

}  // namespace

bool CSingleInstance::Acquire(const std::wstring& stem) {
    name_ = stem + L" Class";
    mutex_.reset(::CreateMutexW(nullptr, FALSE, name_.c_str()));
    DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        if (HWND first = ::FindWindowW(name_.c_str(), nullptr)) BringForward(first);
        return false;
    }
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = GuardWindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = name_.c_str();
    if (!::RegisterClassW(&windowClass)) {
        ::MessageBoxW(nullptr, L"Failed to register window class!", nullptr, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
        return false;
    }
    return true;
}

bool CTSRApp::InitInstance(const std::wstring& commandLine) {
    if (!instance_.Acquire(bx::ui::LoadResString(IDS_INSTANCE_STEM))) {
        BringStoredSheetForward();
        return false;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    reportPath_ = TSRTemporaryReportPath();

    auto sheet = std::make_unique<CTSRSheet>();
    sheet->Run(bx::tool::StartPageFromCommandLine(commandLine));
    return false;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
    // The tool runs elevated: no DLL of the current folder, whatever it holds.
    bx::win::RestrictDllSearchPath();
    try {
        CTSRApp app;
        app.InitInstance(commandLine ? commandLine : L"");
    } catch (...) {
        return 1;
    }
    return 0;
}
