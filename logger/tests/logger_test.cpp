// BXLogger through its exported interface (the real DLL under Wine, the
// shared library natively): results, texts, sinks, the file sink's flags,
// rotation and the line format.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "BXLogger.h"
#include "tests/support/logger_files.h"
#ifdef _WIN32
#include "platform/win/handles.h"
#include "tests/support/win/security_readback.h"
#else
#include <sys/stat.h>
#endif

using bx::test::kStamp;
using bx::test::Lines;
using bx::test::Logger;
using bx::test::ReadFile;
using bx::test::Widen;

namespace {

#ifdef _WIN32
const char* const kEol = "\r\n";
const char* const kStringLibrary = "bxlog_test_strings.dll";
#else
const char* const kEol = "\n";
const char* const kStringLibrary = "bxlog_test_strings.so";
#endif

}  // namespace

TEST(LoggerResults, FreshLoggerHasNoSinksAndNoError) {
    Logger log;
    EXPECT_EQ(std::wstring(L"No Error\n"), log.Error());
    EXPECT_EQ(31u, BXLog_Log(log.h, BXLOG_ERROR, L"nobody listens"));
}

TEST(LoggerResults, BadArguments) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddStdout(log.h));
    EXPECT_EQ(87u, BXLog_Log(log.h, 6, L""));
    EXPECT_EQ(87u, BXLog_Log(log.h, 6, nullptr));
    EXPECT_EQ(87u, BXLog_Init(nullptr));
    EXPECT_EQ(87u, BXLog_Log(nullptr, 6, L"x"));
    EXPECT_EQ(87u, BXLog_AddDebugger(nullptr));
    EXPECT_EQ(87u, BXLog_AddFile(nullptr, L"x", 0, 0));
    EXPECT_EQ(87u, BXLog_Cleanup(nullptr));
    EXPECT_EQ(nullptr, BXLog_GetErrorStr(nullptr));

    CBXLogger unset;  // a class object without a handle
    EXPECT_EQ(87u, unset.Log(6, L"x"));
    EXPECT_EQ(87u, unset.AddDebugger());
    EXPECT_EQ(nullptr, unset.GetErrorStr());
}

TEST(LoggerResults, SimpleSinksAddAndRemoveOnce) {
    Logger log;
    EXPECT_EQ(0u, BXLog_AddDebugger(log.h));
    EXPECT_EQ(85u, BXLog_AddDebugger(log.h));
    EXPECT_EQ(std::wstring(L"Debugger is already assigned. Could not add it.\n"), log.Error());
    EXPECT_EQ(0u, BXLog_RemoveDebugger(log.h));
    EXPECT_EQ(1168u, BXLog_RemoveDebugger(log.h));
    EXPECT_EQ(std::wstring(L"Debugger is NOT assigned.Could not remove.\n"), log.Error());

    EXPECT_EQ(0u, BXLog_AddStdout(log.h));
    EXPECT_EQ(85u, BXLog_AddStdout(log.h));
    EXPECT_EQ(std::wstring(L"Stdout is already assigned. Could not add it.\n"), log.Error());
    EXPECT_EQ(0u, BXLog_RemoveStdout(log.h));
    EXPECT_EQ(1168u, BXLog_RemoveStdout(log.h));
    EXPECT_EQ(std::wstring(L"Debugger is NOT assigned.Could not remove.\n"), log.Error());
}

TEST(LoggerResults, ClassSharesItsHandleWithCopies) {
    CBXLogger a;
    ASSERT_EQ(0u, a.Init());
    CBXLogger b = a;
    EXPECT_EQ(0u, b.AddDebugger());
    EXPECT_EQ(85u, a.AddDebugger());  // one logger behind both objects
    EXPECT_EQ(0u, a.Cleanup());
    EXPECT_EQ(87u, a.Log(6, L"gone"));
}

TEST(LoggerStringLibrary, LogIdNeedsALibraryAndFormatsItsStrings) {
    std::string dir = bx::test::FreshDir("logid");
    Logger log;
    EXPECT_EQ(21u, BXLog_LogId(log.h, 6, 1000, L"x", 1));
    EXPECT_NE(0u, BXLog_SetStringDLL(log.h, Widen(dir + "missing.dll").c_str()));
    EXPECT_EQ(21u, BXLog_LogId(log.h, 6, 1000, L"x", 1));

    ASSERT_EQ(0u, BXLog_SetStringDLL(log.h, Widen(bx::test::ProgramDir() + kStringLibrary).c_str()));
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "id.log").c_str(), 0, 0));
    EXPECT_EQ(0u, BXLog_LogId(log.h, BXLOG_WARNING, 1000, L"alice", 42));
    uint32_t missing = BXLog_LogId(log.h, BXLOG_WARNING, 4000);
    EXPECT_NE(0u, missing);
    EXPECT_NE(31u, missing);
    EXPECT_NE(87u, missing);
    EXPECT_EQ(87u, BXLog_LogId(log.h, BXLOG_WARNING, 1001));  // present but empty

    // Unloading: LogId needs a library again.
    EXPECT_EQ(0u, BXLog_SetStringDLL(log.h, nullptr));
    EXPECT_EQ(21u, BXLog_LogId(log.h, 6, 1000, L"x", 1));

    std::vector<std::string> lines = Lines(ReadFile(dir + "id.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(std::string(kStamp) + "Warning      \tUser alice logged 42 times")))
        << lines[0];
}

TEST(LoggerFormat, WindowsRuntimeConventionsForWideFormats) {
    std::string dir = bx::test::FreshDir("format");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "f.log").c_str(), 0, 0));
    // "%s" and "%c" take wide arguments, "%hs" narrow; "%ld" is 32 bits.
    EXPECT_EQ(0u, BXLog_Log(log.h, 8, L"%s|%ls|%hs|%c|%ld|%5.2s|%%|%d", L"wide", L"also", "narrow", L'W',
                            static_cast<long>(-7), L"abc", 9));
    // A line handed over as "%s" with data keeps its "%" characters.
    EXPECT_EQ(0u, BXLog_Log(log.h, 8, L"%s", L"user %s%d%n"));
    std::vector<std::string> lines = Lines(ReadFile(dir + "f.log"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("wide|also|narrow|W|-7|   ab|%|9", lines[0].substr(18));
    EXPECT_EQ("user %s%d%n", lines[1].substr(18));
}

TEST(LoggerFormat, LineShapeAndLabelsOfEveryPriority) {
    std::string dir = bx::test::FreshDir("labels");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "p.log").c_str(), 0, 0));
    for (uint32_t p = 0; p <= 9; ++p) ASSERT_EQ(0u, BXLog_Log(log.h, p, L"message %u", p));
    std::string text = ReadFile(dir + "p.log");
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(10u, lines.size());
    const char* labels[] = {"Emergency    \t",
                            "Alert        \t",
                            "Critical     \t",
                            "Error        \t",
                            "Warning      \t",
                            "Notice       \t",
                            "Informational\t",
                            "Debug        \t",
                            "",
                            ""};
    for (uint32_t p = 0; p <= 9; ++p) {
        std::string expected = std::string(kStamp) + labels[p] + "message " + std::to_string(p);
        EXPECT_TRUE(std::regex_match(lines[p], std::regex(expected))) << lines[p];
    }
    // Every line ends with the platform's line end in the file.
    size_t ends = 0;
    for (size_t at = 0; (at = text.find(kEol, at)) != std::string::npos; at += strlen(kEol)) ++ends;
    EXPECT_EQ(10u, ends);
}

// TryLog writes what Log writes while no sink's lock is held. (A lock held
// for good, by a thread that crashed inside the logger, is the crash
// victim's case in agent/service/crash_handler_test.cpp.)
TEST(LoggerTryLog, WritesLikeLogWhenNothingIsHeld) {
    std::string dir = bx::test::FreshDir("trylog");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "t.log").c_str(), 0, 0));
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"line %d", 1));
    ASSERT_EQ(0u, BXLog_TryLog(log.h, BXLOG_ERROR, L"line %d", 2));
    CBXLogger object;
    EXPECT_EQ(87u, object.TryLog(BXLOG_ERROR, L"no handle"));
    EXPECT_EQ(87u, BXLog_TryLog(nullptr, BXLOG_ERROR, L"no handle"));
    std::vector<std::string> lines = Lines(ReadFile(dir + "t.log"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + "Error        \tline 1")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(kStamp) + "Error        \tline 2")));
}

TEST(LoggerFormat, LongMessagesAreCutTo1023Characters) {
    std::string dir = bx::test::FreshDir("long");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "l.log").c_str(), 0, 0));
    ASSERT_EQ(0u, BXLog_AddStdout(log.h));
    std::wstring big(1500, L'a');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<wchar_t>(L'a' + i % 26);
    std::string out;
    {
        bx::test::StreamCapture capture(stdout, dir + "stdout.txt");
        EXPECT_EQ(0u, BXLog_Log(log.h, 8, L"%s", big.c_str()));
        out = capture.Stop();
    }
    std::string expected(big.begin(), big.begin() + 1023);
    std::vector<std::string> fileLines = Lines(ReadFile(dir + "l.log"));
    std::vector<std::string> outLines = Lines(out);
    ASSERT_EQ(1u, fileLines.size());
    ASSERT_EQ(1u, outLines.size());
    EXPECT_EQ(expected, fileLines[0].substr(18));
    EXPECT_EQ(expected, outLines[0].substr(18));
}

TEST(LoggerFile, AddFileRules) {
    std::string dir = bx::test::FreshDir("addfile");
    std::wstring path = Widen(dir + "a.log");
    Logger log;
    EXPECT_EQ(87u, BXLog_AddFile(log.h, nullptr, 0, 0));
    EXPECT_EQ(std::wstring(L"FileName: is empty. Could not add.\n"), log.Error());
    ASSERT_EQ(0u, BXLog_AddFile(log.h, path.c_str(), 0, 0));
    EXPECT_FALSE(bx::test::Exists(dir + "a.log"));  // opened at the first write
    EXPECT_EQ(85u, BXLog_AddFile(log.h, path.c_str(), 0, 0));
    EXPECT_EQ(L"FileName:\"" + path + L"\" is already Assigned. Could not add.\n", log.Error());
    ASSERT_EQ(0u, BXLog_Log(log.h, 8, L"one"));

    // An existing file needs flag 1 (truncate) or 2 (append).
    Logger other;
    EXPECT_EQ(183u, BXLog_AddFile(other.h, path.c_str(), 0, 0));
    EXPECT_EQ(L"FileName:\"" + path + L"\" is Already present at this location. could not add.\n", other.Error());
    EXPECT_EQ(31u, BXLog_Log(other.h, 8, L"not assigned"));

    // Removing: null is refused, another path changes nothing, the path closes the file.
    EXPECT_EQ(87u, BXLog_RemoveFile(log.h, nullptr));
    EXPECT_EQ(std::wstring(L"Could not remove LogFile Path is NULL.\n"), log.Error());
    EXPECT_EQ(0u, BXLog_RemoveFile(log.h, Widen(dir + "b.log").c_str()));
    EXPECT_EQ(0u, BXLog_Log(log.h, 8, L"two"));
    EXPECT_EQ(0u, BXLog_RemoveFile(log.h, path.c_str()));
    EXPECT_EQ(31u, BXLog_Log(log.h, 8, L"three"));
    EXPECT_EQ(2u, Lines(ReadFile(dir + "a.log")).size());

    Logger appender;
    ASSERT_EQ(0u, BXLog_AddFile(appender.h, path.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    ASSERT_EQ(0u, BXLog_Log(appender.h, 8, L"four"));
    BXLog_RemoveFile(appender.h, path.c_str());
    EXPECT_EQ(3u, Lines(ReadFile(dir + "a.log")).size());

    Logger truncater;
    ASSERT_EQ(0u, BXLog_AddFile(truncater.h, path.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    ASSERT_EQ(0u, BXLog_Log(truncater.h, 8, L"five"));
    BXLog_RemoveFile(truncater.h, path.c_str());
    std::vector<std::string> lines = Lines(ReadFile(dir + "a.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("five", lines[0].substr(18));
}

TEST(LoggerFile, UnopenableFileFailsTheMessageAndIsRetried) {
    std::string dir = bx::test::FreshDir("unopenable");
    Logger log;
    std::wstring path = Widen(dir + "no_such_dir/x.log");
    ASSERT_EQ(0u, BXLog_AddFile(log.h, path.c_str(), 0, 0));
    EXPECT_EQ(31u, BXLog_Log(log.h, 8, L"lost"));
    std::wstring error = log.Error();
    EXPECT_EQ(0u, error.find(L"Failed to open file \"" + path + L"\" Error: \n ")) << error.c_str();
}

// Flag 16 opens the file exclusively; without it others may read but not write.
TEST(LoggerFile, ExclusiveOpenRefusesOthers) {
    std::string dir = bx::test::FreshDir("exclusive");
    std::string path = dir + "x.log";
    Logger holder;
    ASSERT_EQ(0u, BXLog_AddFile(holder.h, Widen(path).c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_EXCLUSIVE));
    ASSERT_EQ(0u, BXLog_Log(holder.h, 8, L"held"));

    Logger second;  // another logger on the same file cannot open it
    ASSERT_EQ(0u, BXLog_AddFile(second.h, Widen(path).c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    EXPECT_EQ(31u, BXLog_Log(second.h, 8, L"refused"));
    EXPECT_EQ(0u, std::wstring(BXLog_GetErrorStr(second.h)).find(L"Failed to open file"));
#ifdef _WIN32
    bx::win::UniqueFile reader(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(reader);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

    // Without the flag a reader is welcome, a writer is not.
    BXLog_RemoveFile(holder.h, Widen(path).c_str());
    ASSERT_EQ(0u, BXLog_AddFile(holder.h, Widen(path).c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    ASSERT_EQ(0u, BXLog_Log(holder.h, 8, L"shared"));
    reader.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr));
    EXPECT_TRUE(reader);
    reader.reset();
    bx::win::UniqueFile writer(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
#endif
    BXLog_RemoveFile(holder.h, Widen(path).c_str());
    EXPECT_EQ(0u, BXLog_Log(second.h, 8, L"now free"));  // retried at the next write
}

// The logs name users and where they connect to: the log file (here one that
// was there with the default access), its "old_" copy and the event-log file
// grant SYSTEM and Administrators only; natively they have mode 0600. (Under
// Wine read back as it maps a file's DACL: see security_readback.h.)
TEST(LoggerFile, FilesAreForAdministratorsOnly) {
    const std::string dir = bx::test::FreshDir("admin_only");
    bx::test::WriteFile(dir + "kept.log", "an earlier line\n");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "kept.log").c_str(), 120, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    ASSERT_EQ(0u, BXLog_AddEventViewer(log.h, L"events.log", Widen(dir).c_str(), 0, 0));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"line %d", i));
    ASSERT_TRUE(bx::test::Exists(dir + "old_kept.log"));  // rotated
    for (const char* name : {"kept.log", "old_kept.log", "events.log"}) {
#ifdef _WIN32
        EXPECT_EQ(bx::test::AdminOnlyFileSddlUnderWine(), bx::test::DaclSddl(Widen(dir + name), SE_FILE_OBJECT))
            << name;
#else
        struct stat st {};
        ASSERT_EQ(0, stat((dir + name).c_str(), &st)) << name;
        EXPECT_EQ(0600u, st.st_mode & 07777u) << name;
#endif
    }
}

// A file of maximum 1000 bytes holding 990 bytes and a 20-character line.
class LoggerFull : public ::testing::Test {
protected:
    void SetUp() override {
        dir = bx::test::FreshDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        held = std::string(989, 'h') + "\n";
#ifdef _WIN32
        held = std::string(988, 'h') + "\r\n";
#endif
        bx::test::WriteFile(dir + "full.log", held);
    }
    // Priority 8 has no label: 18 characters of date and time, "x", "\n".
    uint32_t LogTwentyCharacters(Logger& log) { return BXLog_Log(log.h, 8, L"x"); }
    std::string dir, held;
};

TEST_F(LoggerFull, RotatesToOldCopyAndStartsAnew) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "full.log").c_str(), 1000, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    ASSERT_EQ(0u, LogTwentyCharacters(log));
    EXPECT_EQ(held, ReadFile(dir + "old_full.log"));
    std::vector<std::string> lines = Lines(ReadFile(dir + "full.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + "x")));
}

TEST_F(LoggerFull, StopWhenFullKeepsTheFileAndRefusesLaterLines) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "full.log").c_str(), 1000,
                                LOGGER_OUTPUT_FILE_FLAG_APPEND | LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL));
    ASSERT_EQ(0u, BXLog_AddStdout(log.h));  // so that the message itself is taken
    std::string err;
    {
        bx::test::StreamCapture capture(stdout, dir + "stdout.txt");
        bx::test::StreamCapture debugger(stderr, dir + "stderr.txt");  // native debugger output
        EXPECT_EQ(0u, LogTwentyCharacters(log));
        EXPECT_EQ(std::wstring(L"Max.size log file is achieved !Stopping loggging!due to "
                               L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n"),
                  log.Error());
        EXPECT_EQ(0u, BXLog_Log(log.h, 8, L"again"));
        err = debugger.Stop();
    }
    EXPECT_EQ(std::wstring(L"Max. size of Log File is achieved!Logging is disabled due to file Flag "
                           L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n"),
              log.Error());
    EXPECT_EQ(held, ReadFile(dir + "full.log"));
    EXPECT_FALSE(bx::test::Exists(dir + "old_full.log"));
#ifndef _WIN32
    // Natively the debugger output is standard error: the failed sink is reported there.
    EXPECT_NE(std::string::npos, err.find("File Logger failed Error:6628 \n")) << err;
#endif
}

TEST_F(LoggerFull, PathWithoutDirectoryRotatesInTheCurrentDirectory) {
    std::string name = "nodir_" + std::to_string(reinterpret_cast<uintptr_t>(this) % 100000) + ".log";
    bx::test::WriteFile(name, held);
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(name).c_str(), 1000, LOGGER_OUTPUT_FILE_FLAG_APPEND));
    ASSERT_EQ(0u, LogTwentyCharacters(log));
    BXLog_RemoveFile(log.h, Widen(name).c_str());
    EXPECT_EQ(held, ReadFile("old_" + name));
    EXPECT_EQ(1u, Lines(ReadFile(name)).size());
    remove(name.c_str());
    remove(("old_" + name).c_str());
}

// Eight threads log through one rotating file: every line is whole, and no
// line is lost within what the last rotation keeps (the file and its copy).
TEST(LoggerConcurrency, EightThreadsAcrossRotations) {
    std::string dir = bx::test::FreshDir("threads");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "t.log").c_str(), 256 * 1024, 0));
    const int kThreads = 8, kLines = 1500;  // about 95 bytes a line: four rotations
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads);
    std::atomic<int> ready{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < kThreads) std::this_thread::yield();
            for (int i = 0; i < kLines; ++i)
                if (BXLog_Log(log.h, BXLOG_INFORMATIONAL, L"thread %d line %05d %s", t, i,
                              L"padding-padding-padding-padding") != 0)
                    ++failures[t];
        });
    for (auto& th : threads) th.join();
    BXLog_RemoveFile(log.h, Widen(dir + "t.log").c_str());
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]);

    std::vector<std::string> lines = Lines(ReadFile(dir + "old_t.log"));
    size_t inOld = lines.size();
    for (auto& l : Lines(ReadFile(dir + "t.log"))) lines.push_back(l);
    ASSERT_GT(inOld, 0u) << "no rotation happened";
    const std::regex shape(std::string(kStamp) +
                           "Informational\tthread (\\d) line (\\d{5}) padding-padding-padding-padding");
    std::vector<int> last(kThreads, -1);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        if (last[t] >= 0) {
            EXPECT_EQ(last[t] + 1, i) << "thread " << t << " lost a line";
        }
        last[t] = i;
    }
    // The two files hold the newest lines: a thread seen there has its last line there.
    int seen = 0;
    for (int t = 0; t < kThreads; ++t)
        if (last[t] >= 0) {
            EXPECT_EQ(kLines - 1, last[t]);
            ++seen;
        }
    EXPECT_GE(seen, 2);
}
