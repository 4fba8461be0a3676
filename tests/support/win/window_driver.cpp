#include "tests/support/win/window_driver.h"

#include "tests/support/win/process_runner.h"

#include <commctrl.h>

#include <cstdlib>
#include <cstring>

namespace bx::test {

namespace {

constexpr UINT kSendTimeoutMs = 10000;

bool SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr,
                     UINT timeoutMs = kSendTimeoutMs) {
    DWORD_PTR answer = 0;
    LRESULT ok = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, timeoutMs, &answer);
    if (result) *result = static_cast<LRESULT>(answer);
    return ok != 0;
}

template <typename Pred>
bool Poll(Pred pred, DWORD timeoutMs, DWORD pollMs = 50) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount64() - start >= timeoutMs) return false;
        // Keep this thread's own messages moving (send callbacks arrive here).
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(pollMs);
    }
}

struct FindState {
    const std::wstring* title;
    const std::wstring* className;
    DWORD pid;
    bool visibleOnly;
    std::vector<HWND>* found;
};

BOOL CALLBACK CollectTop(HWND window, LPARAM parameter) {
    auto* state = reinterpret_cast<FindState*>(parameter);
    if (state->visibleOnly && !IsWindowVisible(window)) return TRUE;
    if (state->pid && ProcessOf(window) != state->pid) return TRUE;
    if (!state->className->empty() && ClassOf(window) != *state->className) return TRUE;
    if (!state->title->empty() && TextOf(window) != *state->title) return TRUE;
    state->found->push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

// The screen pixels of a rectangle as 32-bit BGRA rows, top row first.
std::vector<DWORD> CapturePixels(const RECT& r) {
    int width = r.right - r.left, height = r.bottom - r.top;
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
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
        GdiFlush();
        pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// A system icon drawn over a plain background, as 32-bit rows.
std::vector<DWORD> RenderIcon(HICON icon, int width, int height, DWORD background) {
    std::vector<DWORD> pixels;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        std::fill(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height, background);
        DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
        GdiFlush();
        pixels.assign(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + width * height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long Difference(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    if (a.size() != b.size() || a.empty()) return -1;
    long different = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        DWORD x = a[i], y = b[i];
        int d = std::abs(int(x & 0xff) - int(y & 0xff)) + std::abs(int((x >> 8) & 0xff) - int((y >> 8) & 0xff)) +
                std::abs(int((x >> 16) & 0xff) - int((y >> 16) & 0xff));
        if (d > 48) ++different;
    }
    return different;
}

// Which system icon the box's icon control shows: its screen pixels against
// each system icon drawn on the same background. HICONs of another process
// cannot be read here, the screen can.
BoxIcon IdentifyIcon(HWND iconControl) {
    RECT r{};
    if (!GetClientRect(iconControl, &r)) return BoxIcon::kUnknown;
    MapWindowPoints(iconControl, nullptr, reinterpret_cast<POINT*>(&r), 2);
    int size = GetSystemMetrics(SM_CXICON);
    r.right = r.left + size;
    r.bottom = r.top + size;
    std::vector<DWORD> shown = CapturePixels(r);
    if (shown.empty()) return BoxIcon::kUnknown;
    struct Candidate {
        const wchar_t* id;
        BoxIcon icon;
    } candidates[] = {{IDI_HAND, BoxIcon::kError},
                      {IDI_EXCLAMATION, BoxIcon::kWarning},
                      {IDI_ASTERISK, BoxIcon::kInformation},
                      {IDI_QUESTION, BoxIcon::kQuestion}};
    BoxIcon best = BoxIcon::kUnknown;
    long bestDifference = -1;
    for (const Candidate& c : candidates) {
        std::vector<DWORD> drawn = RenderIcon(LoadIconW(nullptr, c.id), size, size, shown[0]);
        long d = Difference(shown, drawn);
        if (d >= 0 && (bestDifference < 0 || d < bestDifference)) {
            bestDifference = d;
            best = c.icon;
        }
    }
    // A match differs in a few pixels at most (none under Xvfb).
    return bestDifference >= 0 && bestDifference <= size * size / 20 ? best : BoxIcon::kUnknown;
}

}  // namespace

bool GuiProgram::Start(const std::wstring& commandLine) {
    Terminate();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    bx::win::UniqueHandle thread(process.hThread);
    process_.reset(process.hProcess);
    pid_ = process.dwProcessId;
    return true;
}

bool GuiProgram::Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

bool GuiProgram::Wait(DWORD timeoutMs) {
    return !process_ || WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD GuiProgram::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_.get(), &code);
    return code;
}

void GuiProgram::Terminate() {
    if (Running()) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 10000);
    }
}

std::vector<HWND> FindTopWindows(const std::wstring& title, const std::wstring& className, DWORD pid,
                                 bool visibleOnly) {
    std::vector<HWND> found;
    FindState state{&title, &className, pid, visibleOnly, &found};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&state));
    return found;
}

HWND WaitForTopWindow(const std::wstring& title, const std::wstring& className, DWORD pid, DWORD timeoutMs) {
    HWND window = nullptr;
    Poll(
        [&] {
            std::vector<HWND> found = FindTopWindows(title, className, pid);
            window = found.empty() ? nullptr : found.front();
            return window != nullptr;
        },
        timeoutMs);
    return window;
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256];
    int length = GetClassNameW(window, name, 256);
    return std::wstring(name, length > 0 ? length : 0);
}

std::wstring TextOf(HWND window) {
    LRESULT length = 0;
    if (!window || !SendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0, &length) || length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got = 0;
    if (!SendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), &got))
        return std::wstring();
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

bool SetTextOf(HWND window, const std::wstring& text) {
    LRESULT ok = 0;
    return window && SendWithTimeout(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &ok) && ok;
}

std::wstring ItemText(HWND dialog, int id) { return TextOf(GetDlgItem(dialog, id)); }

bool SetItemText(HWND dialog, int id, const std::wstring& text) { return SetTextOf(GetDlgItem(dialog, id), text); }

bool ItemVisible(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item && (GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE) != 0;
}

int CheckState(HWND dialog, int id) {
    LRESULT state = 0;
    HWND item = GetDlgItem(dialog, id);
    if (!item || !SendWithTimeout(item, BM_GETCHECK, 0, 0, &state)) return -1;
    return static_cast<int>(state);
}

int ComboSelection(HWND dialog, int id) {
    LRESULT index = CB_ERR;
    HWND item = GetDlgItem(dialog, id);
    if (!item || !SendWithTimeout(item, CB_GETCURSEL, 0, 0, &index)) return -1;
    return static_cast<int>(index);
}

namespace {
std::wstring ComboEntry(HWND combo, int index) {
    LRESULT length = 0;
    if (!SendWithTimeout(combo, CB_GETLBTEXTLEN, index, 0, &length) || length < 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got = 0;
    if (!SendWithTimeout(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&text[0]), &got) || got < 0)
        return std::wstring();
    text.resize(static_cast<size_t>(got));
    return text;
}
}  // namespace

std::wstring ComboSelectedText(HWND dialog, int id) {
    int index = ComboSelection(dialog, id);
    return index < 0 ? std::wstring() : ComboEntry(GetDlgItem(dialog, id), index);
}

std::vector<std::wstring> ComboEntries(HWND dialog, int id) {
    std::vector<std::wstring> entries;
    HWND combo = GetDlgItem(dialog, id);
    LRESULT count = 0;
    if (!combo || !SendWithTimeout(combo, CB_GETCOUNT, 0, 0, &count)) return entries;
    for (int i = 0; i < count; ++i) entries.push_back(ComboEntry(combo, i));
    return entries;
}

bool SelectComboEntry(HWND dialog, int id, int index) {
    HWND combo = GetDlgItem(dialog, id);
    LRESULT result = 0;
    if (!combo || !SendWithTimeout(combo, CB_SETCURSEL, index, 0, &result) || result != index) return false;
    return SendWithTimeout(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

HWND CurrentPage(HWND sheet) {
    LRESULT page = 0;
    if (!SendWithTimeout(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, &page)) return nullptr;
    return reinterpret_cast<HWND>(page);
}

int CurrentPageIndex(HWND sheet) {
    HWND page = CurrentPage(sheet);
    LRESULT index = -1;
    if (!page || !SendWithTimeout(sheet, PSM_HWNDTOINDEX, reinterpret_cast<WPARAM>(page), 0, &index)) return -1;
    return static_cast<int>(index);
}

bool SelectPage(HWND sheet, int index, DWORD timeoutMs) {
    LRESULT ok = 0;
    if (!SendWithTimeout(sheet, PSM_SETCURSEL, index, 0, &ok, timeoutMs) || !ok) return false;
    return CurrentPageIndex(sheet) == index;
}

HWND FindMessageBox(DWORD pid, HWND exclude) {
    for (HWND window : FindTopWindows(L"", L"#32770", pid))
        if (window != exclude) return window;
    return nullptr;
}

HWND WaitForMessageBox(DWORD pid, HWND exclude, DWORD timeoutMs) {
    HWND box = nullptr;
    Poll([&] { return (box = FindMessageBox(pid, exclude)) != nullptr; }, timeoutMs);
    return box;
}

MessageBoxContent ReadMessageBox(HWND box) {
    MessageBoxContent content;
    content.caption = TextOf(box);
    std::vector<HWND> children;
    EnumChildWindows(box, CollectChildren, reinterpret_cast<LPARAM>(&children));
    HWND iconControl = nullptr;
    for (HWND child : children) {
        std::wstring cls = ClassOf(child);
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(cls.c_str(), L"Button") == 0) {
            if (style & WS_VISIBLE) content.buttons.push_back(GetDlgCtrlID(child));
        } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                if (style & WS_VISIBLE) iconControl = child;
            } else {
                std::wstring text = TextOf(child);
                if (!text.empty() && content.text.empty()) content.text = text;
            }
        }
    }
    if (!iconControl) return content;
    // The icon is read from the screen: a box found the moment it was made
    // may not be drawn yet. Drawn again until the icon is one of the system's
    // (or the time is up: kUnknown).
    const DWORD start = GetTickCount();
    while ((content.icon = IdentifyIcon(iconControl)) == BoxIcon::kUnknown && GetTickCount() - start < 5000)
        if (!Repaint(box, 2000)) break;
    return content;
}

BoxedRun RunWithOneMessageBox(const std::wstring& commandLine, const std::string& screenshotPath, DWORD timeoutMs) {
    BoxedRun run;
    RunningProcess program(commandLine);
    run.started = program.Started();
    if (!run.started) return run;
    if (HWND box = WaitForMessageBox(program.ProcessId(), nullptr, timeoutMs)) {
        run.boxShown = true;
        // Found as soon as it exists; its text may come a moment later.
        WaitUntil([&] { return !(run.box = ReadMessageBox(box)).text.empty(); }, 10000);
        Repaint(box);
        if (!screenshotPath.empty()) SaveScreenshot(screenshotPath);
        AnswerMessageBox(box, IDOK);
        WaitUntil([&] { return !IsWindow(box); }, 5000);
        run.secondBox = WaitForMessageBox(program.ProcessId(), nullptr, 500) != nullptr;
    }
    run.ended = program.Wait(timeoutMs);
    if (!run.ended) program.Terminate();
    run.exitCode = program.ExitCode();
    return run;
}

bool AnswerMessageBox(HWND box, int buttonId) {
    HWND button = GetDlgItem(box, buttonId);
    return PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != 0;
}

namespace {
void CALLBACK PressDone(HWND, UINT, ULONG_PTR data, LRESULT) { *reinterpret_cast<bool*>(data) = true; }
}  // namespace

PressResult PressButton(HWND dialog, int id, DWORD timeoutMs) {
    PressResult result;
    // Heap-held: the callback may come after this call has given up waiting.
    auto* done = new bool(false);
    HWND button = GetDlgItem(dialog, id);
    if (!SendMessageCallbackW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button),
                              PressDone, reinterpret_cast<ULONG_PTR>(done))) {
        delete done;
        return result;
    }
    DWORD pid = ProcessOf(dialog);
    HWND sheet = GetAncestor(dialog, GA_ROOT);
    Poll(
        [&] {
            if (*done) return true;
            result.messageBox = FindMessageBox(pid, sheet);
            return result.messageBox != nullptr;
        },
        timeoutMs, 20);
    result.done = *done;
    if (result.done) delete done;  // otherwise the late callback writes to it; a small leak in a test program
    return result;
}

bool PressCheckBox(HWND dialog, int id, int state, DWORD timeoutMs) {
    HWND box = GetDlgItem(dialog, id);
    if (!box || !SendWithTimeout(box, BM_SETCHECK, static_cast<WPARAM>(state), 0)) return false;
    return PressButton(dialog, id, timeoutMs).done;
}

bool Sync(HWND window, DWORD timeoutMs) { return SendWithTimeout(window, WM_NULL, 0, 0, nullptr, timeoutMs); }

bool Repaint(HWND window, DWORD timeoutMs) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    if (!Sync(window, timeoutMs)) return false;
    // WM_PAINT is generated when the window's thread looks for messages; a
    // second round trip after a short pause finds it drawn.
    Sleep(200);
    return Sync(window, timeoutMs);
}

bool SaveScreenshot(const std::string& unixPngPath, DWORD timeoutMs) {
    wchar_t wanted[2] = {};
    if (GetEnvironmentVariableW(L"BX_SCREENSHOTS", wanted, 2) != 1 || wanted[0] != L'1') return true;
    // Wine runs a Linux program given by its Z: path; the program's exit is not
    // reported back, so the file is watched instead.
    std::wstring path(unixPngPath.begin(), unixPngPath.end());
    std::wstring dosPath = L"Z:" + path;
    for (wchar_t& c : dosPath)
        if (c == L'/') c = L'\\';
    DeleteFileW(dosPath.c_str());
    std::wstring line = L"import -window root \"" + path + L"\"";
    if (StartDetached(L"Z:\\usr\\bin\\import", line) != 0) return false;
    LONGLONG lastSize = -1;
    int stable = 0;
    return Poll(
        [&] {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (!GetFileAttributesExW(dosPath.c_str(), GetFileExInfoStandard, &data)) return false;
            LONGLONG size = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            stable = size > 0 && size == lastSize ? stable + 1 : 0;
            lastSize = size;
            return stable >= 3;
        },
        timeoutMs, 200);
}

}  // namespace bx::test
