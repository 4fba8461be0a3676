// The crash report dialog of BXHVNTSR.exe in a real window under Xvfb: the
// sheet offers it when the agent's crash dump lies beside the tool. The
// archive it builds is read outside the product (unzip -t, Python's zipfile,
// started through Wine as Linux programs); Exit, Save As and Send are driven
// through tests/support/win/window_driver.h. Send goes through the tests' own
// MAPI32.DLL (see tool_reports_window_test.cpp for why).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
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
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return "<not started>";
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    bxtest::WaitUntil([&] { return Exists(done); }, 30000, 100);
    *status = std::atoi(ReadBytes(done).c_str());
    return ReadBytes(out);
}

class CrashWindow : public testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserKey);
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        std::wstring base = bxtest::ExeDirectory() + L"crash window\\";
        ::CreateDirectoryW(base.c_str(), nullptr);
        dir_ = bxtest::MakeFreshDirectory(base, bxtest::Widen(info->name()));
        ASSERT_TRUE(::CopyFileW((bxtest::ExeDirectory() + L"BXHVNTSR.exe").c_str(), (dir_ + L"BXHVNTSR.exe").c_str(),
                                FALSE));
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
        EXPECT_TRUE(tool_.Start(bxtest::Quote(dir_ + L"BXHVNTSR.exe")));
        if (!expectDialog) {
            sheet_ = bxtest::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 60000);
            EXPECT_NE(sheet_, nullptr);
            EXPECT_TRUE(bxtest::FindTopWindows(kDialogTitle, L"#32770", tool_.Pid()).empty());
            return nullptr;
        }
        HWND dialog = bxtest::WaitForTopWindow(kDialogTitle, L"#32770", tool_.Pid(), 60000);
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
        bxtest::Repaint(window);
        EXPECT_TRUE(bxtest::SaveScreenshot(std::string(BX_SCREENSHOT_DIR) + "/tool_" + name + ".png"));
    }

    bxtest::GuiProgram tool_;
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
    EXPECT_EQ(bxtest::ItemText(dialog, kSaveAs), L"Save &As...");
    EXPECT_EQ(bxtest::ItemText(dialog, IDOK), L"&Send");
    EXPECT_EQ(bxtest::ItemText(dialog, IDCANCEL), L"E&xit");
    // No mail profile in this prefix: Send is disabled.
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)));
    Screenshot(dialog, "crash_dialog");
    EXPECT_EQ(Entries(archive_), "['BX_HVN_TSR.txt', 'HVNCrash.dmp', 'HVNCrash_old.dmp']\nTrue\nTrue\n");
    EXPECT_FALSE(Exists(TempDirectory() + L"BX_HVN_TSR.txt"));

    bxtest::PressResult press = bxtest::PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(bxtest::WaitUntil([&] { return !::IsWindow(dialog); }, 15000));
    EXPECT_FALSE(Exists(dir_ + L"HVNCrash.dmp"));
    EXPECT_EQ(ReadBytes(dir_ + L"HVNCrash_old.dmp"), std::string("MDMP current dump\0\1", 20));
    sheet_ = bxtest::WaitForTopWindow(kSheetTitle, L"#32770", tool_.Pid(), 30000);
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

}  // namespace
