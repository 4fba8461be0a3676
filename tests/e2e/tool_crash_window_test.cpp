// The crash report dialog of BXHVNTSR.exe in a real window under Xvfb: the
// sheet offers it when the agent's crash dump lies beside the tool. The
// archive it builds is read outside the product (unzip -t, Python's zipfile,
// started through Wine as Linux programs); Exit, Save As and Send are driven
// through tests/support/win/window_driver.h. Send goes through the tests' own
// MAPI32.DLL (see tool_reports_window_test.cpp for why).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/support/win/service_manager.h"
#include "tests/support/win/window_driver.h"

namespace {

constexpr wchar_t kSheetTitle[] = L"Brontavex Halvern";
constexpr wchar_t kDialogTitle[] = L"Brontavex Halvern Error";
constexpr wchar_t kUserKey[] = L"SOFTWARE\\Brontavex\\Brontavex Halvern\\TSR";
constexpr wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\BXHVNTSR.exe";
constexpr int kSaveAs = 1256;

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

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp, length);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A Windows path as Linux sees it (drive letters through Wine's dosdevices).
std::string UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* unix = toUnix(path.c_str());
    std::string text = unix ? unix : "";
    if (unix) ::HeapFree(::GetProcessHeap(), 0, unix);
    return text;
}

// Runs a Linux shell script through Wine; its output once it has written
// its exit status (Wine does not report a Linux program's exit).
std::string RunLinux(const std::wstring& dir, const std::string& script, int* status) {
    std::wstring out = dir + L"linux.out", done = dir + L"linux.done";
    ::DeleteFileW(out.c_str());
    ::DeleteFileW(done.c_str());
    std::string wrapped = "(" + script + "\n) > '" + UnixPath(out) + "' 2>&1; echo $? > '" + UnixPath(dir) +
                          "linux.tmp'; mv '" + UnixPath(dir) + "linux.tmp' '" + UnixPath(done) + "'";
    WriteBytes(dir + L"linux.sh", wrapped);
    std::string scriptPath = UnixPath(dir + L"linux.sh");
    std::wstring commandLine = L"/bin/sh \"" + std::wstring(scriptPath.begin(), scriptPath.end()) + L"\"";
    if (bx::test::StartDetached(L"Z:\\bin\\sh", commandLine) != 0) return "<not started>";
    bx::test::WaitUntil([&] { return Exists(done); }, 30000, 100);
    *status = std::atoi(ReadBytes(done).c_str());
    return ReadBytes(out);
}

class CrashWindow : public testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserKey);
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        std::wstring base = bx::test::ExeDirectory() + L"crash window\\";
        ::CreateDirectoryW(base.c_str(), nullptr);
        dir_ = bx::test::MakeFreshDirectory(base, bx::test::Widen(info->name()));
        ASSERT_TRUE(
            ::CopyFileW((bx::test::ExeDirectory() + L"BXHVNTSR.exe").c_str(), (dir_ + L"BXHVNTSR.exe").c_str(), FALSE));
        ::DeleteFileW(archive_.c_str());
        ::DeleteFileW(oldArchive_.c_str());
        ::WriteProfileStringW(L"MAIL", L"MAPI", nullptr);
    }
    void TearDown() override {
        if (sheet_ && ::IsWindow(sheet_))
            ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
        tool_.Wait(15000);
        tool_.Terminate();
        ::WriteProfileStringW(L"MAIL", L"MAPI", nullptr);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kAppDefaults);
    }

    // Starts the tool; the crash dialog when one is expected.
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
        WriteBytes(dir_ + L"HVNCrash.dmp", std::string("MDMP current dump\0\1", 20));
        if (old) WriteBytes(dir_ + L"HVNCrash_old.dmp", "MDMP previous dump");
    }

    // The archive's entries as Python's zipfile lists them, after unzip -t.
    std::string Entries(const std::wstring& archive) {
        int status = -1;
        std::string test = RunLinux(dir_, "unzip -t '" + UnixPath(archive) + "'", &status);
        EXPECT_EQ(status, 0) << test;
        std::string listing = RunLinux(dir_,
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

    void Screenshot(HWND window, const std::string& name) {
        bx::test::Repaint(window);
        EXPECT_TRUE(bx::test::SaveScreenshot(std::string(BX_SCREENSHOT_DIR) + "/tool_" + name + ".png"));
    }

    bx::test::GuiProgram tool_;
    HWND sheet_ = nullptr;
    std::wstring dir_;
    std::wstring archive_ = TempDirectory() + L"HVNCrashReport.zip";
    std::wstring oldArchive_ = TempDirectory() + L"HVNCrashReport_old.zip";
    std::wstring dumpCopy_;
};

TEST_F(CrashWindow, WithoutADumpTheSheetOpensWithoutTheDialog) {
    Start(false);
    EXPECT_FALSE(Exists(archive_));
}

TEST_F(CrashWindow, BothDumpsAndTheReportArePackedAndExitRotatesTheDump) {
    WriteDumps(true);
    dumpCopy_ = dir_ + L"dump copy.dmp";
    ASSERT_TRUE(::CopyFileW((dir_ + L"HVNCrash.dmp").c_str(), dumpCopy_.c_str(), FALSE));
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(bx::test::ItemText(dialog, kSaveAs), L"Save &As...");
    EXPECT_EQ(bx::test::ItemText(dialog, IDOK), L"&Send");
    EXPECT_EQ(bx::test::ItemText(dialog, IDCANCEL), L"E&xit");
    // No mail profile in this prefix: Send is disabled.
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
    Screenshot(dialog, "crash_dialog");
    EXPECT_EQ(Entries(archive_), "['BX_HVN_TSR.txt', 'HVNCrash.dmp', 'HVNCrash_old.dmp']\nTrue\nTrue\n");
    EXPECT_FALSE(Exists(TempDirectory() + L"BX_HVN_TSR.txt"));

    bx::test::PressResult press = bx::test::PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(bx::test::WaitUntil([&] { return !::IsWindow(dialog); }, 15000));
    EXPECT_FALSE(Exists(dir_ + L"HVNCrash.dmp"));
    EXPECT_EQ(ReadBytes(dir_ + L"HVNCrash_old.dmp"), std::string("MDMP current dump\0\1", 20));
    sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 30000);
    ASSERT_NE(sheet_, nullptr);
    ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
    ASSERT_TRUE(tool_.Wait(15000));
    sheet_ = nullptr;
    Start(false);  // the next start shows no dialog
}

TEST_F(CrashWindow, ASecondDialogMovesTheEarlierArchiveToTheOldName) {
    WriteBytes(archive_, "the earlier archive");
    WriteDumps(false);
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ReadBytes(oldArchive_), "the earlier archive");
    EXPECT_TRUE(Exists(archive_));
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

std::wstring NameAt(std::time_t when) {
    std::tm utc{};
    gmtime_s(&utc, &when);
    wchar_t stamp[32];
    wcsftime(stamp, 32, L"%m%d%y%I%M%S", &utc);
    return L"HVNReport_" + std::wstring(stamp);
}

TEST_F(CrashWindow, EnterWithoutMailSavesACopyAndAnUnwritableTargetShowsTheFileError) {
    WriteDumps(true);
    HWND dialog = Start(true);
    ASSERT_NE(dialog, nullptr);
    // A target the copy cannot write. Wine's CopyFileW replaces a read-only
    // file (Windows refuses with access denied), and the tests run as root,
    // so no permission can stop it here: the target is held open without
    // sharing instead, and the box must carry the system's text for that.
    std::wstring readOnly = dir_ + L"held target.zip";
    WriteBytes(readOnly, "keep");
    bx::win::UniqueFile held(::CreateFileW(readOnly.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    std::time_t before = std::time(nullptr);
    // Enter: Send is disabled, so the default button is Save As.
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    std::wstring offered;
    HWND save = nullptr;
    SaveThrough(tool_.Pid(), &save, readOnly, &offered);
    std::time_t after = std::time(nullptr);
    bool matches = false;
    for (std::time_t t = before; t <= after; ++t)
        matches = matches || offered == NameAt(t) || offered == NameAt(t) + L".zip";
    EXPECT_TRUE(matches) << Narrow(offered);
    // Wine's dialog asks before overwriting the existing file.
    HWND prompt = nullptr;
    bx::test::WaitUntil(
        [&] {
            for (HWND w : bx::test::FindTopWindows(L"", L"#32770", tool_.Pid()))
                if (w != dialog && w != save && bx::test::TextOf(w) != kSheetTitle) prompt = w;
            return prompt != nullptr;
        },
        20000);
    ASSERT_NE(prompt, nullptr);
    bx::test::MessageBoxContent box = bx::test::ReadMessageBox(prompt);
    if (box.text.find(L"already exists") != std::wstring::npos) {
        bx::test::AnswerMessageBox(prompt, IDYES);
        prompt = nullptr;
        bx::test::WaitUntil(
            [&] {
                for (HWND w : bx::test::FindTopWindows(L"File Error", L"#32770", tool_.Pid())) prompt = w;
                return prompt != nullptr;
            },
            20000);
        if (!prompt) {
            std::string windows;
            for (HWND w : bx::test::FindTopWindows(L"", L"", tool_.Pid()))
                windows += Narrow(bx::test::ClassOf(w)) + ":" + Narrow(bx::test::TextOf(w)) + "; ";
            ADD_FAILURE() << "target now: " << ReadBytes(readOnly).size() << " attrs "
                          << ::GetFileAttributesW(readOnly.c_str()) << " dump " << Exists(dir_ + L"HVNCrash.dmp")
                          << " windows " << windows;
        }
        ASSERT_NE(prompt, nullptr);
        box = bx::test::ReadMessageBox(prompt);
    }
    std::wstring denied;
    {
        wchar_t* buffer = nullptr;
        DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            ERROR_SHARING_VIOLATION, MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<wchar_t*>(&buffer),
            0, nullptr);
        denied.assign(buffer, length);
        ::LocalFree(buffer);
        while (!denied.empty() && iswspace(denied.back())) denied.pop_back();
    }
    EXPECT_EQ(box.caption, L"File Error");
    EXPECT_EQ(box.text, L"Failed to save the generated report. " + denied);
    EXPECT_EQ(box.icon, bx::test::BoxIcon::kError);
    Screenshot(prompt, "crash_file_error");
    bx::test::AnswerMessageBox(prompt, IDOK);
    held.reset();
    EXPECT_EQ(ReadBytes(readOnly), "keep");
    EXPECT_TRUE(Exists(dir_ + L"HVNCrash.dmp"));  // nothing saved, the dump stays

    // A writable target: the archive is copied and the dump deleted, the old
    // dump kept; the dialog stays open.
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(kSaveAs, BN_CLICKED), 0);
    SaveThrough(tool_.Pid(), &save, dir_ + L"saved.zip", &offered);
    ASSERT_TRUE(bx::test::WaitUntil([&] { return !Exists(dir_ + L"HVNCrash.dmp"); }, 20000));
    EXPECT_EQ(ReadBytes(dir_ + L"saved.zip"), ReadBytes(archive_));
    EXPECT_TRUE(Exists(dir_ + L"HVNCrash_old.dmp"));
    EXPECT_TRUE(::IsWindow(dialog));
}

TEST_F(CrashWindow, SendDeletesTheArchiveAndBothDumpsOnlyWhenTheMailIsAccepted) {
    // Mail available: win.ini's [MAIL] MAPI=1 and a MAPI32.DLL on the search
    // path (the tests' recorder beside the tool, taken as native).
    bx::win::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kAppDefaults) + L"\\DllOverrides").c_str(), 0, nullptr,
                                0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t kNative[] = L"native";
    ::RegSetValueExW(key.get(), L"mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNative), sizeof kNative);
    ASSERT_TRUE(
        ::CopyFileW((bx::test::ExeDirectory() + L"mapi_recorder.dll").c_str(), (dir_ + L"MAPI32.DLL").c_str(), FALSE));
    ::WriteProfileStringW(L"MAIL", L"MAPI", L"1");
    for (const char* answer : {"0 1", "0 0"}) {
        SCOPED_TRACE(answer);
        WriteBytes(dir_ + L"mapi_answer.txt", answer);
        ::DeleteFileW((dir_ + L"mapi_calls.txt").c_str());
        WriteDumps(true);
        HWND dialog = Start(true);
        ASSERT_NE(dialog, nullptr);
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        sheet_ = bx::test::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 60000);
        ASSERT_NE(sheet_, nullptr);
        ASSERT_TRUE(bx::test::WaitUntil(
            [&] { return ReadBytes(dir_ + L"mapi_calls.txt").find("MAPIFreeBuffer") != std::string::npos; }, 30000));
        bx::test::Sync(sheet_);
        std::string calls = ReadBytes(dir_ + L"mapi_calls.txt");
        EXPECT_NE(calls.find("[path=\"" + Narrow(archive_) + "\" name=null position=-1"), std::string::npos) << calls;
        bool accepted = std::string(answer) == "0 0";
        EXPECT_EQ(Exists(archive_), !accepted);
        EXPECT_EQ(Exists(dir_ + L"HVNCrash.dmp"), !accepted);
        EXPECT_EQ(Exists(dir_ + L"HVNCrash_old.dmp"), !accepted);
        ::PostMessageW(sheet_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(sheet_, IDCANCEL)));
        ASSERT_TRUE(tool_.Wait(15000));
        sheet_ = nullptr;
    }
}

}  // namespace
