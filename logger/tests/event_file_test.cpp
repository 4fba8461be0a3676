// BXLogger's event-log file sink through the exported interface: the full
// path, the line layout with the event type labels, the results of
// AddEventViewer/RemoveEventViewer, and the size rule (stop when full, or
// delete and start anew without an "old_" copy).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "BXLogger.h"
#include "tests/support/logger_files.h"

using bx::test::kStamp;
using bx::test::Lines;
using bx::test::Logger;
using bx::test::ReadFile;
using bx::test::Widen;

namespace {

// FreshDir's directory without its trailing separator.
std::string Bare(const std::string& dir) { return dir.substr(0, dir.size() - 1); }

}  // namespace

// Priorities 0-3 are errors, 4-5 warnings, the others information; the line
// is date and time, the type's label, the message.
TEST(LoggerEventFile, LineLayoutWithTypeLabels) {
    std::string dir = bx::test::FreshDir("evt_layout");
    Logger log;
    // The directory without a trailing separator gets one.
    ASSERT_EQ(0u, BXLog_AddEventViewer(log.h, L"events.log", Widen(Bare(dir)).c_str(), 0, 0));
    for (uint32_t p = 0; p <= 9; ++p) ASSERT_EQ(0u, BXLog_Log(log.h, p, L"event %u", p)) << BXLog_GetErrorStr(log.h);
    std::vector<std::string> lines = Lines(ReadFile(dir + "events.log"));
    ASSERT_EQ(10u, lines.size());
    const char* labels[] = {"Error\t\t",   "Error\t\t",     "Error\t\t",     "Error\t\t",     "Warning\t\t",
                            "Warning\t\t", "Information\t", "Information\t", "Information\t", "Information\t"};
    for (uint32_t p = 0; p <= 9; ++p)
        EXPECT_TRUE(
            std::regex_match(lines[p], std::regex(std::string(kStamp) + labels[p] + "event " + std::to_string(p))))
            << lines[p];
}

TEST(LoggerEventFile, AddAndRemoveResults) {
    std::string dir = bx::test::FreshDir("evt_add");
    std::wstring wdir = Widen(dir);
    std::wstring path = wdir + L"e.log";
    Logger log;
    EXPECT_EQ(87u, BXLog_AddEventViewer(log.h, L"e.log", nullptr, 0, 0));
    EXPECT_EQ(std::wstring(L"Could not add to EventViewer File Path Must not be NULL if FileName is given\n"),
              log.Error());
    EXPECT_EQ(31u, BXLog_Log(log.h, 6, L"no sink"));

    ASSERT_EQ(0u, BXLog_AddEventViewer(log.h, L"e.log", wdir.c_str(), 0, 0));
    EXPECT_FALSE(bx::test::Exists(dir + "e.log"));  // opened at the first write
    EXPECT_EQ(85u, BXLog_AddEventViewer(log.h, L"e.log", wdir.c_str(), 0, 0));
    EXPECT_EQ(L"FileName:\"" + path + L"\" Already assigned to Evt-Log File.\n", log.Error());
    ASSERT_EQ(0u, BXLog_Log(log.h, 6, L"one"));

    // An existing file needs flag 1, which opens it truncated.
    Logger other;
    EXPECT_EQ(183u, BXLog_AddEventViewer(other.h, L"e.log", wdir.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    EXPECT_EQ(L"FileName:\"" + path + L"\" Already Exist at location. Counld not add Evt-Log File\n", other.Error());
    EXPECT_EQ(31u, BXLog_Log(other.h, 6, L"not assigned"));

    EXPECT_EQ(87u, BXLog_RemoveEventViewer(log.h, nullptr));
    EXPECT_EQ(std::wstring(L"Could not remove from EventViewer path is NULL.\n"), log.Error());
    EXPECT_EQ(0u, BXLog_RemoveEventViewer(log.h, L"any name"));  // the name is not compared
    EXPECT_EQ(31u, BXLog_Log(log.h, 6, L"removed"));
    EXPECT_EQ(1u, Lines(ReadFile(dir + "e.log")).size());

    ASSERT_EQ(0u, BXLog_AddEventViewer(other.h, L"e.log", wdir.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    EXPECT_EQ(85u, BXLog_AddEventViewer(other.h, L"e.log", wdir.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    ASSERT_EQ(0u, BXLog_Log(other.h, 4, L"two"));
    BXLog_RemoveEventViewer(other.h, L"e.log");
    std::vector<std::string> lines = Lines(ReadFile(dir + "e.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + "Warning\t\ttwo"))) << lines[0];

    // The class methods reach the same sink.
    CBXLogger unset;
    EXPECT_EQ(87u, unset.AddEventViewer(L"e.log", wdir.c_str(), 0, 0));
    EXPECT_EQ(87u, unset.RemoveEventViewer(L"e.log"));
    CBXLogger object;
    ASSERT_EQ(0u, object.Init());
    ASSERT_EQ(0u, object.AddEventViewer(L"c.log", wdir.c_str(), 0, 0));
    EXPECT_EQ(0u, object.Log(BXLOG_CRITICAL, L"three"));
    EXPECT_EQ(0u, object.RemoveEventViewer(L"c.log"));
    EXPECT_EQ(0u, object.Cleanup());
    EXPECT_EQ(1u, Lines(ReadFile(dir + "c.log")).size());
}

// An empty directory gives an empty path: every write fails with 87.
TEST(LoggerEventFile, EmptyDirectoryFailsEveryWrite) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddEventViewer(log.h, L"e.log", L"", 0, 0));
    EXPECT_EQ(31u, BXLog_Log(log.h, 6, L"nowhere"));
    EXPECT_EQ(0u, log.Error().find(L"Log to EventFile Specifled! but the Filename is NULL\n")) << log.Error().c_str();
}

TEST(LoggerEventFile, UnopenableFileGivesText137) {
    std::string dir = bx::test::FreshDir("evt_unopenable");
    Logger log;
    std::wstring subdir = Widen(dir + "missing");
    ASSERT_EQ(0u, BXLog_AddEventViewer(log.h, L"x.log", subdir.c_str(), 0, 0));
    EXPECT_EQ(31u, BXLog_Log(log.h, 6, L"lost"));
    std::wstring error = log.Error();
    EXPECT_EQ(0u, error.find(L"Failed to open Evt-file \"" + subdir)) << error.c_str();
}

// 37-character messages make lines of 68 characters (69 bytes on Windows,
// where LF is written as CR LF): with a maximum of 300 bytes the fifth line
// reaches the limit.
class LoggerEventFileFull : public ::testing::Test {
protected:
    void SetUp() override {
        dir = bx::test::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_EQ(0u, BXLog_Init(&h));
    }
    void TearDown() override { BXLog_Cleanup(h); }
    uint32_t Line(int i) { return BXLog_Log(h, BXLOG_INFORMATIONAL, L"line %d of forty characters, padded...", i); }
    std::string dir;
    BXLOG_HANDLE h = nullptr;
};

TEST_F(LoggerEventFileFull, StopWhenFull) {
    ASSERT_EQ(0u, BXLog_AddEventViewer(h, L"full.log", Widen(dir).c_str(), 300, LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL));
    for (int i = 1; i <= 4; ++i) ASSERT_EQ(0u, Line(i)) << BXLog_GetErrorStr(h);
    std::string before = ReadFile(dir + "full.log");
    EXPECT_EQ(31u, Line(5));
    EXPECT_EQ(std::wstring(L"Max.size Evt-log file is achieved !Stopping loggging!due to "
                           L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n"),
              std::wstring(BXLog_GetErrorStr(h)));
    EXPECT_EQ(31u, Line(6));
    EXPECT_EQ(std::wstring(L"MAX Evt-log File Size is achieved!Stop at Full is 'Enabled'\n"),
              std::wstring(BXLog_GetErrorStr(h)));
    EXPECT_EQ(before, ReadFile(dir + "full.log"));
    EXPECT_EQ(4u, Lines(before).size());
}

TEST_F(LoggerEventFileFull, WithoutStopTheFileIsDeletedAndStartedAnew) {
    ASSERT_EQ(0u, BXLog_AddEventViewer(h, L"full.log", Widen(dir).c_str(), 300, 0));
    for (int i = 1; i <= 5; ++i) ASSERT_EQ(0u, Line(i)) << BXLog_GetErrorStr(h);
    std::vector<std::string> lines = Lines(ReadFile(dir + "full.log"));
    ASSERT_EQ(1u, lines.size());  // the old content is gone
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + "Information\tline 5 of .*"))) << lines[0];
    EXPECT_FALSE(bx::test::Exists(dir + "old_full.log"));
    for (int i = 6; i <= 8; ++i) ASSERT_EQ(0u, Line(i));
    EXPECT_EQ(4u, Lines(ReadFile(dir + "full.log")).size());
}
