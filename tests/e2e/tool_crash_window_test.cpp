// The crash report dialog of BXHVNTSR.exe in a real window under Xvfb: the
// sheet offers it when the agent's crash dump lies beside the tool. The
// archive it builds is read outside the product (unzip -t, Python's zipfile,
// started through Wine as Linux programs); Exit, Save As and Send are driven
// through tests/support/win/window_driver.h. Send goes through the tests' own
// MAPI32.DLL in the system's place (tests/support/win/system_mapi.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"
#include "tests/support/win/system_mapi.h"
#include "tests/support/win/tool_fixture.h"
#include "tests/support/win/window_driver.h"

namespace {

constexpr wchar_t kDialogTitle[] = L"Brontavex Halvern Error";
constexpr int kSaveAs = 1256;
constexpr wchar_t kDeniedTargetName[] = L"read-only target.zip";

using bx::test::FileExists;
using bx::test::Narrow;
using bx::test::ReadFileBytes;
using bx::test::UnixPath;
using bx::test::WriteFileBytes;

class CrashWindow : public bx::test::ToolFixture {
protected:
    void SetUp() override {
        // A run ended by force may have left the immutable target of an
        // earlier run behind, which would keep its folder from being made
        // anew.
        std::wstring group = bx::test::ExeDirectory() + L"crash window\\";
        std::wstring left = group + bx::test::Widen(testing::UnitTest::GetInstance()->current_test_info()->name()) +
                            L"\\" + kDeniedTargetName;
        if (FileExists(left)) {
            int status = -1;
            bx::test::RunLinux(group, "chattr -i '" + UnixPath(left) + "'", &status);
        }
        PrepareToolFolder(L"crash window");
        ::DeleteFileW(archive_.c_str());
        ::DeleteFileW(oldArchive_.c_str());
        ::WriteProfileStringW(L"MAIL", L"MAPI", nullptr);
    }
    void TearDown() override {
        ToolFixture::TearDown();
        ::WriteProfileStringW(L"MAIL", L"MAPI", nullptr);
    }

    // Starts the tool; the crash dialog when one is expected, else the sheet
    // (and null).
    HWND Start(bool expectDialog) {
        EXPECT_TRUE(tool_.Start(bx::test::Quote(dir_ + L"BXHVNTSR.exe")));
        if (!expectDialog) {
            sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 60000);
            EXPECT_NE(sheet_, nullptr);
            EXPECT_TRUE(bx::test::FindTopWindows(kDialogTitle, L"#32770", tool_.Pid()).empty());
            return nullptr;
        }
        HWND dialog = bx::test::WaitForTopWindow(kDialogTitle, L"#32770", tool_.Pid(), 60000);
        EXPECT_NE(dialog, nullptr) << "no crash dialog";
        return dialog;
    }

    void WriteDumps(bool old) {
        ASSERT_TRUE(WriteFileBytes(dir_ + L"HVNCrash.dmp", std::string("MDMP current dump\0\1", 20)));
        if (old) {
            ASSERT_TRUE(WriteFileBytes(dir_ + L"HVNCrash_old.dmp", "MDMP previous dump"));
        }
    }

    // The archive's entries as Python's zipfile lists them, after unzip -t.
    std::string Entries(const std::wstring& archive) {
        int status = -1;
        std::string test = bx::test::RunLinux(dir_, "unzip -t '" + UnixPath(archive) + "'", &status);
        EXPECT_EQ(status, 0) << test;
        std::string listing = bx::test::RunLinux(dir_,
                                                 "python3 -c \"import sys, zipfile\n"
                                                 "z = zipfile.ZipFile(sys.argv[1])\n"
                                                 "print(sorted(i.filename for i in z.infolist()))\n"
                                                 "print(z.read('HVNCrash.dmp') == open(sys.argv[2], 'rb').read())\n"
                                                 "print(b'Trouble Shooting Report' in z.read('BX_HVN_TSR.txt'))\" '" +
                                                     UnixPath(archive) + "' '" + UnixPath(dumpCopy_) + "'",
                                                 &status);
        EXPECT_EQ(status, 0) << listing;
        return listing;
    }

    // Presses Send (mail available), waits for the sheet and for the mail
    // call's end, and returns what the MAPI recorder saw.
    std::string Send(HWND dialog) {
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 60000);
        EXPECT_NE(sheet_, nullptr);
        const std::wstring calls = bx::test::SystemMapi::File(L"mapi_calls.txt");
        EXPECT_TRUE(bx::test::WaitUntil(
            [&] { return ReadFileBytes(calls).find("MAPIFreeBuffer") != std::string::npos; }, 30000));
        if (sheet_) bx::test::Sync(sheet_);
        return ReadFileBytes(calls);
    }

    std::wstring archive_ = bx::test::TempDirectory() + L"HVNCrashReport.zip";
    std::wstring oldArchive_ = bx::test::TempDirectory() + L"HVNCrashReport_old.zip";
    std::wstring dumpCopy_;
};

TEST_F(CrashWindow, WithoutADumpTheSheetOpensWithoutTheDialog) {
    Start(false);
    EXPECT_FALSE(FileExists(archive_));
}

TEST_F(CrashWindow, BothDumpsAndTheReportArePackedAndExitRotatesTheDump) {
    ASSERT_NO_FATAL_FAILURE(WriteDumps(true));
    dumpCopy_ = dir_ + L"dump copy.dmp";
    ASSERT_TRUE(::CopyFileW((dir_ + L"HVNCrash.dmp").c_str(), dumpCopy_.c_str(), FALSE));
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(bx::test::ItemText(dialog, kSaveAs), L"Save &As...");
    EXPECT_EQ(bx::test::ItemText(dialog, IDOK), L"&Send");
    EXPECT_EQ(bx::test::ItemText(dialog, IDCANCEL), L"E&xit");
    // No mail profile in this prefix: Send is disabled.
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
    Screenshot("crash_dialog", dialog);
    EXPECT_EQ(Entries(archive_), "['BX_HVN_TSR.txt', 'HVNCrash.dmp', 'HVNCrash_old.dmp']\nTrue\nTrue\n");
    EXPECT_FALSE(FileExists(bx::test::TempDirectory() + L"BX_HVN_TSR.txt"));

    bx::test::PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(dialog); }, 15000));
    EXPECT_FALSE(FileExists(dir_ + L"HVNCrash.dmp"));
    EXPECT_EQ(ReadFileBytes(dir_ + L"HVNCrash_old.dmp"), std::string("MDMP current dump\0\1", 20));
    sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 30000);
    ASSERT_NE(sheet_, nullptr);
    CloseSheet();
    Start(false);  // the next start shows no dialog
}

TEST_F(CrashWindow, ASecondDialogMovesTheEarlierArchiveToTheOldName) {
    ASSERT_TRUE(WriteFileBytes(archive_, "the earlier archive"));
    ASSERT_NO_FATAL_FAILURE(WriteDumps(false));
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ReadFileBytes(oldArchive_), "the earlier archive");
    EXPECT_TRUE(FileExists(archive_));
}

// The save dialog of the tool's process (not the crash dialog), its file
// name set and OK pressed.
void SaveThrough(DWORD pid, HWND* saveDialog, const std::wstring& target, std::wstring* offered) {
    HWND save = nullptr;
    ASSERT_TRUE(bx::test::WaitUntil(
        [&] {
            for (HWND w : bx::test::FindTopWindows(L"Save Error Report", L"", pid)) save = w;
            return save != nullptr;
        },
        20000));
    HWND edit = nullptr;
    struct Find {
        HWND edit = nullptr;
    } find;
    ::EnumChildWindows(
        save,
        [](HWND child, LPARAM data) -> BOOL {
            auto* f = reinterpret_cast<Find*>(data);
            if (!f->edit && _wcsicmp(bx::test::ClassOf(child).c_str(), L"Edit") == 0 && ::IsWindowVisible(child))
                f->edit = child;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    edit = find.edit;
    ASSERT_NE(edit, nullptr);
    *offered = bx::test::TextOf(edit);
    ASSERT_TRUE(bx::test::SetTextOf(edit, target));
    *saveDialog = save;
    ::PostMessageW(save, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(save, IDOK)));
}

// The offered name for a UTC time, formatted here on its own: month, day,
// two-digit year, 12-hour hour (0 reads 12), minute, second.
std::wstring NameAt(const SYSTEMTIME& utc) {
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%02u%02u%02u%02u%02u%02u", utc.wMonth, utc.wDay, utc.wYear % 100u,
             utc.wHour % 12u == 0 ? 12u : utc.wHour % 12u, utc.wMinute, utc.wSecond);
    return L"HVNReport_" + std::wstring(stamp);
}

// Keeps a file immutable (chattr +i, through Linux) while it lives: not even
// root may write it, so Wine's CopyFileW, which replaces a read-only file,
// is refused with access denied as Windows refuses a read-only target.
class ImmutableFile {
public:
    ImmutableFile(const std::wstring& dir, const std::wstring& path) : dir_(dir), unixPath_(UnixPath(path)) {
        int status = -1;
        output_ = bx::test::RunLinux(dir_, "chattr +i '" + unixPath_ + "'", &status);
        ok_ = status == 0;
    }
    ~ImmutableFile() {
        int status = -1;
        bx::test::RunLinux(dir_, "chattr -i '" + unixPath_ + "'", &status);
    }
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;
    bool Ok() const { return ok_; }
    const std::string& Output() const { return output_; }

private:
    std::wstring dir_;
    std::string unixPath_, output_;
    bool ok_ = false;
};

TEST_F(CrashWindow, EnterWithoutMailSavesACopyAndAnUnwritableTargetShowsTheFileError) {
    ASSERT_NO_FATAL_FAILURE(WriteDumps(true));
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);

    // Targets the copy cannot write, each existing (the save dialog asks
    // before overwriting it): one held open without sharing by this program,
    // and one the system refuses to write at all. Wine runs as root here and
    // its CopyFileW replaces a read-only file, so the refused target is made
    // immutable instead; the copy then fails with access denied (5), the
    // error Windows gives for a read-only target.
    std::wstring heldTarget = dir_ + L"held target.zip", deniedTarget = dir_ + kDeniedTargetName;
    ASSERT_TRUE(WriteFileBytes(heldTarget, "keep held"));
    ASSERT_TRUE(WriteFileBytes(deniedTarget, "keep denied"));
    bx::win::UniqueFile held(::CreateFileW(heldTarget.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    ImmutableFile immutable(dir_, deniedTarget);
    ASSERT_TRUE(immutable.Ok()) << "chattr +i failed: " << immutable.Output();

    struct Case {
        const std::wstring& target;
        DWORD error;
        const char* kept;
        const char* screenshot;
    };
    const Case cases[] = {
        {heldTarget, ERROR_SHARING_VIOLATION, "keep held", "crash_file_error_in_use"},
        {deniedTarget, ERROR_ACCESS_DENIED, "keep denied", "crash_file_error"},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.target));
        FILETIME before = bx::test::Now();
        if (first) {
            // Enter: Send is disabled, so the default button is Save As.
            ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        } else {
            ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kSaveAs, BN_CLICKED), 0);
        }
        first = false;
        std::wstring offered;
        HWND save = nullptr;
        ASSERT_NO_FATAL_FAILURE(SaveThrough(tool_.Pid(), &save, c.target, &offered));
        FILETIME after = bx::test::Now();
        // The name carries the UTC time of the press: one of the seconds
        // between the two readings.
        bool matches = false;
        for (const SYSTEMTIME& t : bx::test::SecondsBetween(before, after, false))
            matches = matches || offered == NameAt(t) || offered == NameAt(t) + L".zip";
        EXPECT_TRUE(matches) << Narrow(offered);

        // The dialog asks before overwriting the existing file; then the
        // tool's "File Error" box.
        std::vector<HWND> known = bx::test::FindTopWindows(kSheetTitle, L"#32770", tool_.Pid());
        known.push_back(dialog);
        known.push_back(save);
        HWND prompt = WaitForDialog(known);
        ASSERT_NE(prompt, nullptr) << "no overwrite prompt";
        bx::test::MessageBoxContent box = bx::test::ReadMessageBox(prompt);
        ASSERT_NE(box.text.find(L"already exists"), std::wstring::npos) << Narrow(box.text);
        ASSERT_TRUE(bx::test::AnswerMessageBox(prompt, IDYES));
        HWND error = nullptr;
        bx::test::WaitUntil(
            [&] {
                for (HWND w : bx::test::FindTopWindows(L"File Error", L"#32770", tool_.Pid())) error = w;
                return error != nullptr;
            },
            20000);
        ASSERT_NE(error, nullptr) << "no File Error box; target holds " << ReadFileBytes(c.target);
        box = bx::test::ReadMessageBox(error);
        EXPECT_EQ(box.caption, L"File Error");
        EXPECT_EQ(box.text, L"Failed to save the generated report. " + bx::test::SystemErrorText(c.error))
            << Narrow(box.text);
        EXPECT_EQ(box.icon, bx::test::BoxIcon::kError);
        Screenshot(c.screenshot, error);
        ASSERT_TRUE(bx::test::AnswerMessageBox(error, IDOK));
        ASSERT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(error); }, 10000));
        EXPECT_TRUE(FileExists(dir_ + L"HVNCrash.dmp"));  // nothing saved, the dump stays
        EXPECT_TRUE(::IsWindow(dialog));
    }
    held.reset();
    EXPECT_EQ(ReadFileBytes(heldTarget), "keep held");
    EXPECT_EQ(ReadFileBytes(deniedTarget), "keep denied");

    // A writable target: the archive is copied and the dump deleted, the old
    // dump kept; the dialog stays open.
    std::wstring offered;
    HWND save = nullptr;
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kSaveAs, BN_CLICKED), 0);
    ASSERT_NO_FATAL_FAILURE(SaveThrough(tool_.Pid(), &save, dir_ + L"saved.zip", &offered));
    ASSERT_TRUE(bx::test::WaitUntil([&] { return !FileExists(dir_ + L"HVNCrash.dmp"); }, 20000));
    EXPECT_EQ(ReadFileBytes(dir_ + L"saved.zip"), ReadFileBytes(archive_));
    EXPECT_TRUE(FileExists(dir_ + L"HVNCrash_old.dmp"));
    EXPECT_TRUE(::IsWindow(dialog));
}

TEST_F(CrashWindow, SendDeletesTheArchiveAndBothDumpsOnlyWhenTheMailIsAccepted) {
    // Mail available: win.ini's [MAIL] MAPI=1 and the system's MAPI32.DLL
    // (the tests' recorder in its place).
    bx::test::SystemMapi mapi(L"mapi_recorder.dll");
    ASSERT_TRUE(mapi.Ok());
    ::WriteProfileStringW(L"MAIL", L"MAPI", L"1");
    for (const char* answer : {"0 1", "0 0"}) {
        SCOPED_TRACE(answer);
        ASSERT_TRUE(WriteFileBytes(bx::test::SystemMapi::File(L"mapi_answer.txt"), answer));
        ::DeleteFileW(bx::test::SystemMapi::File(L"mapi_calls.txt").c_str());
        ASSERT_NO_FATAL_FAILURE(WriteDumps(true));
        HWND dialog = Start(true);
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
        std::string calls = Send(dialog);
        EXPECT_NE(calls.find("[path=\"" + Narrow(archive_) + "\" name=null position=-1"), std::string::npos) << calls;
        bool accepted = std::string(answer) == "0 0";
        EXPECT_EQ(FileExists(archive_), !accepted);
        EXPECT_EQ(FileExists(dir_ + L"HVNCrash.dmp"), !accepted);
        EXPECT_EQ(FileExists(dir_ + L"HVNCrash_old.dmp"), !accepted);
        CloseSheet();
    }
}

// An archive that could not be written (the tool's temporary folder does
// not exist) holds no dump: the mail the client accepted carried none, so
// both dumps stay, and the dialog comes again at the next start.
TEST_F(CrashWindow, SendKeepsTheDumpsWhenTheArchiveWasNotWritten) {
    bx::test::SystemMapi mapi(L"mapi_recorder.dll");
    ASSERT_TRUE(mapi.Ok());
    ::WriteProfileStringW(L"MAIL", L"MAPI", L"1");
    ASSERT_TRUE(WriteFileBytes(bx::test::SystemMapi::File(L"mapi_answer.txt"), "0 0"));
    ASSERT_NO_FATAL_FAILURE(WriteDumps(true));
    // The tool inherits this program's environment.
    const std::wstring missing = dir_ + L"no such folder\\";
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TMP", missing.c_str()));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"TEMP", missing.c_str()));
    HWND dialog = Start(true);
    ::SetEnvironmentVariableW(L"TMP", bx::test::TempDirectory().c_str());
    ::SetEnvironmentVariableW(L"TEMP", bx::test::TempDirectory().c_str());
    ASSERT_NE(dialog, nullptr);
    std::string calls = Send(dialog);
    EXPECT_NE(calls.find("[path=\"" + Narrow(missing) + "HVNCrashReport.zip\""), std::string::npos) << calls;
    EXPECT_NE(calls.find("result=0"), std::string::npos) << calls;
    EXPECT_TRUE(FileExists(dir_ + L"HVNCrash.dmp"));
    EXPECT_TRUE(FileExists(dir_ + L"HVNCrash_old.dmp"));
    CloseSheet();
}

}  // namespace
