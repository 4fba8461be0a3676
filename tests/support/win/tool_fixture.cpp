#include "tests/support/win/tool_fixture.h"

namespace bx::test {

FILETIME Now() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return now;
}

std::vector<SYSTEMTIME> SecondsBetween(const FILETIME& from, const FILETIME& to, bool local) {
    constexpr ULONGLONG kSecond = 10000000;  // 100 ns units
    auto value = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    std::vector<SYSTEMTIME> times;
    for (ULONGLONG t = value(from) / kSecond * kSecond; t <= value(to); t += kSecond) {
        FILETIME utc{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}, shown = utc;
        if (local) ::FileTimeToLocalFileTime(&utc, &shown);
        SYSTEMTIME when{};
        if (::FileTimeToSystemTime(&shown, &when)) times.push_back(when);
    }
    return times;
}

void ToolFixture::PrepareToolFolder(const std::wstring& group) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kToolUserKey);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::wstring base = ExeDirectory() + group + L"\\";
    ::CreateDirectoryW(base.c_str(), nullptr);
    dir_ = MakeFreshDirectory(base, Widen(info->name()));
    ASSERT_TRUE(::CopyFileW((ExeDirectory() + L"BXHVNTSR.exe").c_str(), (dir_ + L"BXHVNTSR.exe").c_str(), FALSE))
        << ::GetLastError();
}

void ToolFixture::TearDown() {
    if (sheet_ && ::IsWindow(sheet_)) {
        ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
        tool_.Wait(15000);
    }
    sheet_ = nullptr;
    tool_.Terminate();
}

HWND ToolFixture::StartTool(const std::wstring& arguments, DWORD timeoutMs) {
    std::wstring commandLine = Quote(dir_ + L"BXHVNTSR.exe");
    if (!arguments.empty()) commandLine += L" " + arguments;
    EXPECT_TRUE(tool_.Start(commandLine)) << Narrow(commandLine);
    sheet_ = WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), timeoutMs);
    EXPECT_NE(sheet_, nullptr) << "no sheet";
    return sheet_;
}

HWND ToolFixture::Page(int index) {
    if (!sheet_) return nullptr;
    EXPECT_TRUE(SelectPage(sheet_, index)) << "page " << index;
    return CurrentPage(sheet_);
}

void ToolFixture::CloseSheet() {
    if (!sheet_) return;
    ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
    EXPECT_TRUE(tool_.Wait(15000)) << "the tool did not end";
    sheet_ = nullptr;
}

HWND ToolFixture::WaitForDialog(const std::vector<HWND>& others, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND w : FindTopWindows(L"", L"#32770", tool_.Pid())) {
                bool known = w == sheet_;
                for (HWND o : others) known = known || w == o;
                if (!known) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

void ToolFixture::Screenshot(const std::string& name, HWND window) {
    std::string path = std::string(BX_SCREENSHOT_DIR) + "/tool_" + name + ".png";
    HWND shown = window ? window : sheet_;
    if (shown) Repaint(shown);
    if (HWND box = FindMessageBox(tool_.Pid(), shown)) Repaint(box);
    EXPECT_TRUE(SaveScreenshot(path)) << path;
}

}  // namespace bx::test
