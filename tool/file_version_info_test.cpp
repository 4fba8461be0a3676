// CFileVersionInfo against real version resources: the tool's own program
// (built beside this test) and files without one.
#include "tool/file_version_info.h"

#include <gtest/gtest.h>

#include "platform/product_version.h"

namespace {

std::wstring BinDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

TEST(FileVersionInfo, ReadsTheToolsOwnVersionResource) {
    CFileVersionInfo info;
    ASSERT_TRUE(info.Load(BinDirectory() + L"BXHVNTSR.exe"));
    EXPECT_EQ(info.GetString(L"ProductName"), L"Brontavex Halvern");
    EXPECT_EQ(info.GetString(L"LegalCopyright"), L"Copyright (C) Brontavex. All rights reserved.");
    EXPECT_EQ(info.GetString(L"NoSuchKey"), L"");
    EXPECT_EQ(info.GetFileVersion(), Wide(BX_VERSION_TEXT));
    EXPECT_EQ(info.GetProductVersion(), Wide(BX_VERSION_TEXT));
}

TEST(FileVersionInfo, NothingLoadedGivesEmptyTexts) {
    CFileVersionInfo info;
    EXPECT_FALSE(info.Load(L"C:\\no\\such\\file.exe"));
    EXPECT_EQ(info.GetFileVersion(), L"");
    EXPECT_EQ(info.GetProductVersion(), L"");
    EXPECT_EQ(info.GetString(L"ProductName"), L"");
}

TEST(FileVersionInfo, AProgramWithoutAVersionResourceDoesNotLoad) {
    CFileVersionInfo info;
    EXPECT_FALSE(info.Load());  // this test program carries none
    EXPECT_EQ(info.GetFileVersion(), L"");
}

}  // namespace
