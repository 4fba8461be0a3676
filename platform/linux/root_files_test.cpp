// The agent's root-only folders and files.
#include "platform/linux/root_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/errors.h"
#include "tests/support/posix/linux_host.h"

namespace bx::linuxfs {
namespace {

class RootFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bxhvns-files-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override { bx::test::Shell("rm -rf " + dir); }
    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        lstat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
    std::string dir;
};

TEST_F(RootFiles, FoldersAreTheAgentsAlone) {
    bool narrowed = true;
    std::string error;
    const std::string state = dir + "/state";
    ASSERT_EQ(0u, EnsurePrivateDirectory(state, narrowed, error)) << error;
    EXPECT_FALSE(narrowed);
    EXPECT_EQ(0700u, ModeOf(state));
    ASSERT_EQ(0, chmod(state.c_str(), 0755));
    ASSERT_EQ(0u, EnsurePrivateDirectory(state, narrowed, error)) << error;
    EXPECT_TRUE(narrowed);
    EXPECT_EQ(0700u, ModeOf(state));

    const std::string link = dir + "/link";
    ASSERT_EQ(0, symlink(state.c_str(), link.c_str()));
    EXPECT_EQ(err::kAccessDenied, EnsurePrivateDirectory(link, narrowed, error));
    const std::string foreign = dir + "/foreign";
    ASSERT_EQ(0, mkdir(foreign.c_str(), 0700));
    ASSERT_EQ(0, chown(foreign.c_str(), 65534, 65534));
    EXPECT_EQ(err::kAccessDenied, EnsurePrivateDirectory(foreign, narrowed, error));
    EXPECT_NE(std::string::npos, error.find("belongs to uid 65534")) << error;
}

TEST_F(RootFiles, FilesAreWrittenWholeForRootOnly) {
    std::string error, text;
    const std::string path = dir + "/status";
    ASSERT_EQ(0u, WritePrivateFile(path, "first", 5, error)) << error;
    ASSERT_EQ(0u, WritePrivateFile(path, "second", 6, error)) << error;
    EXPECT_EQ(0600u, ModeOf(path));
    ASSERT_EQ(0u, ReadPrivateFile(path, 100, text, error)) << error;
    EXPECT_EQ("second", text);
    EXPECT_EQ(err::kInvalidData, ReadPrivateFile(path, 3, text, error));
    EXPECT_EQ(err::kFileNotFound, ReadPrivateFile(dir + "/none", 100, text, error));
    const std::string link = dir + "/link";
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));
    EXPECT_EQ(err::kAccessDenied, ReadPrivateFile(link, 100, text, error));
    // Written through a link, the link itself is replaced: its target stays.
    ASSERT_EQ(0u, WritePrivateFile(link, "third", 5, error)) << error;
    ASSERT_EQ(0u, ReadPrivateFile(path, 100, text, error));
    EXPECT_EQ("second", text);
}

TEST_F(RootFiles, OneAgentHoldsThePidFile) {
    const std::string path = dir + "/bxhvns.pid";
    std::string error;
    pid_t pid = 0;
    EXPECT_EQ(err::kFileNotFound, LockedPid(path, pid, error));
    {
        PidFile first;
        ASSERT_EQ(0u, first.Acquire(path, error)) << error;
        ASSERT_EQ(0u, LockedPid(path, pid, error)) << error;
        EXPECT_EQ(getpid(), pid);
        PidFile second;
        EXPECT_EQ(err::kAlreadyExists, second.Acquire(path, error));
        EXPECT_EQ("another bxhvns is running (process " + std::to_string(getpid()) + ", " + path + ")", error);
    }
    EXPECT_EQ(err::kFileNotFound, LockedPid(path, pid, error));
    // A file left by an agent that ended holds no lock.
    FILE* stale = fopen(path.c_str(), "w");
    fputs("12345\n", stale);
    fclose(stale);
    EXPECT_EQ(err::kFileNotFound, LockedPid(path, pid, error));
    EXPECT_NE(std::string::npos, error.find("left from an agent that ended")) << error;
}

TEST(Uuids, NewOnesAreWellFormedAndDiffer) {
    std::string a, b;
    ASSERT_TRUE(NewUuidText(a));
    ASSERT_TRUE(NewUuidText(b));
    EXPECT_TRUE(IsUuidText(a)) << a;
    EXPECT_NE(a, b);
    EXPECT_FALSE(IsUuidText("0123456789abcdef0123456789abcdef0123"));
    EXPECT_FALSE(IsUuidText("01234567-89ab-cdef-0123-456789abcdeg"));
}

}  // namespace
}  // namespace bx::linuxfs
