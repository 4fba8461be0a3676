// One logger used by several threads at once, natively (CI runs this program
// under ThreadSanitizer, which stops at the first race). The syslog sink's
// name look-ups reach this program's own getaddrinfo before the C library's
// (a program's symbols come first), so that a case can hold a look-up open,
// make one fail, and count them; every other name goes on to the real one.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BXLogger.h"
#include "tests/support/logger_files.h"

using bx::test::Logger;
using bx::test::Widen;

namespace {

const char kHeld[] = "held.bx-test.invalid";        // its look-up waits for the case
const char kFailing[] = "failing.bx-test.invalid";  // its look-up fails at once

struct Lookups {
    std::mutex lock;
    std::condition_variable changed;
    std::string hostName;  // this host's own name
    int ownName = 0, failing = 0;
    bool holding = false, released = false;
} g_lookups;

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node) {
        std::unique_lock<std::mutex> lock(g_lookups.lock);
        if (g_lookups.hostName == node) ++g_lookups.ownName;
        if (strcmp(node, kFailing) == 0) {
            ++g_lookups.failing;
            return EAI_NONAME;
        }
        if (strcmp(node, kHeld) == 0) {
            g_lookups.holding = true;
            g_lookups.changed.notify_all();
            g_lookups.changed.wait(lock, [] { return g_lookups.released; });
            return EAI_NONAME;
        }
    }
    return real(node, service, hints, result);
}

namespace {

// A text handed out by GetErrorStr stays whole while another thread's
// failures replace the logger's last error text.
TEST(LoggerThreads, ErrorTextStaysWholeWhileOtherThreadsFail) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddDebugger(log.h));
    ASSERT_EQ(0u, BXLog_AddStdout(log.h));
    const std::wstring debugger = L"Debugger is already assigned. Could not add it.\n";
    const std::wstring standardOutput = L"Stdout is already assigned. Could not add it.\n";
    ASSERT_EQ(85u, BXLog_AddDebugger(log.h));
    std::atomic<bool> stop{false};
    std::thread failing([&] {
        while (!stop) BXLog_AddDebugger(log.h), BXLog_AddStdout(log.h);
    });
    for (int i = 0; i < 20000; ++i) {
        const std::wstring text = BXLog_GetErrorStr(log.h);
        if (text != debugger && text != standardOutput) {
            ADD_FAILURE() << "a torn error text after " << i << " reads";
            break;
        }
    }
    stop = true;
    failing.join();
    BXLog_RemoveDebugger(log.h);
    BXLog_RemoveStdout(log.h);
}

// Sinks come and go on one thread while two others log; of two threads that
// add the same sink at once, exactly one adds it.
TEST(LoggerThreads, SinksChangeWhileOtherThreadsLog) {
    const std::string dir = bx::test::FreshDir("threads_sinks");
    const std::wstring path = Widen(dir + "t.log");
    Logger log;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            while (!stop) BXLog_Log(log.h, 8, L"line");
        });
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(0u, BXLog_AddFile(log.h, path.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_APPEND));
        ASSERT_EQ(0u, BXLog_RemoveFile(log.h, path.c_str()));
    }
    stop = true;
    for (auto& w : writers) w.join();

    for (int round = 0; round < 100; ++round) {
        std::atomic<int> added{0};
        auto add = [&] { added += BXLog_AddStdout(log.h) == 0; };
        std::thread a(add), b(add);
        a.join();
        b.join();
        ASSERT_EQ(1, added.load()) << "round " << round;
        ASSERT_EQ(0u, BXLog_RemoveStdout(log.h));
    }
}

// The syslog server is looked up without the syslog sink's lock: while one
// thread's look-up hangs, TryLog on another finds every lock free and its
// line reaches the file. A look-up that failed is not tried again for every
// message: the next ones fail at once with text 121.
TEST(LoggerLookups, LookUpHoldsNoLockAndAFailureIsNotRetriedPerMessage) {
    const std::string dir = bx::test::FreshDir("threads_syslog");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "s.log").c_str(), 0, 0));
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, Widen(kHeld).c_str(), htons(514)));
    std::thread waiting([&] { BXLog_Log(log.h, BXLOG_ERROR, L"sent when the look-up ends"); });
    {
        std::unique_lock<std::mutex> lock(g_lookups.lock);
        ASSERT_TRUE(g_lookups.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_lookups.holding; }));
    }
    const uint32_t tryResult = BXLog_TryLog(log.h, BXLOG_ERROR, L"written during the look-up");
    {
        std::lock_guard<std::mutex> lock(g_lookups.lock);
        g_lookups.released = true;
        g_lookups.changed.notify_all();
    }
    waiting.join();
    EXPECT_EQ(0u, tryResult);
    EXPECT_EQ(2u, bx::test::Lines(bx::test::ReadFile(dir + "s.log")).size());

    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, Widen(kFailing).c_str(), htons(514)));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"to the file only"));
    EXPECT_EQ(std::wstring(L"Unknown host 'failing.bx-test.invalid'\n"), log.Error());
    std::lock_guard<std::mutex> lock(g_lookups.lock);
    EXPECT_EQ(1, g_lookups.failing);
}

// Init looks nothing up; the first syslog server looks up the host's own
// name once, for the local subnet.
TEST(LoggerLookups, InitLooksNothingUp) {
    char name[256] = {};
    ASSERT_EQ(0, gethostname(name, sizeof name - 1));
    auto ownNameLookups = [] {
        std::lock_guard<std::mutex> lock(g_lookups.lock);
        return g_lookups.ownName;
    };
    {
        std::lock_guard<std::mutex> lock(g_lookups.lock);
        g_lookups.hostName = name;
        g_lookups.ownName = 0;
    }
    Logger log;
    EXPECT_EQ(0, ownNameLookups());
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", htons(514)));
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.2", htons(514)));
    EXPECT_EQ(1, ownNameLookups());
}

}  // namespace
