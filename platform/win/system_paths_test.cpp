// Where programs take DLLs and system programs from, through the real calls.
#include "platform/win/system_paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "tests/support/win/process_runner.h"

namespace {

// A DLL in the current folder (a copy of the tests' MAPI recorder) loads by
// bare name until the search is restricted, and not afterwards; System32's
// DLLs still do. (The restriction stays for the process: one case per run.)
TEST(SystemPaths, OnceRestrictedNoDllOfTheCurrentFolderIsLoaded) {
    const std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"planted dll");
    ASSERT_TRUE(
        CopyFileW((bx::test::ExeDirectory() + L"mapi_recorder.dll").c_str(), (dir + L"bx_planted.dll").c_str(), FALSE));
    wchar_t previous[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));

    HMODULE before = LoadLibraryW(L"bx_planted.dll");
    EXPECT_NE(nullptr, before) << "the process's default search includes the current folder";
    if (before) FreeLibrary(before);

    EXPECT_EQ(0u, bx::win::RestrictDllSearchPath());
    EXPECT_EQ(nullptr, LoadLibraryW(L"bx_planted.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    HMODULE system = LoadLibraryW(L"winhttp.dll");
    EXPECT_NE(nullptr, system);
    if (system) FreeLibrary(system);
    SetCurrentDirectoryW(previous);
}

TEST(SystemPaths, SystemFilesAreNamedBySystem32sFullPath) {
    wchar_t folder[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(folder, MAX_PATH));
    EXPECT_EQ(std::wstring(folder) + L"\\ipconfig.exe", bx::win::SystemFilePath(L"ipconfig.exe"));
    EXPECT_TRUE(bx::test::FileExists(bx::win::SystemFilePath(L"ipconfig.exe")));
}

}  // namespace
