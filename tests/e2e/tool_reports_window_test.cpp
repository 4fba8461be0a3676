// The Reports page of BXHVNTSR.exe in a real window under Xvfb, driven from
// this program through tests/support/win/window_driver.h: Save As through
// the system's save dialog (offered name, overwrite prompt, rebuilt file),
// View (the temporary report rebuilt and opened through the shell), and Send
// through simple MAPI.
//
// Wine's MAPI32.DLL resolves any address and has no mail program behind it,
// so the Send cases put mapi_recorder.dll (tests/support/win) beside the tool
// as MAPI32.DLL: the application's directory comes first in the DLL search
// order. It records every call with its arguments and answers as each case
// asks. The case without any mail DLL disables Wine's own for the tool's
// process (WINEDLLOVERRIDES).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/support/win/service_manager.h"
#include "tests/support/win/window_driver.h"

namespace {

constexpr wchar_t kSheetTitle[] = L"Brontavex Halvern";
constexpr wchar_t kUserKey[] = L"SOFTWARE\\Brontavex\\Brontavex Halvern\\TSR";
constexpr int kReportsPage = 2;
enum : int { kSaveAs = 1000, kSend = 1001, kDescription = 1003, kView = 1004 };

constexpr wchar_t kDescriptionText[] =
    L"This page allows you to generate a trouble shooting report. \n\nThis report contains the information regarding "
    L"the condition of the Brontavex Halvern as well as the system on which it is running. \n\nThe information in "
    L"this report includes version for the application, drivers, system information and all current log "
    L"messages.\n\nThe data collected will only be used to help fix problems experienced with the program. This "
    L"error report can be sent automatically via email (if available), or you can save the report and send it "
    L"manually. \n\nPlease select one of the following options for the TSR:";

std::string ReadBytes(const std::wstring& path) {
    bx::win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    bx::win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length);
}

std::vector<HWND> Children(HWND parent, const std::wstring& className) {
    struct Search {
        std::wstring className;
        std::vector<HWND> found;
    } search{className, {}};
    ::EnumChildWindows(
        parent,
        [](HWND child, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (_wcsicmp(bx::test::ClassOf(child).c_str(), s->className.c_str()) == 0) s->found.push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The save dialog's file name box: the visible edit control (Wine's item
// dialog has one; Windows' has it inside a combo box).
HWND FileNameEdit(HWND dialog) {
    for (HWND edit : Children(dialog, L"Edit"))
        if (::IsWindowVisible(edit)) return edit;
    return nullptr;
}

std::wstring NameAt(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    wchar_t stamp[32];
    wcsftime(stamp, 32, L"%m%d%y%H%M%S", &local);
    return L"BX HVN TSR_" + std::wstring(stamp) + L".txt";
}

class ReportsWindow : public testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserKey);
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        std::wstring base = bx::test::ExeDirectory() + L"reports window\\";
        ::CreateDirectoryW(base.c_str(), nullptr);
        dir_ = bx::test::MakeFreshDirectory(base, bx::test::Widen(info->name()));
        ASSERT_TRUE(
            ::CopyFileW((bx::test::ExeDirectory() + L"BXHVNTSR.exe").c_str(), (dir_ + L"BXHVNTSR.exe").c_str(), FALSE));
        ::DeleteFileW(report_.c_str());
    }
    void TearDown() override {
        if (sheet_ && ::IsWindow(sheet_)) {
            ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
            tool_.Wait(15000);
        }
        tool_.Terminate();
        ClearMapiOverride();
        for (HWND viewer : bx::test::FindTopWindows(L"", L"Notepad", 0)) ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    }

    HWND Start() {
        EXPECT_TRUE(tool_.Start(bx::test::Quote(dir_ + L"BXHVNTSR.exe") + L" tsr"));
        sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 30000);
        EXPECT_NE(sheet_, nullptr) << "no sheet";
        if (!sheet_) return nullptr;
        EXPECT_TRUE(bx::test::SelectPage(sheet_, kReportsPage));
        return bx::test::CurrentPage(sheet_);
    }

    // A dialog of the tool's process other than the sheet and `others`.
    HWND WaitForDialog(const std::vector<HWND>& others, DWORD timeoutMs = 20000) {
        HWND found = nullptr;
        bx::test::WaitUntil(
            [&] {
                for (HWND w : bx::test::FindTopWindows(L"", L"#32770", tool_.Pid())) {
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

    void Screenshot(const std::string& name) {
        bx::test::Repaint(sheet_);
        EXPECT_TRUE(bx::test::SaveScreenshot(std::string(BX_SCREENSHOT_DIR) + "/tool_" + name + ".png"));
    }

    // Presses Send and returns the message box it opened, if any.
    bx::test::MessageBoxContent Send(HWND page, bool* boxShown) {
        bx::test::PressResult press = bx::test::PressButton(page, kSend, 60000);
        bx::test::MessageBoxContent content;
        *boxShown = press.messageBox != nullptr;
        if (press.messageBox) {
            content = bx::test::ReadMessageBox(press.messageBox);
            Screenshot("reports_send_message");
            EXPECT_TRUE(bx::test::AnswerMessageBox(press.messageBox, IDOK));
            EXPECT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(press.messageBox); }, 10000));
        } else {
            EXPECT_TRUE(press.done) << "Send neither returned nor showed a message";
        }
        bx::test::Sync(page);
        return content;
    }

    static constexpr const wchar_t* kAppOverrides = L"Software\\Wine\\AppDefaults\\BXHVNTSR.exe\\DllOverrides";
    static void SetMapiOverride(const std::wstring& order) {
        bx::win::UniqueRegKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kAppOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                    nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key.get(), L"mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(order.c_str()),
                         static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t)));
    }
    static void ClearMapiOverride() {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\BXHVNTSR.exe");
    }

    std::vector<std::string> Calls() {
        std::string text = ReadBytes(dir_ + L"mapi_calls.txt");
        std::vector<std::string> lines;
        if (text == "<missing>") return lines;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        return lines;
    }

    bx::test::GuiProgram tool_;
    HWND sheet_ = nullptr;
    std::wstring dir_;
    std::wstring report_ = TempDirectory() + L"BX_HVN_TSR.txt";
};

TEST_F(ReportsWindow, PageShowsItsDescriptionAndSaveAsOffersTheTimedNameThenAsksBeforeOverwriting) {
    WriteBytes(dir_ + L"BXHVNAgent.log", "first build log\r\n");
    HWND page = Start();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(bx::test::ItemText(page, kDescription), kDescriptionText);
    EXPECT_EQ(bx::test::ItemText(page, kSend), L"&Send...");
    EXPECT_EQ(bx::test::ItemText(page, kView), L"&View...");
    EXPECT_EQ(bx::test::ItemText(page, kSaveAs), L"Save &As...");
    Screenshot("reports_page");

    std::wstring target = dir_ + L"saved report.txt";
    for (int round = 0; round < 2; ++round) {
        std::time_t before = std::time(nullptr);
        bx::test::PressResult press = bx::test::PressButton(page, kSaveAs, 60000);
        HWND dialog = press.messageBox ? press.messageBox : WaitForDialog({});
        ASSERT_NE(dialog, nullptr) << "no save dialog";
        std::time_t after = std::time(nullptr);
        HWND edit = nullptr;
        ASSERT_TRUE(bx::test::WaitUntil([&] { return (edit = FileNameEdit(dialog)) != nullptr; }, 10000));
        std::wstring offered = bx::test::TextOf(edit);
        bool matches = false;
        for (std::time_t t = before; t <= after; ++t) matches = matches || offered == NameAt(t);
        EXPECT_TRUE(matches) << Narrow(offered);
        if (round == 0) Screenshot("reports_save_dialog");
        ASSERT_TRUE(bx::test::SetTextOf(edit, target));
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
        if (round == 1) {
            // The file exists: the dialog asks first.
            HWND prompt = WaitForDialog({dialog});
            ASSERT_NE(prompt, nullptr) << "no overwrite prompt";
            bx::test::MessageBoxContent box = bx::test::ReadMessageBox(prompt);
            EXPECT_NE(box.text.find(L"already exists"), std::wstring::npos) << Narrow(box.text);
            Screenshot("reports_overwrite_prompt");
            ASSERT_TRUE(bx::test::AnswerMessageBox(prompt, IDYES));
        }
        ASSERT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(dialog); }, 20000));
        bx::test::Sync(page);
        std::string saved = ReadBytes(target);
        EXPECT_EQ(saved.rfind("Application Name:               Brontavex Halvern Trouble Shooting Report\r\n", 0), 0u)
            << saved.substr(0, 200);
        const char* log = round == 0 ? "first build log" : "second build log";
        EXPECT_NE(saved.find(log), std::string::npos);
        EXPECT_EQ(saved.find(round == 0 ? "second build log" : "first build log"), std::string::npos);
        EXPECT_EQ(saved.find("\r\r\n"), std::string::npos);
        WriteBytes(dir_ + L"BXHVNAgent.log", "second build log\r\n");
    }
}

TEST_F(ReportsWindow, ViewTwiceRebuildsTheTemporaryReport) {
    HWND page = Start();
    ASSERT_NE(page, nullptr);
    // The tool hands the file to the shell with the verb "Open". In this
    // Wine prefix ShellExecute finds no viewer for .txt files ("File not
    // found", also for cmd's start), so no window can be awaited here: the
    // case proves the rebuilt file and that the page stays usable.
    for (const char* log : {"view one\r\n", "view two\r\n"}) {
        WriteBytes(dir_ + L"BXHVNAgent.log", log);
        bx::test::PressResult press = bx::test::PressButton(page, kView, 60000);
        EXPECT_TRUE(press.done);
        std::string report = ReadBytes(report_);
        EXPECT_NE(report.find(log), std::string::npos) << report.size();
        EXPECT_EQ(report.find(std::string(log) == "view one\r\n" ? "view two" : "view one"), std::string::npos);
    }
    EXPECT_TRUE(::IsWindowEnabled(sheet_));
    Screenshot("reports_view");
}

// What the recorder saw for an accepted or refused mail.
std::string SendLine(const std::wstring& report, int result) {
    return "MAPISendMail session=0 ui=desktop flags=9 reserved=0 subject=\"BX HVN TSR Report\" note=null "
           "originator=null recipients=1 [class=1 name=\"HVN Support\" address=\"SMTP:resolved@example.invalid\" "
           "reserved=7 eid=4 resolved-entry] files=1 [path=\"" +
           Narrow(report) + "\" name=null position=-1 flags=0 type=null] result=" + std::to_string(result);
}
const std::string kResolveLine =
    "MAPIResolveName session=0 ui=0 name=\"hvn-support@brontavex.com\" flags=0 reserved=0 result=";

TEST_F(ReportsWindow, SendThroughTheMailDllAnswersEachOutcome) {
    struct Case {
        const char* dll;  // copied as MAPI32.DLL, or null: none at all
        const char* answer;
        const wchar_t* boxText;  // null: no message
        const wchar_t* boxCaption;
        std::vector<std::string> calls;
    };
    std::string report = Narrow(report_);
    const Case cases[] = {
        {"mapi_recorder.dll",
         "0 0",
         nullptr,
         nullptr,
         {kResolveLine + "0", SendLine(report_, 0), "MAPIFreeBuffer resolved"}},
        {"mapi_recorder.dll",
         "0 1",
         nullptr,
         nullptr,
         {kResolveLine + "0", SendLine(report_, 1), "MAPIFreeBuffer resolved"}},
        {"mapi_recorder.dll", "2 0", L"Mail Programs (MAPI) is not configured", L"TSR Send Mail", {kResolveLine + "2"}},
        {"mapi_recorder.dll", "3 0", nullptr, nullptr, {kResolveLine + "3"}},
        {"mapi_recorder_invalid.dll", "0 0", L"Mail system DLL is invalid.", kSheetTitle, {}},
        {nullptr, "0 0", L"Unable to load mail system support.", kSheetTitle, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dll ? c.dll : "no dll") + " answer " + c.answer);
        ::DeleteFileW((dir_ + L"mapi_calls.txt").c_str());
        ::DeleteFileW((dir_ + L"MAPI32.DLL").c_str());
        // Wine loads its own mapi32 even from a MAPI32.DLL in the
        // application's directory, and a WINEDLLOVERRIDES set by a Windows
        // parent is not read: the program's AppDefaults key tells Wine to
        // take the native DLL (or none) for this program.
        SetMapiOverride(c.dll ? L"native" : L"");
        if (c.dll) {
            ASSERT_TRUE(::CopyFileW((bx::test::ExeDirectory() + bx::test::Widen(c.dll)).c_str(),
                                    (dir_ + L"MAPI32.DLL").c_str(), FALSE));
            WriteBytes(dir_ + L"mapi_answer.txt", c.answer);
        }
        HWND page = Start();
        ASSERT_NE(page, nullptr);
        bool boxShown = false;
        bx::test::MessageBoxContent box = Send(page, &boxShown);
        EXPECT_EQ(boxShown, c.boxText != nullptr);
        if (c.boxText && boxShown) {
            EXPECT_EQ(box.text, c.boxText);
            EXPECT_EQ(box.caption, c.boxCaption);
            EXPECT_EQ(box.icon, bx::test::BoxIcon::kError);
        }
        EXPECT_EQ(Calls(), c.calls);
        EXPECT_NE(ReadBytes(report_).find("Brontavex Halvern Trouble Shooting Report"), std::string::npos);
        EXPECT_TRUE(::IsWindowEnabled(sheet_)) << "the sheet stays disabled after the send";
        ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
        EXPECT_TRUE(tool_.Wait(15000));
        sheet_ = nullptr;
    }
}

}  // namespace
