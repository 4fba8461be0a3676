// The status record on disk (through the Win32 file API under Wine): exactly
// 40 little-endian bytes, written in binary so that counter bytes 0x0A and
// 0x1A come back as they are, and rewritten by each request.
#include "agent/appliance/status_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "platform/host_facts.h"

namespace {

// A directory of the running case's own beside the test program, so that
// cases and other programs writing the record may run in parallel.
std::wstring Dir() {
    std::wstring dir;
    EXPECT_EQ(0u, bx::host::ExecutableDirectory(dir));
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string("status_") + info->name();
    dir = bx::files::JoinPath(dir, std::wstring(name.begin(), name.end()));
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(dir), error);
    return dir;
}

std::vector<uint8_t> ReadRecord() {
    std::vector<uint8_t> bytes;
    EXPECT_EQ(0u, bx::files::ReadWholeFile(bx::files::JoinPath(Dir(), bx::kStatusFileName), bytes));
    return bytes;
}

TEST(StatusFile, RecordLayoutIsLittleEndianInCounterOrder) {
    bx::StatisticsSnapshot s;
    for (size_t i = 0; i < bx::kStatusCounters; ++i) s.counters[i] = static_cast<int32_t>(0x01020300 + i);
    s.counters[bx::kParseFailures] = -2;
    uint8_t bytes[bx::kStatusRecordSize];
    bx::EncodeStatusRecord(s, bytes);
    EXPECT_EQ(0x00, bytes[0]);
    EXPECT_EQ(0x03, bytes[1]);
    EXPECT_EQ(0x02, bytes[2]);
    EXPECT_EQ(0x01, bytes[3]);
    EXPECT_EQ(0x09, bytes[36]);
    EXPECT_EQ(0xFE, bytes[12]);
    EXPECT_EQ(0xFF, bytes[15]);
    bx::StatisticsSnapshot back;
    ASSERT_TRUE(bx::DecodeStatusRecord(bytes, sizeof bytes, back));
    for (size_t i = 0; i < bx::kStatusCounters; ++i) EXPECT_EQ(s.counters[i], back.counters[i]);
    EXPECT_FALSE(bx::DecodeStatusRecord(bytes, 39, back));
}

TEST(StatusFile, LineFeedAndEndOfFileBytesStayAsTheyAre) {
    bx::StatisticsSnapshot s;
    s.counters[bx::kNotificationsSent] = 0x0A;      // a lone line feed
    s.counters[bx::kEnteredInRequestTable] = 0x1A;  // the text-mode end-of-file mark
    s.counters[bx::kClosesSent] = 0x0A0D0A1A;       // both, and a carriage return
    s.counters[bx::kQueueCapacity] = 50000;
    s.counters[bx::kResponsesProcessed] = 0x1A0A;
    ASSERT_EQ(0u, bx::WriteStatusFile(s, Dir()));
    const std::vector<uint8_t> bytes = ReadRecord();
    ASSERT_EQ(bx::kStatusRecordSize, bytes.size());
    EXPECT_EQ((std::vector<uint8_t>{0x0A, 0, 0, 0}), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4));
    EXPECT_EQ((std::vector<uint8_t>{0x1A, 0, 0, 0}), std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 8));
    EXPECT_EQ((std::vector<uint8_t>{0x1A, 0x0A, 0x0D, 0x0A}),
              std::vector<uint8_t>(bytes.begin() + 8, bytes.begin() + 12));
    bx::StatisticsSnapshot back;
    ASSERT_TRUE(bx::DecodeStatusRecord(bytes.data(), bytes.size(), back));
    for (size_t i = 0; i < bx::kStatusCounters; ++i) EXPECT_EQ(s.counters[i], back.counters[i]) << i;
}

TEST(StatusFile, EachRequestRewritesTheRecord) {
    bx::StatisticsSnapshot s;
    s.counters[bx::kQueueCapacity] = 50000;
    ASSERT_EQ(0u, bx::WriteStatusFile(s, Dir()));
    s.counters[bx::kNotificationsSent] = 7;
    s.counters[bx::kResponsesProcessed] = 6;
    ASSERT_EQ(0u, bx::WriteStatusFile(s, Dir()));
    const std::vector<uint8_t> bytes = ReadRecord();
    bx::StatisticsSnapshot back;
    ASSERT_TRUE(bx::DecodeStatusRecord(bytes.data(), bytes.size(), back));
    EXPECT_EQ(7, back.counters[bx::kNotificationsSent]);
    EXPECT_EQ(6, back.counters[bx::kResponsesProcessed]);
    EXPECT_EQ(50000, back.counters[bx::kQueueCapacity]);
}

TEST(StatusFile, UnwritableDirectoryReportsAnError) {
    bx::StatisticsSnapshot s;
    const std::wstring missing = bx::files::JoinPath(Dir(), L"no_such_directory_for_status");
    EXPECT_NE(0u, bx::WriteStatusFile(s, missing));
}

}  // namespace
