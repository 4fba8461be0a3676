// BXLogger's syslog sink against a real syslog daemon: Debian's rsyslogd,
// started by the ctest fixture (syslog_daemon.sh) with a configuration of the
// tests' own on 127.0.0.1 and a port it chose (syslogd/port). The daemon
// writes every datagram it receives as "<pri> <facility> <severity> <raw>"
// to syslogd/received.log, which the tests read. Natively this runs under
// ThreadSanitizer in CI; under Wine it is the real DLL over Winsock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BXLogger.h"
#include "tests/support/logger_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

using bx::test::Logger;
using bx::test::ReadFile;
using bx::test::StreamCapture;
using bx::test::Widen;

namespace {

struct Received {
    int pri = -1, facility = -1, severity = -1;
    std::string raw;
};

uint16_t NetworkOrder(uint16_t port) {
    uint16_t value;
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port & 0xFF)};
    memcpy(&value, bytes, 2);
    return value;
}

uint16_t DaemonPort() {
    std::string text = ReadFile("syslogd/port");
    return static_cast<uint16_t>(atoi(text.c_str()));
}

// A tag that no other case or run uses, so that each case finds its own lines.
std::string Tag(const char* name) {
    static std::atomic<int> counter{0};
    return std::string(name) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007) + "-" +
           std::to_string(++counter);
}

// The daemon's lines whose datagram holds `tag`, once `count` of them are
// there or `seconds` have passed.
std::vector<Received> WaitForLines(const std::string& tag, size_t count, int seconds = 20) {
    std::vector<Received> found;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        found.clear();
        std::istringstream in(ReadFile("syslogd/received.log"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(tag) == std::string::npos) continue;
            Received r;
            int consumed = 0;
            if (sscanf(line.c_str(), "%d %d %d %n", &r.pri, &r.facility, &r.severity, &consumed) == 3) {
                r.raw = line.substr(static_cast<size_t>(consumed));
                found.push_back(r);
            }
        }
        if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

class SyslogSink : public ::testing::Test {
protected:
    void SetUp() override {
        port = DaemonPort();
        ASSERT_NE(0, port) << "the syslog daemon fixture did not start (syslogd/port)";
    }
    uint16_t port = 0;
};

}  // namespace

// Priorities 0 to 7 arrive with facility user (1) and their own severity;
// the datagram is "<" priority OR 8 ">" and the message (Informational: "<14>").
TEST_F(SyslogSink, EveryPriorityArrivesWithFacilityUserAndItsSeverity) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    std::string tag = Tag("prio");
    for (uint32_t p = 0; p <= 7; ++p)
        ASSERT_EQ(0u, BXLog_Log(log.h, p, L"%hs priority %u", tag.c_str(), p)) << BXLog_GetErrorStr(log.h);
    std::vector<Received> lines = WaitForLines(tag, 8);
    ASSERT_EQ(8u, lines.size());
    std::map<int, Received> bySeverity;
    for (const Received& r : lines) bySeverity[r.severity] = r;
    for (int p = 0; p <= 7; ++p) {
        ASSERT_EQ(1u, bySeverity.count(p)) << "severity " << p << " missing";
        const Received& r = bySeverity[p];
        EXPECT_EQ(8 + p, r.pri);
        EXPECT_EQ(1, r.facility);
        EXPECT_EQ("<" + std::to_string(8 + p) + ">" + tag + " priority " + std::to_string(p), r.raw);
    }
    EXPECT_EQ(0u, bySeverity[6].raw.find("<14>"));
}

// A 1,500-character message: Log keeps 1023 characters, the datagram then
// holds at most 1023 bytes, its "<14>" included.
TEST_F(SyslogSink, LongMessageArrivesCutTo1023Bytes) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    std::string tag = Tag("long");
    std::string text = tag + " ";
    while (text.size() < 1500) text += static_cast<char>('a' + text.size() % 26);
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_INFORMATIONAL, L"%hs", text.c_str()));
    std::vector<Received> lines = WaitForLines(tag, 1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1023u, lines[0].raw.size());
    EXPECT_EQ("<14>" + text.substr(0, 1019), lines[0].raw);
}

// Characters of more than one byte in the multibyte code page are never cut
// in half: the datagram ends after the last whole character that fits.
TEST_F(SyslogSink, LongMessageIsCutOnAWholeCharacter) {
    const wchar_t eAcute = 0x00E9;
    size_t bytesPerCharacter = 2;  // UTF-8
#ifdef _WIN32
    char probe[8];
    bytesPerCharacter =
        static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, &eAcute, 1, probe, sizeof probe, nullptr, nullptr));
    ASSERT_GE(bytesPerCharacter, 1u);
#endif
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    std::string tag = Tag("mb");
    std::wstring message = Widen(tag) + L" " + std::wstring(1000, eAcute);
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_INFORMATIONAL, L"%s", message.c_str()));
    std::vector<Received> lines = WaitForLines(tag, 1);
    ASSERT_EQ(1u, lines.size());
    const size_t head = 4 + tag.size() + 1;  // "<14>", the tag, a space
    // Log keeps 1023 characters; the datagram then the whole characters that fit.
    const size_t characters = std::min<size_t>(1000, 1023 - tag.size() - 1);
    const size_t whole = std::min(characters, (1023 - head) / bytesPerCharacter);
    ASSERT_EQ(head + whole * bytesPerCharacter, lines[0].raw.size());
    if (bytesPerCharacter == 2) {
        // Every character after the head is the whole UTF-8 sequence C3 A9.
        for (size_t i = head; i < lines[0].raw.size(); i += 2) {
            ASSERT_EQ('\xC3', lines[0].raw[i]) << i;
            ASSERT_EQ('\xA9', lines[0].raw[i + 1]) << i;
        }
    }
}

TEST_F(SyslogSink, RemoveNeedsTheStoredServer) {
    Logger log;
    EXPECT_EQ(87u, BXLog_AddSyslogServer(log.h, nullptr, NetworkOrder(port)));
    EXPECT_EQ(std::wstring(L"Could not add to SyslogServer server is NULL.\n"), log.Error());
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    EXPECT_EQ(87u, BXLog_RemoveSyslogServer(log.h, nullptr, 0));
    EXPECT_EQ(std::wstring(L"Could not remove from SyslogServer server is NULL.\n"), log.Error());
    EXPECT_EQ(87u, BXLog_RemoveSyslogServer(log.h, L"127.0.0.9", NetworkOrder(port)));

    // Another name changes nothing: messages still arrive.
    std::string tag = Tag("kept");
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_WARNING, L"%hs", tag.c_str()));
    std::vector<Received> lines = WaitForLines(tag, 1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(4, lines[0].severity);

    // The stored name removes the server; the port is not compared.
    EXPECT_EQ(0u, BXLog_RemoveSyslogServer(log.h, L"127.0.0.1", 0));
    EXPECT_EQ(31u, BXLog_Log(log.h, BXLOG_WARNING, L"nobody"));
}

// The server is resolved again when another server replaces it: a later
// AddSyslogServer moves the messages to the new server.
TEST_F(SyslogSink, AnotherServerIsResolvedAnew) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.2", NetworkOrder(port)));  // nobody listens there
    std::string lost = Tag("first-server");
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_NOTICE, L"%hs", lost.c_str()));
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    std::string tag = Tag("second-server");
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_NOTICE, L"%hs", tag.c_str()));
    std::vector<Received> lines = WaitForLines(tag, 1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(13, lines[0].pri);
    EXPECT_TRUE(WaitForLines(lost, 1, 0).empty());  // it went to the first server
}

// A name that does not resolve: text 121 with the name; the syslog sink's
// result is the lookup's error (11001, host not found), which the dispatch
// reports on the debugger output (natively standard error).
TEST_F(SyslogSink, UnknownHostGivesText121AndTheLookupError) {
    std::string dir = bx::test::FreshDir("syslog_unknown");
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"no-such-host.invalid", NetworkOrder(port)));
    std::string err;
    {
        StreamCapture capture(stderr, dir + "stderr.txt");
        EXPECT_EQ(31u, BXLog_Log(log.h, BXLOG_ERROR, L"lost"));
        err = capture.Stop();
    }
    EXPECT_EQ(std::wstring(L"Unknown host 'no-such-host.invalid'\n"), log.Error());
#ifndef _WIN32
    EXPECT_NE(std::string::npos, err.find("Sys-Logger failed Error:11001 \n")) << err;
#endif
    // With another sink the message is taken all the same.
    ASSERT_EQ(0u, BXLog_AddFile(log.h, Widen(dir + "f.log").c_str(), 0, 0));
    EXPECT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"kept in the file"));
    EXPECT_EQ(std::wstring(L"Unknown host 'no-such-host.invalid'\n"), log.Error());
    BXLog_RemoveFile(log.h, Widen(dir + "f.log").c_str());
}

TEST_F(SyslogSink, NoServerGivesText116) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"", NetworkOrder(port)));
    EXPECT_EQ(31u, BXLog_Log(log.h, BXLOG_ERROR, L"nowhere"));
    EXPECT_EQ(std::wstring(L"LogTo Syslog was Called but SysLog-Server is not given.\n"), log.Error());
}

// The class methods reach the same sink.
TEST_F(SyslogSink, ClassMethods) {
    CBXLogger unset;
    EXPECT_EQ(87u, unset.AddSyslogServer(L"127.0.0.1", 0));
    EXPECT_EQ(87u, unset.RemoveSyslogServer(L"127.0.0.1", 0));
    CBXLogger log;
    ASSERT_EQ(0u, log.Init());
    ASSERT_EQ(0u, log.AddSyslogServer(L"localhost", NetworkOrder(port)));
    std::string tag = Tag("class");
    ASSERT_EQ(0u, log.Log(BXLOG_DEBUG, L"%hs", tag.c_str()));
    std::vector<Received> lines = WaitForLines(tag, 1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(15, lines[0].pri);
    EXPECT_EQ(0u, log.RemoveSyslogServer(L"localhost", 0));
    EXPECT_EQ(0u, log.Cleanup());
}

// Eight threads log through one syslog sink at once: nothing crashes, every
// call succeeds and every datagram arrives.
TEST_F(SyslogSink, EightThreadsLoseNoDatagram) {
    Logger log;
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(port)));
    const std::string tag = Tag("threads");
    const int kThreads = 8, kMessages = 100;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads);
    std::atomic<int> ready{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < kThreads) std::this_thread::yield();
            for (int i = 0; i < kMessages; ++i)
                if (BXLog_Log(log.h, BXLOG_INFORMATIONAL, L"%hs thread %d message %03d", tag.c_str(), t, i) != 0)
                    ++failures[t];
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
    std::vector<Received> lines = WaitForLines(tag, kThreads * kMessages);
    std::set<std::string> distinct;
    for (const Received& r : lines) distinct.insert(r.raw);
    EXPECT_EQ(static_cast<size_t>(kThreads * kMessages), distinct.size());
    EXPECT_EQ(static_cast<size_t>(kThreads * kMessages), lines.size());
}
