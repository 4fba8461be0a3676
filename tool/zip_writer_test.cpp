// CZLib's archives, checked outside the product: `unzip -t` and Python's
// zipfile read them (started through Wine as Linux programs), entry names
// without folders, contents, DOS dates from the files' last-write times.
#include "tool/zip_writer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"

namespace {

using bx::test::ExeDirectory;
using bx::test::ReadFileBytes;
using bx::test::RunLinux;
using bx::test::UnixPath;

// Sets a file's last-write time from a local time.
void SetLocalWriteTime(const std::wstring& path, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME when{year, month, 0, day, hour, minute, second, 0};
    FILETIME local{}, utc{};
    ASSERT_TRUE(::SystemTimeToFileTime(&when, &local));
    ASSERT_TRUE(::LocalFileTimeToFileTime(&local, &utc));
    bx::win::UniqueFile file(
        ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &utc));
}

class ZipWriter : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ExeDirectory() + L"zip writer\\";
        ::CreateDirectoryW(dir_.c_str(), nullptr);
        ::CreateDirectoryW((dir_ + L"sub").c_str(), nullptr);
    }
    std::wstring dir_;
};

TEST_F(ZipWriter, EntriesWithoutFoldersWithContentsAndDosDatesReadOutsideTheProduct) {
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + " of a dump that spans chunks\r\n";
    ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"sub\\HVNCrash.dmp", big));
    ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"HVNCrash_old.dmp", std::string("MDMP\0\1\2\3", 8)));
    ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"BX_HVN_TSR.txt", ""));
    SetLocalWriteTime(dir_ + L"sub\\HVNCrash.dmp", 2012, 8, 26, 14, 30, 4);
    SetLocalWriteTime(dir_ + L"HVNCrash_old.dmp", 2019, 1, 2, 3, 4, 6);
    SetLocalWriteTime(dir_ + L"BX_HVN_TSR.txt", 2026, 12, 9, 23, 59, 58);
    std::wstring archive = dir_ + L"HVNCrashReport.zip";
    ASSERT_TRUE(bx::test::WriteFileBytes(archive, "an older file of that name"));
    {
        CZLib zip;
        ASSERT_TRUE(zip.Open(archive));
        EXPECT_TRUE(zip.AddFile(dir_ + L"sub\\HVNCrash.dmp"));
        EXPECT_TRUE(zip.AddFile(dir_ + L"HVNCrash_old.dmp"));
        EXPECT_FALSE(zip.AddFile(dir_ + L"no such file.dmp"));
        {
            // A file someone holds open for writing cannot be opened unshared.
            bx::win::UniqueFile held(::CreateFileW((dir_ + L"held.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                   nullptr, CREATE_ALWAYS, 0, nullptr));
            ASSERT_TRUE(held);
            EXPECT_FALSE(zip.AddFile(dir_ + L"held.log"));
        }
        EXPECT_TRUE(zip.AddFile(dir_ + L"BX_HVN_TSR.txt"));
    }  // closed by the destructor

    int status = -1;
    std::string test = RunLinux(dir_, "unzip -t '" + UnixPath(archive) + "'", &status);
    EXPECT_EQ(status, 0) << test;
    EXPECT_NE(test.find("No errors detected"), std::string::npos) << test;

    std::string python =
        "python3 - '" + UnixPath(archive) + "' '" + UnixPath(dir_) +
        "' <<'PY'\n"
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "for i in z.infolist():\n"
        "    print(i.filename, i.compress_type, i.date_time, i.external_attr, i.internal_attr, len(i.extra), "
        "len(i.comment), i.file_size)\n"
        "print('comment', len(z.comment))\n"
        "d = sys.argv[2]\n"
        "print('same', z.read('HVNCrash.dmp') == open(d + 'sub/HVNCrash.dmp', 'rb').read(),\n"
        "      z.read('HVNCrash_old.dmp') == open(d + 'HVNCrash_old.dmp', 'rb').read(),\n"
        "      z.read('BX_HVN_TSR.txt') == b'')\n"
        "PY";
    std::string listing = RunLinux(dir_, python, &status);
    EXPECT_EQ(status, 0) << listing;
    // DOS times have two-second steps: 14:30:04 stays, 03:04:06 stays. The
    // entries are given attributes 0; minizip itself marks an entry whose
    // deflated data looked like text (internal attribute 1).
    EXPECT_EQ(listing, "HVNCrash.dmp 8 (2012, 8, 26, 14, 30, 4) 0 1 0 0 " + std::to_string(big.size()) +
                           "\n"
                           "HVNCrash_old.dmp 8 (2019, 1, 2, 3, 4, 6) 0 0 0 0 8\n"
                           "BX_HVN_TSR.txt 8 (2026, 12, 9, 23, 59, 58) 0 0 0 0 0\n"
                           "comment 0\n"
                           "same True True True\n");
}

TEST_F(ZipWriter, AnArchiveThatCannotBeCreatedAddsNothing) {
    CZLib zip;
    EXPECT_FALSE(zip.Open(dir_ + L"no such folder\\x.zip"));
    ASSERT_TRUE(bx::test::WriteFileBytes(dir_ + L"a.txt", "a"));
    EXPECT_FALSE(zip.AddFile(dir_ + L"a.txt"));
    zip.Close();
}

}  // namespace
