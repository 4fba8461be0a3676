#include "tests/support/win/message_box_driver.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bx::test {

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindDialogOfProcess(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (owner == search->processId && IsWindowVisible(window) && wcscmp(className, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

struct ChildSearch {
    HWND icon = nullptr;
    HWND text = nullptr;
};

BOOL CALLBACK FindChildren(HWND child, LPARAM parameter) {
    auto* search = reinterpret_cast<ChildSearch*>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    if (_wcsicmp(className, L"Static") != 0) return TRUE;
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        if (!search->icon) search->icon = child;
    } else if (!search->text && GetWindowTextLengthW(child) > 0) {
        search->text = child;
    }
    return TRUE;
}

// The screen's pixels of a rectangle, 32 bits each, top row first.
std::vector<DWORD> CapturePixels(const RECT& rect) {
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    std::vector<DWORD> pixels;
    if (width <= 0 || height <= 0) return pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// An icon drawn at (0,0) on a background of one colour, 32 bits a pixel.
std::vector<DWORD> DrawnIcon(HICON icon, int width, int height, DWORD background) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    std::fill(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height, background);
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    GdiFlush();
    std::vector<DWORD> pixels(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

std::string UnixPath(const std::wstring& windowsPath) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* unix = toUnix(windowsPath.c_str());
    if (!unix) return std::string();
    std::string path(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

}  // namespace

HWND FindMessageBox(DWORD processId, DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        Search search{processId, nullptr};
        EnumWindows(FindDialogOfProcess, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            Sleep(1000);  // let it paint
            return search.found;
        }
        if (GetTickCount64() - start >= timeoutMs) return nullptr;
        Sleep(50);
    }
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

std::wstring MessageBoxText(HWND box) {
    ChildSearch children;
    EnumChildWindows(box, FindChildren, reinterpret_cast<LPARAM>(&children));
    return children.text ? WindowText(children.text) : std::wstring();
}

BoxIcon MessageBoxIcon(HWND box) {
    ChildSearch children;
    EnumChildWindows(box, FindChildren, reinterpret_cast<LPARAM>(&children));
    if (!children.icon || !IsWindowVisible(children.icon)) return BoxIcon::None;
    RECT rect;
    GetWindowRect(children.icon, &rect);
    int width = GetSystemMetrics(SM_CXICON), height = GetSystemMetrics(SM_CYICON);
    rect.right = rect.left + width;
    rect.bottom = rect.top + height;
    std::vector<DWORD> shown = CapturePixels(rect);
    if (shown.empty()) return BoxIcon::Unknown;
    DWORD background = shown[0];  // an icon's corner is transparent

    struct Candidate {
        BoxIcon kind;
        LPCWSTR id;
    };
    const Candidate candidates[] = {{BoxIcon::Error, IDI_HAND},
                                    {BoxIcon::Information, IDI_ASTERISK},
                                    {BoxIcon::Warning, IDI_EXCLAMATION},
                                    {BoxIcon::Question, IDI_QUESTION}};
    BoxIcon best = BoxIcon::Unknown;
    size_t bestDifferences = shown.size();
    for (const Candidate& candidate : candidates) {
        std::vector<DWORD> drawn = DrawnIcon(LoadIconW(nullptr, candidate.id), width, height, background);
        size_t differences = 0;
        for (size_t i = 0; i < shown.size(); ++i)
            if ((drawn[i] & 0xFFFFFF) != (shown[i] & 0xFFFFFF)) ++differences;
        if (differences < bestDifferences) {
            bestDifferences = differences;
            best = candidate.kind;
        }
    }
    // A match shows (nearly) the same pixels; anything else is no system icon.
    return bestDifferences * 20 <= shown.size() ? best : BoxIcon::Unknown;
}

const char* BoxIconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return "none";
        case BoxIcon::Error:
            return "error";
        case BoxIcon::Information:
            return "information";
        case BoxIcon::Warning:
            return "warning";
        case BoxIcon::Question:
            return "question";
        default:
            return "unknown";
    }
}

bool SaveWindowPng(HWND window, const std::wstring& pngPath) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    std::string to = UnixPath(pngPath);
    if (to.empty()) return false;
    DeleteFileW(pngPath.c_str());
    // ImageMagick's import reads the X display itself (a copy through GDI
    // can miss text Wine has just drawn). A Linux program: Wine starts it
    // without waiting, so the PNG is waited for.
    wchar_t geometry[64];
    swprintf(geometry, 64, L"%ldx%ld+%ld+%ld", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
    std::wstring command = L"Z:\\usr\\bin\\import -window root -crop " + std::wstring(geometry) + L" \"" +
                           std::wstring(to.begin(), to.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    if (process.hThread) CloseHandle(process.hThread);
    if (process.hProcess) CloseHandle(process.hProcess);
    ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < 15000) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(pngPath.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow > 0) {
            Sleep(300);  // import finishes writing
            return true;
        }
        Sleep(50);
    }
    return false;
}

bool PressMessageBoxButton(HWND box, int buttonId, DWORD timeoutMs) {
    HWND button = GetDlgItem(box, buttonId);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    ULONGLONG start = GetTickCount64();
    while (IsWindow(box) && IsWindowVisible(box)) {
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

}  // namespace bx::test
