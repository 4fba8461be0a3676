// What the agent costs and how late its notifications are, natively and in
// one process, against the counting appliance peer (sim/utm --count-only, in
// a network namespace of tests/e2e/peer.sh), which checks, acknowledges and
// counts without printing, and records when each notification arrived
// (--arrivals). The agent is the Snooper and its connection manager; the
// service thread's loop runs on the bench's thread, and a feeder thread
// stands in for the driver, handing records to the in-process device at an
// even pace (one open and one clean-up per connection).
//
// At each offered load of 1,000, 5,000 and 20,000 connections/s, the agent and
// the thread-structure floor (below) run in turn, five times each (agent,
// floor, agent, floor, ...), BX_COST_SECONDS (4) seconds each run, a new
// agent every run. Printed (medians of the five runs):
//
//   notify_latency_us_p50_at_R, _p99_at_R, _p999_at_R   from the moment the
//       feeder hands a driver record to the device (from then on the agent
//       can read it) to the moment its notification reaches the peer's socket
//       (the kernel's receive time there, so the peer's own wake-up is not
//       counted). The wire carries no time: the peer writes each
//       notification's connection (port, address, open or close) and its
//       arrival on CLOCK_MONOTONIC, which every process of the host shares
//       whatever its network namespace; the bench knows when it fed the record
//       of each connection and matches the two.
//   agent_cpu_us_per_connection_at_R   the agent's CPU time (every thread of
//       the process, user and system, less the feeder and the bench's own
//       waiting) per connection, both notifications acknowledged.
//   thread_structure_floor_cpu_us_per_connection_at_R   the same load through
//       the agent's thread structure doing no agent work, each thread woken
//       for every record; and its latency
//       (thread_structure_floor_latency_us_p99_at_R). Under a sustained load
//       of more than one record per 50 us (above 10,000 connections/s) the
//       agent's threads pause between runs instead (CWakePacer), so that
//       there the agent can cost less than the floor.
//   agent_over_floor_max   the largest agent/floor ratio of the three loads.
//
// A run counts only when it is complete: the peer counted every notification
// exactly once and every one was answered (the agent's request table emptied,
// or the floor's listener received every acknowledgement), and every
// notification's arrival was matched. A figure with an incomplete run is not
// printed; a "#" line says why.
//
//   max_lossless_connections_per_s   the highest offered load at which
//       nothing is lost: the device never refused a record (a driver's queue
//       would have overflowed), the feeder kept the pace, the peer counted
//       every notification once, and every one was answered. Runs of
//       BX_LOSSLESS_SECONDS (2) seconds (HighestLosslessRate says how the rate
//       is searched); the feeder hands the records due in each 200 us at
//       once, the agent's own pause under such a load (kLosslessBatchUs).
//   utm_count_records_per_s   the same search for a raw sendto loop of the
//       agent's clear datagrams to the same peer, acknowledgements drained by
//       a thread: the baseline, and the proof that the peer is not what bounds
//       the agent; e2e_native_vs_raw_sendto is the agent's records/s (two per
//       connection) against it.
//
// "#" lines also give the load average before and after each run: the
// figures are CPU time and percentiles, which load disturbs less than wall
// time, but it disturbs them. Run by scripts/bench.d/agent_cost, beside the
// figures of the real service under Wine. Needs root (the namespace); without
// it the figures are reported as not measured.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "agent/appliance/status_file.h"
#include "agent/appliance/wake_pacer.h"
#include "agent/settings/settings_reader.h"
#include "agent/snoop/snoop_device.h"
#include "agent/snoop/snoop_device_inprocess.h"
#include "agent/snoop/snooper.h"
#include "bench/agent_feed.h"
#include "bench/figures.h"
#include "platform/event.h"
#include "platform/posix/account_table.h"
#include "platform/settings_store.h"
#include "platform/udp_socket.h"
#include "sim/utm/counter.h"
#include "sim/utm/wire.h"

namespace {

using namespace bx::bench;
using Clock = std::chrono::steady_clock;

constexpr double kRates[] = {1000, 5000, 20000};  // offered connections/s
constexpr int kRepetitions = 5;
const wchar_t kUserSid[] = L"S-1-5-21-100-200-300-1001";
const char kKey[] = "0123456789ABCDEF";
const char kReceiveBuffer[] = "67108864";  // the peer's: a whole run fits
// The floor's and the raw loop's socket at the agent's port get the agent
// listener's receive buffer (agent/appliance/conn_cache_mgr.cpp).
constexpr uint32_t kListenerReceiveBuffer = 4u << 20;

double Seconds(const char* variable, double fallback) {
    const char* text = std::getenv(variable);
    const double s = text ? std::atof(text) : fallback;
    return s > 0 ? s : fallback;
}

uint64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double CpuSeconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double ThreadCpuSeconds() { return CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }
double ProcessCpuSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }

std::string LoadAverage() {
    std::string text = ReadWhole("/proc/loadavg");
    const size_t third = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return third == std::string::npos ? text : text.substr(0, third);
}

// UDP datagrams this host's network namespace (the agent's side, not the
// peer's) dropped so far because a socket's receive buffer was full.
uint64_t ReceiveBufferErrors() {
    const std::string snmp = ReadWhole("/proc/net/snmp");
    const size_t header = snmp.find("Udp: ");
    const size_t values = snmp.find("Udp: ", header + 1);
    if (header == std::string::npos || values == std::string::npos) return 0;
    // The column of RcvbufErrors in the header line is its column in the values line.
    const std::string names = snmp.substr(header, snmp.find('\n', header) - header);
    int column = 0;
    for (size_t at = 0; at < names.find(" RcvbufErrors"); ++at) column += names[at] == ' ';
    size_t at = values;
    for (int i = 0; i < column + 1; ++i) at = snmp.find(' ', at) + 1;
    return std::strtoull(snmp.c_str() + at, nullptr, 10);
}

// A "#" line beside the figures (they are printed once every benchmark ran).
__attribute__((format(printf, 1, 2))) void Note(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::printf("# ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

// The connection of record `index` (bench/agent_feed.h's numbering) from what
// the peer read in a notification; false when it is not one of ours.
bool ConnectionOf(const utm::Arrival& a, uint32_t& connection) {
    if ((a.ip >> 16) != 0x0A01 || a.port < 40000 || a.port >= 40000 + 0x4000) return false;
    connection = (a.ip & 0xFFFF) << 14 | static_cast<uint32_t>(a.port - 40000);
    return true;
}

// The peer's network namespace and the counting peer in it; undone on
// destruction.
class CountingPeer {
public:
    CountingPeer() : dir_(BX_COST_BENCH_DIR), script_(BX_PEER_SCRIPT) {
        // Without root peer.sh leaves a reason in DIR/skip; as root a
        // namespace that cannot be made fails with the reason on stderr.
        std::system((script_ + " up " + dir_ + " >/dev/null 2>" + dir_ + ".up.err").c_str());
        skip_ = ReadWhole(dir_ + "/skip");
        const std::string env = ReadWhole(dir_ + "/net.env");
        if (skip_.empty() && env.empty()) skip_ = "no peer network: " + ReadWhole(dir_ + ".up.err");
        if (!skip_.empty()) return;
        peerIp_ = EnvValue(env, "PEER_IP");
        port_ = FreeUdpPort();
        std::system(Quiet(script_ + " start " + dir_ + " counter " + BX_UTM_PROGRAM + " --count-only --listen " +
                          peerIp_ + ":" + std::to_string(port_) + " --key " + kKey + " --receive-buffer " +
                          kReceiveBuffer + " --arrivals " + dir_ + "/arrivals")
                        .c_str());
        if (ReadWhole(dir_ + "/counter.started").empty()) skip_ = "the counting peer did not start";
        // The peer runs in a session (and so a scheduling group) of its own:
        // it gets the priority scripts/bench gave this one's group.
        const std::string group = ReadWhole("/proc/self/autogroup");
        const size_t nice = group.find(" nice ");
        const std::string pid = ReadWhole(dir_ + "/counter.pid");
        if (nice != std::string::npos && !pid.empty())
            std::ofstream("/proc/" + std::to_string(std::atoi(pid.c_str())) + "/autogroup") << group.substr(nice + 6);
    }
    ~CountingPeer() { std::system(Quiet(script_ + " down " + dir_).c_str()); }
    CountingPeer(const CountingPeer&) = delete;
    CountingPeer& operator=(const CountingPeer&) = delete;

    const std::string& Skip() const { return skip_; }
    const std::string& PeerIp() const { return peerIp_; }
    uint32_t PeerAddress() const {
        uint32_t a = 0;
        utm::ParseIp(peerIp_, a);
        return a;
    }
    uint16_t Port() const { return port_; }

    // Notifications counted so far, from the peer's latest totals line.
    uint64_t Notifications() {
        std::ifstream in(dir_ + "/counter.out", std::ios::binary);
        in.seekg(static_cast<std::streamoff>(outOffset_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t lastLine = chunk.rfind('\n');
        if (lastLine == std::string::npos) return count_;
        chunk.resize(lastLine + 1);
        outOffset_ += chunk.size();
        const size_t at = chunk.rfind(" notifications=");
        if (at != std::string::npos) count_ = std::strtoull(chunk.c_str() + at + 15, nullptr, 10);
        return count_;
    }

    // Waits until the peer has counted `expected` notifications, or until its
    // count has not moved for two seconds; true when it got there.
    bool WaitFor(uint64_t expected) {
        uint64_t last = Notifications();
        auto lastMove = Clock::now();
        for (;;) {
            const uint64_t now = Notifications();
            if (now >= expected) return true;
            if (now != last) {
                last = now;
                lastMove = Clock::now();
            } else if (Clock::now() - lastMove > std::chrono::seconds(2)) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    // The arrivals the peer recorded since the last call (whole records only;
    // every one it counted in a totals line already read is there).
    std::vector<utm::Arrival> TakeArrivals() {
        std::ifstream in(dir_ + "/arrivals", std::ios::binary);
        in.seekg(static_cast<std::streamoff>(arrivalsOffset_));
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<utm::Arrival> arrivals(bytes.size() / sizeof(utm::Arrival));
        std::memcpy(arrivals.data(), bytes.data(), arrivals.size() * sizeof(utm::Arrival));
        arrivalsOffset_ += arrivals.size() * sizeof(utm::Arrival);
        return arrivals;
    }

private:
    std::string dir_, script_, skip_, peerIp_;
    uint16_t port_ = 0;
    uint64_t outOffset_ = 0;
    uint64_t count_ = 0;
    uint64_t arrivalsOffset_ = 0;
};

// What a paced feed reached.
struct Fed {
    double cpuSeconds = 0;  // the feeder thread's
    double perSecond = 0;   // calls per second from the first due time to the last call
};

// Calls feed(i) for i = 0 .. count-1 on a thread of its own, the i-th at
// start + i / perSecond (late calls are made at once), while `meanwhile`
// runs on the calling thread. The feeder's timer slack is 1 ns, so that its
// pauses end on time rather than up to 50 us late. With `batchUs`, the calls
// due within each batchUs go together, at the due time of the batch's last.
template <typename Feed, typename Meanwhile>
Fed FeedPaced(uint32_t count, double perSecond, Feed feed, Meanwhile meanwhile, double batchUs = 0) {
    Fed fed;
    const uint32_t batch = std::max<uint32_t>(1, static_cast<uint32_t>(batchUs * 1e-6 * perSecond));
    std::thread feeder([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const auto start = Clock::now();
        for (uint32_t i = 0; i < count; ++i) {
            if (i % batch == 0) {
                const std::chrono::duration<double> due(std::min(i + batch - 1, count - 1) / perSecond);
                std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(due));
            }
            feed(i);
        }
        fed.perSecond = count / std::chrono::duration<double>(Clock::now() - start).count();
        fed.cpuSeconds = ThreadCpuSeconds();
    });
    meanwhile();
    feeder.join();
    return fed;
}

// One run at one offered load.
struct Run {
    std::string incomplete;  // why not every notification was counted, answered and matched ("": it was)
    double cpuUsPerConnection = 0;
    double offeredPerS = 0;  // connections per second the feeder reached
    uint64_t refused = 0;    // records the device refused (its queue was full): fed again, late
    uint64_t bufferDrops = 0;  // datagrams the agent's side dropped for a full receive buffer
    std::vector<double> latencyUs;
};

// What the feeder does for every record of a run: hands the driver record of
// connection first + i / 2 (an open, then its clean-up) to the in-process
// device and notes when; a full device refuses it, and it is handed again.
class RecordFeed {
public:
    RecordFeed(uint32_t first, uint32_t records)
        : first_(first), sid_(CSid::FromString(kUserSid)), readable_(records, 0) {}
    void operator()(uint32_t i) {
        const snoop_event_t record = Record(first_ + i / 2, i % 2 == 0, sid_);
        for (;;) {
            readable_[i] = MonotonicNs();
            if (bx::snoopdev::InjectSnoopRecord(record) == 0) return;
            refused_.fetch_add(1, std::memory_order_relaxed);
            std::this_thread::yield();
        }
    }
    uint64_t Refused() const { return refused_.load(); }

    // The latency of every record from the peer's arrivals (the first of each
    // record's connection and operation); "" when every record was matched.
    std::string Match(const std::vector<utm::Arrival>& arrivals, std::vector<double>& latencyUs) const {
        std::vector<uint64_t> arrived(readable_.size(), 0);
        for (const utm::Arrival& a : arrivals) {
            uint32_t connection;
            if (!ConnectionOf(a, connection) || connection < first_) continue;
            const uint64_t i = 2ull * (connection - first_) + ((a.protOp >> 4) == utm::kOpClose ? 1 : 0);
            if (i < arrived.size() && arrived[i] == 0) arrived[i] = a.monotonicNs;
        }
        latencyUs.clear();
        for (size_t i = 0; i < arrived.size(); ++i) {
            if (arrived[i] == 0) return "the arrival of record " + std::to_string(i) + " was not found";
            latencyUs.push_back(arrived[i] < readable_[i] ? 0.0 : (arrived[i] - readable_[i]) / 1e3);
        }
        return {};
    }

private:
    uint32_t first_;
    CSid sid_;
    std::vector<uint64_t> readable_;
    std::atomic<uint64_t> refused_{0};
};

// The Snooper and its connection manager, with the service thread's loop on
// the calling thread.
class InProcessAgent {
public:
    explicit InProcessAgent(const CountingPeer& peer) {
        bx::settings::DeleteKeyTree(bx::kSettingsKeyPath);
        bx::settings::Key key;
        bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key);
        SetString(key, L"ip", std::wstring(peer.PeerIp().begin(), peer.PeerIp().end()));
        SetDword(key, L"port", peer.Port());
        SetString(key, L"key", L"0123456789ABCDEF");
        SetDword(key, L"verbose", 0);
        bx::accounts::SetTableAccount(kUserSid, bx::accounts::Account{L"alice", L"CORP", bx::accounts::SidType::User});
        bx::snoopdev::ResetInProcessDevice();
        readDone_.Create(bx::sync::ResetMode::Auto);
        snooper_ = std::make_unique<Snooper>();
        snooper_->SetReadEvent(readDone_);
        started_ = snooper_->Initialise() == 0;
        if (started_) snooper_->OpenDevice();
    }
    ~InProcessAgent() {
        if (started_) {
            snooper_->CancelRead(0);
            snooper_->ConnectionManager().Stop();
            snooper_->CloseDevice();
            snooper_->SocketsCleanup();
        }
        snooper_.reset();
        bx::settings::DeleteKeyTree(bx::kSettingsKeyPath);
    }
    bool Started() const { return started_; }

    // Handles `records` completed reads as the service loop does: checks the
    // read, handles the record, issues the next read.
    void Serve(uint32_t records) {
        for (uint32_t done = 0; done < records;) {
            if (readDone_.Wait(60000) != bx::sync::kWaitObject0) return;
            const Snooper::ReadCheck check = snooper_->CheckCompletedRead();
            if (check == Snooper::ReadCheck::Pending) continue;
            if (check == Snooper::ReadCheck::Whole) snooper_->HandleEvent();
            snooper_->ReadSnoopEvents();
            ++done;
        }
    }

    int32_t Counter(bx::StatusCounter which) {
        bx::StatisticsSnapshot s;
        snooper_->ConnectionManager().GetStatistics(s);
        return s.counters[which];
    }

    // Waits up to two seconds for the request table to empty.
    bool Answered() {
        for (int i = 0; i < 2000 && Counter(bx::kRequestTableCount) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Counter(bx::kRequestTableCount) == 0;
    }

private:
    bx::sync::Event readDone_;
    std::unique_ptr<Snooper> snooper_;
    bool started_ = false;
};

// The peer's count after a run of `records`: "" when it counted each once.
std::string CountProblem(uint64_t counted, uint64_t records, bool reached) {
    if (!reached) return "the peer counted " + std::to_string(counted) + " of " + std::to_string(records) + " notifications";
    if (counted != records) return "the peer counted " + std::to_string(counted) + " notifications for " +
                                   std::to_string(records) + " records (retransmissions)";
    return {};
}

// Connections numbered from here on are new to the peer (bench/agent_feed.h's
// numbering): no two runs share a connection.
uint32_t nextConnection = 0;

// In the search for the highest lossless rate the feeder hands the records
// due in each 200 us at once (the raw loop's datagrams likewise). Under such
// a load the agent's threads pause that long between runs (CWakePacer), so a
// run finds the same records either way; what changes is the feeder. Woken
// for every record, 5 us apart at 100,000 connections/s, it took more than
// half a core of this 2-core machine; woken every 50 us, it still preempted
// an agent thread each time, often one that held a lock the others then slept
// on for milliseconds. A driver filling its queue from the connecting
// processes wakes nothing of its own.
constexpr double kLosslessBatchUs = CWakePacer::kHoldUs;

Run AgentRun(CountingPeer& peer, double connectionsPerS, double seconds, double batchUs = 0) {
    Run run;
    InProcessAgent agent(peer);
    if (!agent.Started()) {
        run.incomplete = "the snooper did not start";
        return run;
    }
    // The reset request goes and the start-up settles before the clock runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint32_t connections = std::max<uint32_t>(1, static_cast<uint32_t>(connectionsPerS * seconds));
    const uint32_t records = 2 * connections;
    RecordFeed feed(nextConnection, records);
    nextConnection += connections;
    peer.TakeArrivals();  // what came before this run
    const uint64_t base = peer.Notifications();

    const uint64_t dropsBefore = ReceiveBufferErrors();
    const double before = ProcessCpuSeconds();
    const Fed fed = FeedPaced(
        records, 2 * connectionsPerS, std::ref(feed), [&] { agent.Serve(records); }, batchUs);
    const double waitBefore = ThreadCpuSeconds();
    const bool reached = peer.WaitFor(base + records);
    const bool answered = agent.Answered();
    const double waitCpu = ThreadCpuSeconds() - waitBefore;
    const double agentCpu = ProcessCpuSeconds() - before - fed.cpuSeconds - waitCpu;

    run.cpuUsPerConnection = agentCpu * 1e6 / connections;
    run.offeredPerS = fed.perSecond / 2;
    run.refused = feed.Refused();
    run.bufferDrops = ReceiveBufferErrors() - dropsBefore;
    run.incomplete = CountProblem(peer.Notifications() - base, records, reached);
    if (run.incomplete.empty() && !answered)
        run.incomplete = std::to_string(agent.Counter(bx::kRequestTableCount)) + " opens were not acknowledged";
    if (run.incomplete.empty() && agent.Counter(bx::kQueueDropped) != 0) run.incomplete = "the send queue overflowed";
    if (run.incomplete.empty()) run.incomplete = feed.Match(peer.TakeArrivals(), run.latencyUs);
    return run;
}

// A clear notification of the agent's (the session known) for each record,
// with the record's connection written in: the floor's and the raw loop's
// datagrams.
class Datagrams {
public:
    Datagrams() {
        for (int close = 0; close < 2; ++close) {
            utm::Builder b(utm::kNotification, 1);
            b.U8(utm::kTlvProtOp, close ? 0x11 : 0x01).U16(utm::kTlvPort, 40000).U8(utm::kTlvNumIps, 1);
            b.U32(utm::kTlvIp, 0x0A010000);
            if (!close) b.U32(utm::kTlvDestIp, 0x5DB8D822).U16(utm::kTlvDestPort, 443);
            b.Session(0, 2);
            bytes_[close] = b.Clear();
        }
        // The Port and IP values lie at the same offsets in both.
        for (size_t at = utm::kFixedBytes; at + utm::kTlvHeaderBytes <= bytes_[0].size();) {
            const uint16_t type = static_cast<uint16_t>(bytes_[0][at] << 8 | bytes_[0][at + 1]);
            if (type == utm::kTlvPort) portAt_ = at + utm::kTlvHeaderBytes;
            if (type == utm::kTlvIp) ipAt_ = at + utm::kTlvHeaderBytes;
            at += utm::kTlvHeaderBytes + (bytes_[0][at + 2] << 8 | bytes_[0][at + 3]);
        }
    }
    // The datagram of record `i` of a run whose first connection is `first`.
    const std::vector<uint8_t>& Of(uint32_t first, uint32_t i) {
        std::vector<uint8_t>& d = bytes_[i % 2];
        const uint32_t connection = first + i / 2;
        const uint16_t port = static_cast<uint16_t>(40000 + (connection & 0x3FFF));
        const uint32_t ip = 0x0A010000u | (connection >> 14);
        d[portAt_] = static_cast<uint8_t>(port >> 8);
        d[portAt_ + 1] = static_cast<uint8_t>(port);
        for (int b = 0; b < 4; ++b) d[ipAt_ + b] = static_cast<uint8_t>(ip >> (24 - 8 * b));
        for (int b = 0; b < 4; ++b) d[12 + b] = static_cast<uint8_t>((i + 1) >> (24 - 8 * b));  // request id
        return d;
    }

private:
    std::vector<uint8_t> bytes_[2];
    size_t portAt_ = 0, ipAt_ = 0;
};

// The floor under the agent's figures on this machine: the agent's thread
// structure with no agent work. The feeder hands the same records to the
// same in-process device; a "service" thread waits for each read's
// completion, checks it and issues the next read (one read per record, as the
// service loop does), and hands the record on through an event to a
// "dispatcher" thread, which sends a clear datagram of the agent's size
// naming the record's connection from an unbound socket; a "listener" thread
// receives the acknowledgements on a socket bound at the agent's port (with
// the agent's receive buffer). The CPU
// time of the three is what the hand-offs and the UDP round trips cost here
// before the agent does anything.
Run FloorRun(CountingPeer& peer, double connectionsPerS, double seconds) {
    Run run;
    bx::net::UdpSocket listenerSocket, dispatcherSocket;
    if (listenerSocket.Create() != 0 || listenerSocket.SetReceiveTimeout(100) != 0 ||
        listenerSocket.SetReceiveBuffer(kListenerReceiveBuffer) != 0 ||
        listenerSocket.Bind(bx::net::kAnyAddress, peer.Port()) != 0 || dispatcherSocket.Create() != 0) {
        run.incomplete = "no sockets for the floor";
        return run;
    }
    bx::snoopdev::ResetInProcessDevice();
    bx::sync::Event readDone, toDispatcher, dispatcherStop;
    readDone.Create(bx::sync::ResetMode::Auto);
    toDispatcher.Create(bx::sync::ResetMode::Auto);
    dispatcherStop.Create(bx::sync::ResetMode::Manual);
    CSnoopDevice device;
    device.SetCompletionEvent(readDone);
    if (device.Open() != 0) {
        run.incomplete = "the in-process device did not open";
        return run;
    }
    const uint32_t connections = std::max<uint32_t>(1, static_cast<uint32_t>(connectionsPerS * seconds));
    const uint32_t records = 2 * connections;
    const uint32_t first = nextConnection;
    nextConnection += connections;
    RecordFeed feed(first, records);
    Datagrams datagrams;
    std::atomic<uint32_t> handed{0}, answers{0};
    std::atomic<bool> stopListener{false};
    peer.TakeArrivals();
    const uint64_t base = peer.Notifications();

    const uint64_t dropsBefore = ReceiveBufferErrors();
    const double before = ProcessCpuSeconds();
    std::thread listener([&] {
        uint8_t buffer[1024];
        size_t n;
        uint32_t from;
        uint16_t fromPort;
        while (answers.load() < records && !stopListener.load())
            if (listenerSocket.ReceiveFrom(buffer, sizeof buffer, n, from, fromPort) == 0) answers.fetch_add(1);
    });
    std::thread dispatcher([&] {
        for (uint32_t sent = 0; sent < records;) {
            if (bx::sync::WaitAny(dispatcherStop, toDispatcher, 5000) != bx::sync::kWaitObject1) break;
            for (const uint32_t until = handed.load(); sent < until; ++sent) {
                const std::vector<uint8_t>& d = datagrams.Of(first, sent);
                dispatcherSocket.SendTo(d.data(), d.size(), peer.PeerAddress(), peer.Port());
            }
        }
    });
    uint8_t readBuffer[SNOOP_EVENT_SIZE];
    const Fed fed = FeedPaced(records, 2 * connectionsPerS, std::ref(feed), [&] {
        device.IssueRead(readBuffer, sizeof readBuffer);
        for (uint32_t done = 0; done < records;) {
            if (readDone.Wait(60000) != bx::sync::kWaitObject0) break;
            uint32_t transferred = 0;
            if (device.ReadResult(transferred) == 996) continue;  // not completed
            handed.store(++done);
            toDispatcher.Set();
            device.IssueRead(readBuffer, sizeof readBuffer);
        }
    });
    dispatcher.join();
    const double waitBefore = ThreadCpuSeconds();
    const bool reached = peer.WaitFor(base + records);
    for (int i = 0; i < 2000 && answers.load() < records; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double waitCpu = ThreadCpuSeconds() - waitBefore;
    stopListener = true;
    listener.join();
    const double cpu = ProcessCpuSeconds() - before - fed.cpuSeconds - waitCpu;
    device.CancelRead(0);

    run.cpuUsPerConnection = cpu * 1e6 / connections;
    run.offeredPerS = fed.perSecond / 2;
    run.refused = feed.Refused();
    run.bufferDrops = ReceiveBufferErrors() - dropsBefore;
    run.incomplete = CountProblem(peer.Notifications() - base, records, reached);
    if (run.incomplete.empty() && answers.load() != records)
        run.incomplete = std::to_string(records - answers.load()) + " datagrams were not acknowledged";
    if (run.incomplete.empty()) run.incomplete = feed.Match(peer.TakeArrivals(), run.latencyUs);
    return run;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

std::string RateText(double rate) { return std::to_string(static_cast<int>(rate)); }

// ---- Cost and latency at each load ------------------------------------------

void BM_CostAndLatency(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    const double seconds = Seconds("BX_COST_SECONDS", 4);
    // For a profile: BX_COST_RATES (one or more rates, comma-separated) and
    // BX_COST_REPETITIONS instead of the figures' own; BX_COST_ONLY=agent
    // (or floor) runs only that.
    std::vector<double> rates(std::begin(kRates), std::end(kRates));
    if (const char* text = std::getenv("BX_COST_RATES")) {
        rates.clear();
        for (const char* at = text; *at; ++at)
            if (at == text || at[-1] == ',') rates.push_back(std::atof(at));
    }
    const int repetitions = static_cast<int>(Seconds("BX_COST_REPETITIONS", kRepetitions));
    const std::string only = std::getenv("BX_COST_ONLY") ? std::getenv("BX_COST_ONLY") : "";
    double worstRatio = 0;
    bool everyRatio = true;
    for (auto _ : state) {
        for (const double rate : rates) {
            const std::string at = "_at_" + RateText(rate);
            std::vector<double> agentCpu, floorCpu, floorP99;
            std::vector<double> percentiles[3];
            std::string agentProblem, floorProblem;
            for (int rep = 0; rep < repetitions; ++rep) {
                for (const bool isAgent : {true, false}) {
                    if (!only.empty() && only != (isAgent ? "agent" : "floor")) continue;
                    const std::string loadBefore = LoadAverage();
                    const Run run = isAgent ? AgentRun(peer, rate, seconds) : FloorRun(peer, rate, seconds);
                    Note("%s at %d connections/s, run %d: %.1f us/connection, offered %.0f/s, %llu refused, "
                         "%llu dropped by a full receive buffer, p99 %.0f us, load average %s -> %s%s%s",
                         isAgent ? "agent" : "floor", static_cast<int>(rate), rep + 1, run.cpuUsPerConnection,
                         run.offeredPerS, static_cast<unsigned long long>(run.refused),
                         static_cast<unsigned long long>(run.bufferDrops),
                         Percentile(run.latencyUs, 0.99), loadBefore.c_str(), LoadAverage().c_str(),
                         run.incomplete.empty() ? "" : ": INCOMPLETE, ", run.incomplete.c_str());
                    std::string& problem = isAgent ? agentProblem : floorProblem;
                    if (!run.incomplete.empty()) {
                        if (problem.empty()) problem = run.incomplete;
                        continue;
                    }
                    if (isAgent) {
                        agentCpu.push_back(run.cpuUsPerConnection);
                        percentiles[0].push_back(Percentile(run.latencyUs, 0.50));
                        percentiles[1].push_back(Percentile(run.latencyUs, 0.99));
                        percentiles[2].push_back(Percentile(run.latencyUs, 0.999));
                    } else {
                        floorCpu.push_back(run.cpuUsPerConnection);
                        floorP99.push_back(Percentile(run.latencyUs, 0.99));
                    }
                }
            }
            if (agentProblem.empty()) {
                state.counters["agent_us" + at] = Median(agentCpu);
                state.counters["p50" + at] = Median(percentiles[0]);
                state.counters["p99" + at] = Median(percentiles[1]);
                state.counters["p999" + at] = Median(percentiles[2]);
            } else {
                Note("agent figures at %d connections/s not printed: %s", static_cast<int>(rate), agentProblem.c_str());
            }
            if (floorProblem.empty()) {
                state.counters["floor_us" + at] = Median(floorCpu);
                state.counters["floor_p99" + at] = Median(floorP99);
            } else {
                Note("floor figures at %d connections/s not printed: %s", static_cast<int>(rate), floorProblem.c_str());
            }
            if (agentProblem.empty() && floorProblem.empty() && !agentCpu.empty() && !floorCpu.empty())
                worstRatio = std::max(worstRatio, Median(agentCpu) / Median(floorCpu));
            else
                everyRatio = false;
        }
        state.SetIterationTime(1);
    }
    if (everyRatio) state.counters["agent_over_floor_max"] = worstRatio;
}
BENCHMARK(BM_CostAndLatency)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- The highest lossless rate ------------------------------------------------

// The highest rate at which `lossless(rate)` holds. From `start` the rate goes
// up by half again while it holds (up to `ceiling`), or down by a third until
// it does; then the gap between the highest rate that held and the lowest that
// did not is halved three times (geometrically). A rate that loses is tried
// once more before it counts as lossy: on a shared machine a burst of another
// program's work can cost one run its datagrams. 0 when nothing down to
// start / 16 holds.
double HighestLosslessRate(double start, double ceiling, const std::function<bool(double)>& lossless) {
    const auto holds = [&](double rate) { return lossless(rate) || lossless(rate); };
    double good = 0, bad = 0;
    if (holds(start)) {
        good = start;
        for (double rate = start * 1.5; rate <= ceiling; rate *= 1.5) {
            if (!holds(rate)) {
                bad = rate;
                break;
            }
            good = rate;
        }
        if (bad == 0) return good;
    } else {
        bad = start;
        double rate = start / 1.5;
        while (!holds(rate)) {
            bad = rate;
            rate /= 1.5;
            if (rate < start / 16) return 0;
        }
        good = rate;
    }
    for (int i = 0; i < 3; ++i) {
        const double middle = std::sqrt(good * bad);
        (holds(middle) ? good : bad) = middle;
    }
    return good;
}

void BM_AgentLossless(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    const double seconds = Seconds("BX_LOSSLESS_SECONDS", 2);
    double best = 0;
    for (auto _ : state) {
        best = HighestLosslessRate(20000, 200000, [&](double rate) {
            const std::string loadBefore = LoadAverage();
            const Run run = AgentRun(peer, rate, seconds, kLosslessBatchUs);
            const bool paced = run.offeredPerS >= 0.97 * rate;
            const bool lossless = run.incomplete.empty() && run.refused == 0 && paced;
            Note("agent at %d connections/s offered (%.0f reached): %s%s%s%s, load average %s -> %s",
                 static_cast<int>(rate), run.offeredPerS, lossless ? "nothing lost" : "LOST",
                 run.refused ? (", " + std::to_string(run.refused) + " refused by the device").c_str() : "",
                 run.bufferDrops ? (", " + std::to_string(run.bufferDrops) + " dropped by a full receive buffer").c_str()
                                 : "",
                 run.incomplete.empty() ? (paced ? "" : ", the feeder fell behind") : (", " + run.incomplete).c_str(),
                 loadBefore.c_str(), LoadAverage().c_str());
            return lossless;
        });
        state.SetIterationTime(1);
    }
    if (best > 0) {
        state.counters["connections_per_s"] = best;
        state.counters["records_per_s"] = 2 * best;
    } else {
        Note("max_lossless_connections_per_s not printed: notifications were lost at every rate tried");
    }
}
BENCHMARK(BM_AgentLossless)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- The raw baseline ---------------------------------------------------------

void BM_RawSendto(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    bx::net::UdpSocket socket;  // sends and takes the acknowledgements, as the agent's port does
    if (socket.Create() != 0 || socket.SetReceiveTimeout(100) != 0 ||
        socket.SetReceiveBuffer(kListenerReceiveBuffer) != 0 || socket.Bind(bx::net::kAnyAddress, peer.Port())) {
        state.SkipWithError("no socket at the agent's port");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        uint8_t buffer[1024];
        size_t n;
        uint32_t from;
        uint16_t fromPort;
        while (!stop.load()) socket.ReceiveFrom(buffer, sizeof buffer, n, from, fromPort);
    });
    const double seconds = Seconds("BX_LOSSLESS_SECONDS", 2) / 2;
    Datagrams datagrams;
    double best = 0;
    for (auto _ : state) {
        best = HighestLosslessRate(40000, 1000000, [&](double rate) {
            const uint32_t count = static_cast<uint32_t>(rate * seconds);
            const uint32_t first = nextConnection;
            nextConnection += count / 2 + 1;
            const uint64_t base = peer.Notifications();
            const Fed fed = FeedPaced(
                count, rate,
                [&](uint32_t i) {
                    const std::vector<uint8_t>& d = datagrams.Of(first, i);
                    socket.SendTo(d.data(), d.size(), peer.PeerAddress(), peer.Port());
                },
                [] {}, kLosslessBatchUs);
            const bool counted = peer.WaitFor(base + count) && peer.Notifications() - base == count;
            const bool lossless = counted && fed.perSecond >= 0.97 * rate;
            Note("raw sendto at %d records/s offered (%.0f reached): %s", static_cast<int>(rate), fed.perSecond,
                 lossless ? "nothing lost" : counted ? "the sender fell behind" : "LOST");
            return lossless;
        });
        state.SetIterationTime(1);
    }
    stop = true;
    drain.join();
    if (best > 0) state.counters["records_per_s"] = best;
}
BENCHMARK(BM_RawSendto)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The figures of every load.
int DeclareRateFigures() {
    for (const double rate : kRates) {
        const std::string r = RateText(rate);
        const std::string at = "_at_" + r;
        const char* p99Target = rate == 5000 ? "<= 250 us" : rate == 20000 ? "<= 1000 us" : "none";
        Figure("notify_latency_us_p50" + at, "BM_CostAndLatency", "us", "none", "p50" + at);
        Figure("notify_latency_us_p99" + at, "BM_CostAndLatency", "us", p99Target, "p99" + at);
        Figure("notify_latency_us_p999" + at, "BM_CostAndLatency", "us", "none", "p999" + at);
        Figure("agent_cpu_us_per_connection" + at, "BM_CostAndLatency", "us", rate == 20000 ? "<= 15 us" : "none",
               "agent_us" + at);
        Figure("thread_structure_floor_cpu_us_per_connection" + at, "BM_CostAndLatency", "us",
               "none; the hand-offs and UDP round trips alone", "floor_us" + at);
        Figure("thread_structure_floor_latency_us_p99" + at, "BM_CostAndLatency", "us",
               "none; the hand-offs alone", "floor_p99" + at);
    }
    return 0;
}

}  // namespace

BX_FIGURE(DeclareRateFigures());
BX_FIGURE(bx::bench::Figure("agent_over_floor_max", "BM_CostAndLatency", "x", "<= 1.10x", "agent_over_floor_max"));
BX_FIGURE(bx::bench::Figure("max_lossless_connections_per_s", "BM_AgentLossless", "connections/s", ">= 20000",
                            "connections_per_s"));
BX_FIGURE(bx::bench::Figure("utm_count_records_per_s", "BM_RawSendto", "records/s",
                            "above the agent's 2 x max_lossless_connections_per_s", "records_per_s"));
BX_FIGURE(bx::bench::Ratio("e2e_native_vs_raw_sendto", "BM_AgentLossless", "BM_RawSendto", ">= 0.5x",
                           "records_per_s"));
