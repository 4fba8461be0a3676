// The log facade: line format, gating, literal text, dropped messages and the
// settings snapshot taken at construction.
#include "agent/settings/log_impl.h"

#include "agent/settings/log_burst.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "BXLogger.h"
#include "platform/thread_id.h"
#include "tests/support/settings_fixture.h"

namespace {

using bx::test::SettingsTest;

std::wstring Line(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring line = CLogImpl::FormatLine(format, args);
    va_end(args);
    return line;
}

std::string IdPrefix(uint32_t threadId) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "Id:%04d\t", static_cast<int>(threadId));
    return prefix;
}

// A logger writing to a file of the test's own.
class LoggedFacade : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::string("log_impl_") + info->name() + ".log";
        std::remove(path_.c_str());
        ASSERT_EQ(0u, logger_.Init());
        std::wstring wide(path_.begin(), path_.end());
        ASSERT_EQ(0u, logger_.AddFile(wide.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    }
    void TearDown() override {
        logger_.Cleanup();
        std::remove(path_.c_str());
        SettingsTest::TearDown();
    }
    std::string Written() { return bx::test::ReadFileText(path_); }

    std::string path_;
    CBXLogger logger_;
};

TEST(FacadeLine, PrefixAndCutTo1023Characters) {
    EXPECT_EQ(L"", Line(nullptr));
    EXPECT_EQ(L"", Line(L""));
    std::wstring line = Line(L"%ls=%d", L"port", 42);
    std::string expected = IdPrefix(bx::CurrentThreadId()) + "port=42";
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), line);

    std::wstring message(2000, L'm');
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<wchar_t>(L'a' + i % 26);
    std::string prefix = IdPrefix(bx::CurrentThreadId());
    line = Line(L"%ls", message.c_str());
    EXPECT_EQ(std::wstring(prefix.begin(), prefix.end()) + message.substr(0, 1023), line);
    // Cut inside the format's own text as well.
    line = Line((message + L"%d").c_str(), 5);
    EXPECT_EQ(prefix.size() + 1023, line.size());
}

TEST(FacadeLine, IdIsZeroPaddedToFourDigits) {
    std::wstring line = Line(L"x");
    std::string narrow(line.begin(), line.end());
    ASSERT_GE(narrow.size(), 9u) << narrow;
    EXPECT_EQ("Id:", narrow.substr(0, 3));
    EXPECT_EQ("\tx", narrow.substr(narrow.size() - 2));
    std::string digits = narrow.substr(3, narrow.size() - 5);
    EXPECT_GE(digits.size(), 4u);
    EXPECT_EQ(std::string::npos, digits.find_first_not_of("0123456789")) << narrow;
}

TEST_F(LoggedFacade, LinesReachTheLoggerAsLiteralText) {
    CLogImpl facade;
    facade.SetLogger(&logger_);
    EXPECT_EQ(0u, facade.LogInfo(L"SessionID:'%d'  %ls@%ls Logged-on", 3, L"us%sr%n%d", L"DOM%%"));
    EXPECT_EQ(0u, facade.LogError(L"Failed to open device driver Error:%d", 5));
    EXPECT_EQ(0u, facade.LogWarning(L"warn"));
    std::string log = Written();
    std::string id = IdPrefix(bx::CurrentThreadId());
    EXPECT_NE(std::string::npos, log.find("Informational\t" + id + "SessionID:'3'  us%sr%n%d@DOM%% Logged-on\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Error        \t" + id + "Failed to open device driver Error:5\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Warning      \t" + id + "warn\n")) << log;
}

TEST_F(LoggedFacade, EachThreadWritesItsOwnId) {
    CLogImpl facade;
    facade.SetLogger(&logger_);
    uint32_t otherId = 0;
    std::thread other([&] {
        otherId = bx::CurrentThreadId();
        facade.LogInfo(L"from other");
    });
    other.join();
    facade.LogInfo(L"from main");
    ASSERT_NE(otherId, bx::CurrentThreadId());
    std::string log = Written();
    EXPECT_NE(std::string::npos, log.find(IdPrefix(otherId) + "from other")) << log;
    EXPECT_NE(std::string::npos, log.find(IdPrefix(bx::CurrentThreadId()) + "from main")) << log;
}

TEST_F(LoggedFacade, DebugIsGatedBeforeFormattingByVerbose) {
    CLogImpl quiet;  // verbose absent
    quiet.SetLogger(&logger_);
    EXPECT_EQ(0u, quiet.LogDebug(nullptr));
    EXPECT_EQ(0u, quiet.LogDebug(L"hidden %d", 1));
    EXPECT_EQ(87u, quiet.LogInfo(nullptr));
    EXPECT_EQ(87u, quiet.LogError(L""));
    EXPECT_EQ(87u, quiet.LogWarning(nullptr));

    Dword(L"verbose", 1);
    CLogImpl loud;
    loud.SetLogger(&logger_);
    EXPECT_EQ(87u, loud.LogDebug(nullptr));
    EXPECT_EQ(0u, loud.LogDebug(L"shown %d", 2));
    std::string log = Written();
    EXPECT_EQ(std::string::npos, log.find("hidden")) << log;
    EXPECT_NE(std::string::npos, log.find("Debug        \t" + IdPrefix(bx::CurrentThreadId()) + "shown 2")) << log;
}

TEST_F(LoggedFacade, MessagesAreDroppedWithoutLogger) {
    CLogImpl facade;
    EXPECT_EQ(0u, facade.LogError(L"before %ls", L"logger"));
    facade.SetLogger(&logger_);
    EXPECT_EQ(0u, facade.LogError(L"with logger"));
    facade.SetLogger(nullptr);
    EXPECT_EQ(0u, facade.LogError(L"after logger"));
    std::string log = Written();
    EXPECT_EQ(std::string::npos, log.find("before")) << log;
    EXPECT_NE(std::string::npos, log.find("with logger")) << log;
    EXPECT_EQ(std::string::npos, log.find("after logger")) << log;
}

// A burst set as a thread's gate: its first lines are written, the rest
// counted and handed out once the burst is over; debug lines pass; other
// threads and the thread after the gate's scope are not gated.
TEST_F(LoggedFacade, ABurstGatesTheLinesOfItsThreadOnly) {
    Dword(L"verbose", 1);
    CLogImpl facade;
    facade.SetLogger(&logger_);
    uint32_t now = 0xFFFFFF00u;  // the burst runs across the tick count's wrap
    CLogBurst burst(3, 60000, [&] { return now; });
    {
        bx::ScopedLogGate gate(burst);
        for (int i = 0; i < 5; ++i) facade.LogError(L"gated %d", i);
        facade.LogDebug(L"debug passes");
        std::thread([&] { facade.LogWarning(L"other thread"); }).join();
        EXPECT_EQ(0u, burst.TakeLeftOut());  // the burst is not over
        now += 59999;
        facade.LogInfo(L"gated 5");
        now += 1;
        EXPECT_EQ(3u, burst.TakeLeftOut());
        EXPECT_EQ(0u, burst.TakeLeftOut());
        facade.LogError(L"next burst");
    }
    facade.LogError(L"after the scope");
    const std::string log = Written();
    EXPECT_EQ(3u, bx::test::CountOf(log, "gated "));
    EXPECT_EQ(std::string::npos, log.find("gated 3")) << log;
    for (const char* line : {"debug passes", "other thread", "next burst", "after the scope"})
        EXPECT_NE(std::string::npos, log.find(line)) << line;
}

TEST_F(LoggedFacade, SettingsAreASnapshotOfConstruction) {
    Dword(L"verbose", 1);
    Dword(L"QueueSizeSendQueue", 60000);
    CLogImpl early;
    Dword(L"verbose", 0);
    Dword(L"QueueSizeSendQueue", 70000);
    CLogImpl late;
    EXPECT_TRUE(early.Verbose());
    EXPECT_EQ(60000u, early.SendQueueCapacity());
    EXPECT_FALSE(late.Verbose());
    EXPECT_EQ(70000u, late.SendQueueCapacity());
}

}  // namespace
