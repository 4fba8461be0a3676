// The Reports page of BXHVNTSR.exe in a real window under Xvfb, driven from
// this program through tests/support/win/window_driver.h: Save As through
// the system's save dialog (offered name, overwrite prompt, rebuilt file),
// View (the temporary report rebuilt and opened through the shell), and Send
// through simple MAPI.
//
// Wine's MAPI32.DLL resolves any address and has no mail program behind it,
// so the Send cases put mapi_recorder.dll (tests/support/win) in the place of
// the system's MAPI32.DLL, where the tool loads simple MAPI from
// (tests/support/win/system_mapi.h). It records every call with its
// arguments and answers as each case asks. The case without any mail DLL
// disables Wine's own for the tool's process.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"
#include "tests/support/win/system_mapi.h"
#include "tests/support/win/tool_fixture.h"
#include "tests/support/win/window_driver.h"

namespace {

constexpr int kReportsPage = 2;
enum : int { kSaveAs = 1000, kSend = 1001, kDescription = 1003, kView = 1004 };

constexpr wchar_t kDescriptionText[] =
    L"This page allows you to generate a trouble shooting report. \n\nThis report contains the information regarding "
    L"the condition of the Brontavex Halvern as well as the system on which it is running. \n\nThe information in "
    L"this report includes version for the application, drivers, system information and all current log "
    L"messages.\n\nThe data collected will only be used to help fix problems experienced with the program. This "
    L"error report can be sent automatically via email (if available), or you can save the report and send it "
    L"manually. \n\nPlease select one of the following options for the TSR:";

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

// The offered name for a local time, formatted here on its own: month, day,
// two-digit year, 24-hour hour, minute, second.
std::wstring NameAt(const SYSTEMTIME& local) {
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%02u%02u%02u%02u%02u%02u", local.wMonth, local.wDay, local.wYear % 100u, local.wHour,
             local.wMinute, local.wSecond);
    return L"BX HVN TSR_" + std::wstring(stamp) + L".txt";
}

class ReportsWindow : public bx::test::ToolFixture {
protected:
    void SetUp() override {
        PrepareToolFolder(L"reports window");
        ::DeleteFileW(report_.c_str());
    }
    void TearDown() override {
        ToolFixture::TearDown();
        for (HWND viewer : bx::test::FindTopWindows(L"", L"Notepad", 0)) ::PostMessageW(viewer, WM_CLOSE, 0, 0);
    }

    HWND Start() { return StartTool(L"tsr") ? Page(kReportsPage) : nullptr; }

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

    std::vector<std::string> Calls() {
        std::string text = bx::test::ReadFileBytes(bx::test::SystemMapi::File(L"mapi_calls.txt"));
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        return lines;
    }

    std::wstring report_ = bx::test::TempDirectory() + L"BX_HVN_TSR.txt";
};

TEST_F(ReportsWindow, PageShowsItsDescriptionAndSaveAsOffersTheTimedNameThenAsksBeforeOverwriting) {
    ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"BXHVNAgent.log", "first build log\r\n"));
    HWND page = Start();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(bx::test::ItemText(page, kDescription), kDescriptionText);
    EXPECT_EQ(bx::test::ItemText(page, kSend), L"&Send...");
    EXPECT_EQ(bx::test::ItemText(page, kView), L"&View...");
    EXPECT_EQ(bx::test::ItemText(page, kSaveAs), L"Save &As...");
    Screenshot("reports_page");

    std::wstring target = dir_ + L"saved report.txt";
    for (int round = 0; round < 2; ++round) {
        FILETIME before = bx::test::Now();
        bx::test::PressResult press = bx::test::PressButton(page, kSaveAs, 60000);
        HWND dialog = press.messageBox ? press.messageBox : WaitForDialog({});
        ASSERT_NE(dialog, nullptr) << "no save dialog";
        FILETIME after = bx::test::Now();
        HWND edit = nullptr;
        ASSERT_TRUE(bx::test::WaitUntil([&] { return (edit = FileNameEdit(dialog)) != nullptr; }, 10000));
        std::wstring offered = bx::test::TextOf(edit);
        bool matches = false;
        for (const SYSTEMTIME& t : bx::test::SecondsBetween(before, after, true))
            matches = matches || offered == NameAt(t);
        EXPECT_TRUE(matches) << bx::test::Narrow(offered);
        if (round == 0) Screenshot("reports_save_dialog");
        ASSERT_TRUE(bx::test::SetTextOf(edit, target));
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDOK)));
        if (round == 1) {
            // The file exists: the dialog asks first.
            HWND prompt = WaitForDialog({dialog});
            ASSERT_NE(prompt, nullptr) << "no overwrite prompt";
            bx::test::MessageBoxContent box = bx::test::ReadMessageBox(prompt);
            EXPECT_NE(box.text.find(L"already exists"), std::wstring::npos) << bx::test::Narrow(box.text);
            Screenshot("reports_overwrite_prompt");
            ASSERT_TRUE(bx::test::AnswerMessageBox(prompt, IDYES));
        }
        ASSERT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(dialog); }, 20000));
        bx::test::Sync(page);
        std::string saved = bx::test::ReadFileBytes(target);
        EXPECT_EQ(saved.rfind("Application Name:               Brontavex Halvern Trouble Shooting Report\r\n", 0), 0u)
            << saved.substr(0, 200);
        const char* log = round == 0 ? "first build log" : "second build log";
        EXPECT_NE(saved.find(log), std::string::npos);
        EXPECT_EQ(saved.find(round == 0 ? "second build log" : "first build log"), std::string::npos);
        EXPECT_EQ(saved.find("\r\r\n"), std::string::npos);
        ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"BXHVNAgent.log", "second build log\r\n"));
    }
}

// A fresh Wine prefix has no viewer for .txt files. The case registers the
// tests' own viewer (viewer_recorder.exe) as the open command of .txt files
// under a class of its own, and removes that registration afterwards.
class TextViewerRegistration {
public:
    explicit TextViewerRegistration(const std::wstring& viewer) {
        bx::win::UniqueRegKey txt;
        hadTxt_ = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, L".txt", 0, KEY_QUERY_VALUE, txt.put()) == ERROR_SUCCESS;
        if (hadTxt_) {
            wchar_t value[256];
            DWORD size = sizeof value;
            DWORD type = 0;
            if (::RegQueryValueExW(txt.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                    ERROR_SUCCESS &&
                type == REG_SZ) {
                hadDefault_ = true;
                oldDefault_.assign(value, size / sizeof(wchar_t));
                while (!oldDefault_.empty() && oldDefault_.back() == L'\0') oldDefault_.pop_back();
            }
        }
        ok_ = SetDefault(L".txt", kClass) &&
              SetDefault(std::wstring(kClass) + L"\\shell\\open\\command", bx::test::Quote(viewer) + L" \"%1\"");
    }
    ~TextViewerRegistration() {
        ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kClass);
        ::RegDeleteKeyW(HKEY_CLASSES_ROOT, kClass);
        if (!hadTxt_) {
            ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L".txt");
            ::RegDeleteKeyW(HKEY_CLASSES_ROOT, L".txt");
        } else if (hadDefault_) {
            SetDefault(L".txt", oldDefault_);
        } else {
            ::RegDeleteKeyValueW(HKEY_CLASSES_ROOT, L".txt", nullptr);
        }
    }
    TextViewerRegistration(const TextViewerRegistration&) = delete;
    TextViewerRegistration& operator=(const TextViewerRegistration&) = delete;
    bool Ok() const { return ok_; }

private:
    static constexpr const wchar_t* kClass = L"BXTestViewer.txt";
    static bool SetDefault(const std::wstring& path, const std::wstring& value) {
        bx::win::UniqueRegKey key;
        if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                              nullptr) != ERROR_SUCCESS)
            return false;
        return ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    bool ok_ = false, hadTxt_ = false, hadDefault_ = false;
    std::wstring oldDefault_;
};

TEST_F(ReportsWindow, ViewTwiceRebuildsTheTemporaryReportAndOpensItThroughTheShell) {
    std::wstring viewer = dir_ + L"viewer_recorder.exe";
    ASSERT_TRUE(::CopyFileW((bx::test::ExeDirectory() + L"viewer_recorder.exe").c_str(), viewer.c_str(), FALSE));
    TextViewerRegistration registration(viewer);
    ASSERT_TRUE(registration.Ok());
    HWND page = Start();
    ASSERT_NE(page, nullptr);
    const char* const logs[] = {"view one\r\n", "view two\r\n"};
    for (int call = 1; call <= 2; ++call) {
        const std::string log = logs[call - 1];
        SCOPED_TRACE(log);
        ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"BXHVNAgent.log", log));
        bx::test::PressResult press = bx::test::PressButton(page, kView, 60000);
        EXPECT_TRUE(press.done);
        // The viewer copies what it was given, then records the path.
        std::string calls;
        ASSERT_TRUE(bx::test::WaitUntil(
            [&] {
                calls = bx::test::ReadFileBytes(dir_ + L"viewer_calls.txt");
                return std::count(calls.begin(), calls.end(), '\n') == call;
            },
            30000))
            << calls;
        std::string expectedCalls;
        for (int i = 0; i < call; ++i) expectedCalls += bx::test::Narrow(report_) + "\n";
        EXPECT_EQ(calls, expectedCalls);
        std::string viewed = bx::test::ReadFileBytes(dir_ + L"viewer_copy_" + std::to_wstring(call) + L".txt");
        EXPECT_EQ(viewed.rfind("Application Name:               Brontavex Halvern Trouble Shooting Report\r\n", 0), 0u)
            << viewed.substr(0, 200);
        EXPECT_NE(viewed.find(log), std::string::npos) << viewed.size();
        EXPECT_EQ(viewed.find(call == 1 ? "view two" : "view one"), std::string::npos);
        EXPECT_EQ(viewed, bx::test::ReadFileBytes(report_));
    }
    EXPECT_TRUE(::IsWindowEnabled(sheet_));
    Screenshot("reports_view");
}

// What the recorder saw for an accepted or refused mail.
std::string SendLine(const std::wstring& report, int result) {
    return "MAPISendMail session=0 ui=desktop flags=9 reserved=0 subject=\"BX HVN TSR Report\" note=null "
           "originator=null recipients=1 [class=1 name=\"HVN Support\" address=\"SMTP:resolved@example.invalid\" "
           "reserved=7 eid=4 resolved-entry] files=1 [path=\"" +
           bx::test::Narrow(report) + "\" name=null position=-1 flags=0 type=null] result=" + std::to_string(result);
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
    std::string report = bx::test::Narrow(report_);
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
    // A MAPI32.DLL left in the tool's folder (the one that would say the mail
    // DLL is invalid) is never the one loaded.
    ASSERT_TRUE(::CopyFileW((bx::test::ExeDirectory() + L"mapi_recorder_invalid.dll").c_str(),
                            (dir_ + L"MAPI32.DLL").c_str(), FALSE));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dll ? c.dll : "no dll") + " answer " + c.answer);
        bx::test::SystemMapi mapi(c.dll ? bx::test::Widen(c.dll) : std::wstring());
        ASSERT_TRUE(mapi.Ok());
        if (c.dll) ASSERT_TRUE(bx::test::WriteFileBytes(bx::test::SystemMapi::File(L"mapi_answer.txt"), c.answer));
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
        EXPECT_NE(bx::test::ReadFileBytes(report_).find("Brontavex Halvern Trouble Shooting Report"),
                  std::string::npos);
        EXPECT_TRUE(::IsWindowEnabled(sheet_)) << "the sheet stays disabled after the send";
        CloseSheet();
    }
}

}  // namespace
