// Soak and fault runs of the agent under Wine: the real bxhvns service under
// Wine's Service Control Manager, the driver stand-in bxhvnd.sys fed through
// its inject control code, and the appliance peer sim/utm in the network
// namespace of peer.sh. Each case runs for up to a minute under Wine:
// - a hundred start/stop cycles with notifications flowing;
// - a stop while 50,000 notifications wait and the peer is silent;
// - the appliance's port closed for a while (ICMP port unreachable);
// - a flood of 100,000 datagrams from a stranger's address while the peer
//   acknowledges normally.
// What each case took is printed ("[ SOAK ]" lines) so that the wall time
// under Wine can be followed.
#include <windows.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/win/process_figures.h"
#include "tests/support/win/process_runner.h"

namespace {

using bx::test::e2e::AgentService;
using bx::test::e2e::OpenRecord;
using bx::test::e2e::PeerLine;
using bx::test::e2e::SessionControl;

constexpr DWORD kArrivalMs = 20000;     // bound for a datagram that must come
constexpr DWORD kStopBoundMs = 15000;   // three threads, 5000 ms each at most
constexpr DWORD kProcessEndMs = 10000;  // from "stopped" to the end of the process

// Status record counters (agent/appliance/status_file.h).
enum : size_t {
    kSent = 0,
    kEntered = 1,
    kParseFailures = 3,
    kQueued = 4,
    kGivenUp = 5,
    kWaiting = 7,
    kDropped = 8,
    kProcessed = 9
};

void Soak(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printf("[ SOAK     ] %s\n", text);
    fflush(stdout);
}

class AgentSoak : public bx::test::e2e::AgentFixture {
protected:
    AgentSoak() : AgentFixture(L"bxhvns_soak", "soak_peer") {
        // The last lines are the ones worth reading.
        dumpLines = 60;
        dumpLogBytes = 8000;
    }

    void SetUp() override {
        AgentFixture::SetUp();
        if (HasFatalFailure() || IsSkipped()) return;
        user = bx::test::e2e::TokenUser();
        ASSERT_FALSE(user.name.empty());
        started = GetTickCount64();
    }

    void TearDown() override {
        AgentFixture::TearDown();
        if (started) {
            Soak("%s took %.1f s", ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                 (GetTickCount64() - started) / 1000.0);
        }
    }

    // Loads the driver, writes the settings, installs the agent (not
    // started) and opens the driver for feeding.
    void InstallAgent(const wchar_t* program = L"bxhvns.exe") {
        AgentFixture::InstallAgent(program);
        if (HasFatalFailure()) return;
        OpenFeeder();
    }

    // Starts the service; it runs, and its first datagram, the reset request,
    // is the `resets`th one at the peer (printing, or counting).
    void StartAgent(size_t resets = 1, bool countingPeer = false) {
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Start())
            << "StartServiceW: " << service->StartError() << ", exit code " << service->Query().dwWin32ExitCode << "\n"
            << service->Log();
        ASSERT_TRUE(peer.WaitFor(
            [&](const std::vector<PeerLine>& lines) {
                if (!countingPeer) return Count(lines, "kind", "reset") >= resets;
                return std::any_of(lines.begin(), lines.end(), [&](const PeerLine& l) {
                    return l.word == "count" && std::stoul("0" + l["resets"]) >= resets;
                });
            },
            kArrivalMs))
            << Dump();
    }

    static size_t Count(const std::vector<PeerLine>& lines, const char* key, const char* value) {
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const PeerLine& l) { return l[key] == value; }));
    }

    void FeedOpen(uint16_t localPort, const char* remote, uint64_t fileObject) {
        Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", localPort, remote, 443, 2, fileObject, user.Sid()));
    }

    // Sets the status-request event and reads the record the service writes.
    std::vector<int32_t> RequestStatus() {
        std::vector<int32_t> counters;
        const std::wstring path = service->Directory() + L"HVNConfig.xml";
        DeleteFileW(path.c_str());
        bx::win::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\BXGlobalGenXml"));
        EXPECT_TRUE(event) << GetLastError();
        if (!event) return counters;
        EXPECT_TRUE(SetEvent(event.get()));
        event.reset();
        EXPECT_TRUE(bx::test::WaitUntil([&] { return bx::test::e2e::ReadStatusFile(path, counters); }, 10000, 50));
        return counters;
    }

    // Polls the status record until `done` holds for it; the last record.
    std::vector<int32_t> StatusWhen(const std::function<bool(const std::vector<int32_t>&)>& done, DWORD timeoutMs) {
        std::vector<int32_t> counters;
        bx::test::WaitUntil(
            [&] {
                counters = RequestStatus();
                return counters.size() == 10 && done(counters);
            },
            timeoutMs, 200);
        return counters;
    }

    bx::test::ProcessFigures Figures() {
        bx::test::ProcessFigures figures;
        std::string why;
        EXPECT_TRUE(
            bx::test::ReadProcessFigures(service->Query().dwProcessId, service->Directory() + program_, figures, why))
            << why;
        return figures;
    }

    // Stops the service: within its bound, stopped without error, and its
    // process ends. The time the stop took.
    DWORD StopAndCheck() {
        DWORD pid = service->Query().dwProcessId;
        bx::win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        EXPECT_TRUE(process) << GetLastError();
        DWORD took = service->Stop(60000);
        EXPECT_NE(INFINITE, took) << Dump();
        EXPECT_LT(took, kStopBoundMs) << Dump();
        SERVICE_STATUS_PROCESS status = service->Query();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
        EXPECT_EQ(0u, status.dwWin32ExitCode);
        EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
        if (process) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), kProcessEndMs));
        }
        return took;
    }

    bx::test::e2e::Account user;
    ULONGLONG started = 0;
};

// The figures compared. Under Wine, for another process,
// GetProcessHandleCount succeeds but answers 0 and GetProcessMemoryInfo's
// PrivateUsage is 0 (GetProcessTimes is unreliable too): where they answer
// 0, the handle count is the HandleCount of the process's entry in
// NtQuerySystemInformation's process list, and private memory is read from
// the Wine process's /proc (Private_Dirty of smaps_rollup).
DWORD Handles(const bx::test::ProcessFigures& f) { return f.handles != 0 ? f.handles : f.listedHandles; }

uint64_t PrivateKb(const bx::test::ProcessFigures& f) {
    return f.privateUsage != 0 ? f.privateUsage / 1024 : f.privateDirtyKb;
}

std::string Describe(const bx::test::ProcessFigures& f) {
    return "handles=" + std::to_string(f.handles) + " listedHandles=" + std::to_string(f.listedHandles) +
           " PrivateUsage=" + std::to_string(f.privateUsage) + " WorkingSet=" + std::to_string(f.workingSet) +
           " unixPid=" + std::to_string(f.unixPid) + " VmRSS=" + std::to_string(f.rssKb) +
           "kB Private_Dirty=" + std::to_string(f.privateDirtyKb) + "kB";
}

// A hundred start/stop cycles with notifications flowing. In each cycle the
// agent starts, sends its reset request, gets a session logon and kSettled
// opens and has them acknowledged, then gets kInFlight more opens and the
// session's logoff just before the stop, and stops within its bound; its
// process ends. (The agent here is the session test variant of bxhvns, so
// that the logoff reaches the same handler as the system's notification.)
// At the end every settled open reached the peer exactly once, no in-flight
// open twice, and at most one logoff came per cycle. The handle count and private
// memory of the process at the same point of the 10th and the 100th cycle
// (after the settled opens were acknowledged) do not grow.
TEST_F(AgentSoak, HundredStartStopCyclesLoseNothingAndDoNotGrow) {
    constexpr int kCycles = 100, kSettled = 4, kInFlight = 3;
    settings.verbose = 0;  // a hundred runs of debug lines would roll the log over
    StartPeer();
    InstallAgent(L"bxhvns_session_test.exe");

    std::set<std::string> settledPorts, inFlightPorts;
    bx::test::ProcessFigures at10, at100;
    DWORD longestStop = 0;
    ULONGLONG firstCycleMs = 0;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        const ULONGLONG cycleStart = GetTickCount64();
        StartAgent(cycle);
        if (HasFatalFailure()) return;
        ASSERT_EQ(0u, service->Control(SessionControl(WTS_SESSION_LOGON, 3))) << "cycle " << cycle;
        std::set<std::string> mine;
        for (int i = 0; i < kSettled; ++i) {
            const uint16_t port = static_cast<uint16_t>(20000 + cycle * 10 + i);
            FeedOpen(port, "93.184.216.34", 0x100000ull * cycle + i);
            mine.insert(std::to_string(port));
        }
        settledPorts.insert(mine.begin(), mine.end());
        // This cycle's opens arrived and the peer acknowledged every
        // notification it has seen.
        ASSERT_TRUE(peer.WaitFor(
            [&](const std::vector<PeerLine>& lines) {
                size_t arrived = 0, notifications = 0, acks = 0;
                for (const PeerLine& l : lines) {
                    if (l.IsNotification()) {
                        ++notifications;
                        if (mine.count(l["port"])) ++arrived;
                    }
                    if (l["sent"] == "ack") ++acks;
                }
                return arrived == mine.size() && acks == notifications;
            },
            kArrivalMs))
            << "cycle " << cycle << "\n"
            << Dump();
        if (cycle == 10 || cycle == kCycles) {
            Sleep(500);  // the acknowledgements handled, the threads idle
            (cycle == 10 ? at10 : at100) = Figures();
            Soak("cycle %d: %s", cycle, Describe(cycle == 10 ? at10 : at100).c_str());
        }
        for (int i = 0; i < kInFlight; ++i) {
            const uint16_t port = static_cast<uint16_t>(20000 + cycle * 10 + kSettled + i);
            FeedOpen(port, "93.184.216.35", 0x100000ull * cycle + kSettled + i);
            inFlightPorts.insert(std::to_string(port));
        }
        // Refused only when the stop has already begun; either way nothing
        // may break.
        service->Control(SessionControl(WTS_SESSION_LOGOFF, 3));
        const DWORD took = StopAndCheck();
        if (HasFailure()) {
            ADD_FAILURE() << "cycle " << cycle;
            return;
        }
        longestStop = std::max(longestStop, took);
        if (cycle == 1) firstCycleMs = GetTickCount64() - cycleStart;
    }
    Soak("one cycle %.1f s, longest stop %lu ms", firstCycleMs / 1000.0, static_cast<unsigned long>(longestStop));

    // Whatever was still on its way has had time to arrive.
    Sleep(1500);
    std::map<std::string, int> seen;
    for (const PeerLine& l : peer.Notifications()) ++seen[l["port"]];
    for (const std::string& port : settledPorts) EXPECT_EQ(1, seen[port]) << "settled open at port " << port;
    size_t inFlightArrived = 0;
    for (const std::string& port : inFlightPorts) {
        EXPECT_LE(seen[port], 1) << "in-flight open at port " << port;
        inFlightArrived += seen[port];
    }
    // An open still waiting in the agent's queue when it stops is not sent by
    // this run (the queue is emptied at stop); one still in the driver is read
    // by the next run.
    Soak("in-flight opens that reached the peer: %zu of %zu", inFlightArrived, inFlightPorts.size());
    const std::vector<PeerLine> lines = peer.Lines();
    const size_t logoffs = Count(lines, "kind", "logoff");
    EXPECT_LE(logoffs, static_cast<size_t>(kCycles));
    for (const PeerLine& l : lines) {
        if (l["kind"] == "logoff") {
            EXPECT_EQ("3", l["session"]) << l.text;
        }
    }
    Soak("logoffs that reached the peer: %zu of %d", logoffs, kCycles);
    EXPECT_EQ(static_cast<size_t>(kCycles), service->LogCount("\tBrontavex Halvern finished\r\n"));
    EXPECT_EQ(0u, service->LogCount("did not stop within")) << service->Log();

    // Per-process figures at the same point of the 10th and the 100th cycle.
    ASSERT_NE(0u, Handles(at10)) << "no handle count: " << Describe(at10);
    EXPECT_LE(Handles(at100), Handles(at10) + 2) << Describe(at10) << "\n" << Describe(at100);
    ASSERT_NE(0u, PrivateKb(at10)) << "no private-memory figure: " << Describe(at10);
    EXPECT_LE(PrivateKb(at100), PrivateKb(at10) + PrivateKb(at10) / 10 + 1024) << Describe(at10) << "\n"
                                                                               << Describe(at100);
}

// 50,000 open notifications wait (in the send queue and the request table,
// retransmitted every second) while the peer answers nothing: the stop still
// ends every thread within its bound, the SCM sees the service stopped and
// the process ends.
TEST_F(AgentSoak, StopWithFiftyThousandWaitingAndASilentPeer) {
    constexpr uint32_t kRecords = 50000;
    settings.verbose = 0;
    settings.timeOut = 1;
    settings.retries = 1000;  // nothing is given up while the case runs
    // The counting peer: the printing one would write a line for each of
    // 50,000 datagrams every second.
    StartPeer({"--answer", "silent", "--count-only", "--receive-buffer", "16777216"});
    InstallAgent();
    // The pool holds every waiting record and the reset request.
    {
        bx::win::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Brontavex\\HVNAgent\\Settings\\SendDataPool", 0,
                                  nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
        const DWORD segments = 60;
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), L"NumberOfSegmentsHighMark", 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&segments), sizeof segments));
    }
    StartAgent(1, true);
    if (HasFatalFailure()) return;

    const ULONGLONG feedStart = GetTickCount64();
    for (uint32_t i = 0; i < kRecords; ++i) {
        snoop_event_t record =
            OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 443, "93.184.216.34", 443, 2, i + 1, user.Sid());
        record.local_ip = 0x0A000000u + 0x100u + i;  // 10.0.1.0 and up: every address its own
        // The driver stand-in holds a bounded number of records the agent
        // has not read yet (1450 when it is full): wait for the agent then.
        DWORD error = 0;
        bx::test::WaitUntil([&] { return (error = feeder->Inject(record)) != ERROR_NO_SYSTEM_RESOURCES; }, 30000, 5);
        ASSERT_EQ(0u, error) << "record " << i;
    }
    Soak("%u records fed in %.1f s", kRecords, (GetTickCount64() - feedStart) / 1000.0);

    // Every open was sent at least once and all of them wait.
    std::vector<int32_t> c = StatusWhen(
        [&](const std::vector<int32_t>& c) {
            return c[kEntered] >= static_cast<int32_t>(kRecords) &&
                   c[kQueued] + c[kWaiting] >= static_cast<int32_t>(kRecords);
        },
        180000);
    ASSERT_EQ(10u, c.size());
    Soak("before the stop: sent %d, entered %d, queued %d, waiting %d, dropped %d", c[kSent], c[kEntered], c[kQueued],
         c[kWaiting], c[kDropped]);
    EXPECT_GE(c[kEntered], static_cast<int32_t>(kRecords)) << Dump();
    EXPECT_GE(c[kQueued] + c[kWaiting], static_cast<int32_t>(kRecords) - 1) << Dump();
    EXPECT_LE(c[kQueued] + c[kWaiting], static_cast<int32_t>(kRecords)) << Dump();
    EXPECT_EQ(0, c[kGivenUp]);
    EXPECT_EQ(0, c[kDropped]);
    EXPECT_EQ(0u, service->LogCount("Failed to allocate")) << Dump();

    const DWORD took = StopAndCheck();
    Soak("stop with %d waiting took %lu ms", c[kQueued] + c[kWaiting], static_cast<unsigned long>(took));
    EXPECT_EQ(0u, service->LogCount("did not stop within")) << Dump();
    EXPECT_EQ(1u, service->LogCount("\tBrontavex Halvern finished\r\n")) << Dump();
}

// The appliance's port closes (the peer ends; its namespace answers with
// ICMP port unreachable, which Windows reports as WSAECONNRESET on the next
// receive of the socket that sent): the agent keeps running and listening,
// and once the peer is back the notifications sent meanwhile (retransmitted)
// and new ones reach it and are acknowledged. The agent sends from its
// dispatcher socket, which it never reads, and the listener never sends, so
// the port-unreachable report does not reach the listener: under Wine no
// receive error at all is logged (the case prints the count), and the
// listener's handling of a receive error (log, pause, listen on) is the same
// whatever the error.
TEST_F(AgentSoak, ApplianceBackAfterItsPortWasClosed) {
    settings.timeOut = 1;
    settings.retries = 30;
    StartPeer();
    InstallAgent();
    StartAgent();
    if (HasFatalFailure()) return;
    FeedOpen(30001, "93.184.216.34", 1);
    ASSERT_TRUE(peer.WaitForNotifications(1, kArrivalMs)) << Dump();
    ASSERT_EQ(1, StatusWhen([](const std::vector<int32_t>& c) { return c[kProcessed] == 1; }, kArrivalMs)[kProcessed]);

    peer.Stop();
    FeedOpen(30002, "93.184.216.35", 2);
    FeedOpen(30003, "93.184.216.36", 3);
    // Sent and resent into the closed port for a while.
    ASSERT_TRUE(service->WaitForLog("\tSnooper IOCTL Events\r\n", kArrivalMs, 3)) << Dump();
    Sleep(6000);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Query().dwCurrentState);
    Soak("receive errors logged while the port was closed: %zu (WSAECONNRESET: %zu)",
         service->LogCount("UTMlistner ReadError code:"), service->LogCount("UTMlistner ReadError code:'10054'"));

    StartPeer();
    FeedOpen(30004, "93.184.216.37", 4);
    ASSERT_TRUE(peer.WaitFor(
        [](const std::vector<PeerLine>& lines) {
            std::set<std::string> ports;
            for (const PeerLine& l : lines)
                if (l.IsNotification()) ports.insert(l["port"]);
            return ports.count("30002") && ports.count("30003") && ports.count("30004");
        },
        kArrivalMs))
        << Dump();
    // Every open is acknowledged: nothing waits any more.
    std::vector<int32_t> c = StatusWhen([](const std::vector<int32_t>& c) { return c[kWaiting] == 0; }, kArrivalMs);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(0, c[kWaiting]) << Dump();
    EXPECT_EQ(0, c[kGivenUp]);
    EXPECT_EQ(0, c[kParseFailures]);
    EXPECT_EQ(0u, service->LogCount("Exiting UTMlistner")) << Dump();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Query().dwCurrentState);
    StopAndCheck();
}

// 100,000 datagrams from a stranger's address (a namespace of its own: under
// Wine a datagram from another loopback address arrives as from 127.0.0.1),
// half of them answers the appliance could send (acknowledgements, resets,
// pings, "Unknown SessionID", local routes covering every address), half
// random bytes, while the peer acknowledges the agent's notifications. The
// stranger changes nothing: the session stays acknowledged (no names again,
// no resend), no destination becomes local, no ping is answered, nothing is
// counted as a failed parse; the counters match what the peer saw; one error
// line names the stranger; the agent's memory stays within its bound.
TEST_F(AgentSoak, StrangerFloodChangesNothing) {
    constexpr unsigned kFlood = 100000;
    constexpr int kDuring = 20;
    settings.verbose = 0;  // the stranger's drops after the first are debug lines
    StartPeer();
    InstallAgent();
    StartAgent();
    if (HasFatalFailure()) return;
    FeedOpen(31000, "93.184.216.34", 1);
    ASSERT_TRUE(peer.WaitForNotifications(1, kArrivalMs)) << Dump();
    ASSERT_EQ(1, StatusWhen([](const std::vector<int32_t>& c) { return c[kProcessed] == 1; }, kArrivalMs)[kProcessed]);
    Sleep(500);
    const bx::test::ProcessFigures before = Figures();
    Soak("before the flood: %s", Describe(before).c_str());

    // The flood runs on its own (peer.sh through Wine) while opens are fed.
    std::string summary;
    bool flooded = false;
    {
        struct Flood {
            std::string* summary;
            bool* flooded;
            uint16_t port;
        } flood{&summary, &flooded, static_cast<uint16_t>(settings.port)};
        bx::win::UniqueHandle thread(CreateThread(
            nullptr, 0,
            [](void* parameter) -> DWORD {
                auto* f = static_cast<Flood*>(parameter);
                try {
                    *f->flooded =
                        bx::test::e2e::RunStrangerFlood("soak_stranger", f->port, kFlood, 12, 180000, *f->summary);
                } catch (...) {
                    *f->flooded = false;
                }
                return 0;
            },
            &flood, 0, nullptr));
        ASSERT_TRUE(thread) << GetLastError();
        Sleep(1000);
        for (int i = 1; i <= kDuring; ++i) {
            char remote[32];
            snprintf(remote, sizeof remote, "93.184.217.%d", i);
            FeedOpen(static_cast<uint16_t>(31000 + i), remote, 1 + i);
            Sleep(300);
        }
        WaitForSingleObject(thread.get(), INFINITE);
    }
    ASSERT_TRUE(flooded) << summary;
    Soak("flood: %s", summary.c_str());
    std::string stranger;
    for (const PeerLine& l : bx::test::e2e::ParsePeerOutput(summary)) {
        if (l.word.rfind("stranger=", 0) == 0) stranger = l.word.substr(9);
        if (l.word.rfind("sent=", 0) == 0) {
            EXPECT_EQ("0", l["replies"]) << summary;  // no ping answered
        }
    }
    ASSERT_FALSE(stranger.empty()) << summary;

    // After the flood: a destination the stranger's "local route" covered.
    FeedOpen(31100, "93.184.218.1", 100);
    const size_t total = 2 + kDuring;
    ASSERT_TRUE(peer.WaitForNotifications(total, kArrivalMs)) << Dump();
    // Every open acknowledged, the retransmissions of lost acknowledgements
    // included (TimeOut 10 s).
    std::vector<int32_t> c =
        StatusWhen([&](const std::vector<int32_t>& c) { return c[kWaiting] == 0 && c[kQueued] == 0; }, 40000);
    ASSERT_EQ(10u, c.size());
    Sleep(1500);
    c = RequestStatus();
    ASSERT_EQ(10u, c.size());

    // The flood fills the listener's socket: some of the peer's
    // acknowledgements are dropped there, and the open they acknowledged is
    // sent again after TimeOut under the same request id. Nothing else is
    // sent twice, and nothing is sent with names again.
    std::vector<PeerLine> n = peer.Notifications();
    ASSERT_GE(n.size(), total) << Dump();
    EXPECT_TRUE(n[0].Has("user")) << n[0].text;
    std::map<std::string, std::set<std::string>> idsOfPort;
    size_t repeats = 0;
    for (size_t i = 0; i < n.size(); ++i) {
        idsOfPort[n[i]["port"]].insert(n[i]["id"]);
        if (!n[i]["repeat"].empty() && n[i]["repeat"] != "0") ++repeats;
        if (i > 0) {
            EXPECT_FALSE(n[i].Has("user")) << "names again: " << n[i].text;
            EXPECT_EQ("clear", n[i]["iv"]) << n[i].text;
        }
    }
    EXPECT_EQ(total, idsOfPort.size());
    EXPECT_EQ(1u, idsOfPort.count("31100"));
    for (const auto& [port, ids] : idsOfPort) EXPECT_EQ(1u, ids.size()) << "port " << port;
    EXPECT_EQ(total + repeats, n.size()) << Dump();
    Soak("acknowledgements lost in the flood, made good by retransmission: %zu", repeats);

    // The counters are exactly what the peer saw: every sending counted, one
    // acknowledgement handled for each open (a lost one is not, a late one
    // would be), nothing of the stranger's parsed.
    const int acks = static_cast<int>(Count(peer.Lines(), "sent", "ack"));
    EXPECT_EQ(static_cast<int>(n.size()), acks);
    EXPECT_EQ(static_cast<int32_t>(n.size()), c[kSent]);
    EXPECT_EQ(static_cast<int32_t>(n.size()), c[kEntered]);
    EXPECT_EQ(static_cast<int32_t>(total), c[kProcessed]);
    EXPECT_EQ(0, c[kParseFailures]);
    EXPECT_EQ(0, c[kQueued]);
    EXPECT_EQ(0, c[kGivenUp]);
    EXPECT_EQ(0, c[kWaiting]);
    EXPECT_EQ(1u, service->LogCount("\tUTMlistner dropped a datagram from " + stranger + ":")) << Dump();
    EXPECT_EQ(0u, service->LogCount("recvd Reset request")) << Dump();
    EXPECT_EQ(0u, service->LogCount("recvd ping request")) << Dump();

    const bx::test::ProcessFigures after = Figures();
    Soak("after the flood: %s", Describe(after).c_str());
    ASSERT_NE(0u, PrivateKb(before)) << Describe(before);
    EXPECT_LE(PrivateKb(after), PrivateKb(before) + 2048) << Describe(before) << "\n" << Describe(after);
    EXPECT_LE(Handles(after), Handles(before) + 2) << Describe(before) << "\n" << Describe(after);
    StopAndCheck();
}

}  // namespace
