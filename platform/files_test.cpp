// Whole files through the real file API (Win32 under Wine): bytes round-trip
// exactly (no text-mode translation), rewrites truncate, deletes report
// absent files.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/host_facts.h"

namespace bx::files {
namespace {

std::wstring TestPath(const char* name) {
    std::wstring dir;
    EXPECT_EQ(0u, host::ExecutableDirectory(dir));
    const std::string narrow = std::string("files_test_") + name;
    return JoinPath(dir, std::wstring(narrow.begin(), narrow.end()));
}

TEST(Files, BytesRoundTripWithoutTranslation) {
    const std::wstring path = TestPath("bytes");
    const uint8_t bytes[] = {0x0A, 0x1A, 0x0D, 0x0A, 0x00, 0xFF, 0x0D, 0x1A, 0x0A};
    ASSERT_EQ(0u, WriteWholeFile(path, bytes, sizeof bytes));
    std::vector<uint8_t> read;
    ASSERT_EQ(0u, ReadWholeFile(path, read));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof bytes), read);
    EXPECT_EQ(0u, DeleteFileAt(path));
}

TEST(Files, RewriteTruncates) {
    const std::wstring path = TestPath("rewrite");
    std::vector<uint8_t> big(5000, 0x41);
    ASSERT_EQ(0u, WriteWholeFile(path, big.data(), big.size()));
    const uint8_t small[3] = {1, 2, 3};
    ASSERT_EQ(0u, WriteWholeFile(path, small, sizeof small));
    std::vector<uint8_t> read;
    ASSERT_EQ(0u, ReadWholeFile(path, read));
    EXPECT_EQ(std::vector<uint8_t>({1, 2, 3}), read);
    EXPECT_EQ(0u, DeleteFileAt(path));
}

TEST(Files, AbsentFilesAndDirectories) {
    const std::wstring path = TestPath("absent");
    DeleteFileAt(path);
    std::vector<uint8_t> read{1};
    EXPECT_EQ(err::kFileNotFound, ReadWholeFile(path, read));
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(err::kFileNotFound, DeleteFileAt(path));
    const std::wstring inMissingDir = JoinPath(JoinPath(TestPath("nodir"), L"sub"), L"file");
    const uint8_t b = 0;
    EXPECT_NE(0u, WriteWholeFile(inMissingDir, &b, 1));
}

TEST(Files, JoinPathUsesThePlatformSeparator) {
    const std::wstring sep(1, PathSeparator());
    EXPECT_EQ(L"dir" + sep + L"name", JoinPath(L"dir", L"name"));
    EXPECT_EQ(L"dir" + sep + L"name", JoinPath(L"dir" + sep, L"name"));
    EXPECT_EQ(L"name", JoinPath(L"", L"name"));
}

}  // namespace
}  // namespace bx::files
