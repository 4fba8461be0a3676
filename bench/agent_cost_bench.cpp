// What the agent costs, natively and in one process, against the counting
// appliance peer (sim/utm --count-only, in a network namespace of
// tests/e2e/peer.sh), which checks, acknowledges and counts without printing:
//
//   e2e_native_max_records_per_s  records from the in-process device through
//       the Snooper and the connection manager to the peer, fed as fast as the
//       device takes them, in bursts below the send queue's capacity; the
//       clock runs until the peer has counted the last notification. When the
//       peer counts fewer than were fed, the burst is fed again at a paced
//       lower rate: the figure is the highest rate at which nothing was lost.
//   utm_count_records_per_s       the same numbers of datagrams of the agent's
//       clear sizes (an open of 67 bytes, a close of 53) sent by a raw sendto
//       loop on the agent's socket layer to the same peer, acknowledgements
//       drained by a thread as the agent's listener does: the baseline, and
//       the proof that the peer is not what bounds the agent's figure.
//   e2e_native_vs_raw_sendto      the ratio of the two.
//   agent_cpu_us_per_connection   the agent's CPU time (every thread of the
//       process, user and system, less the feeder that stands in for the
//       driver and the bench's own waiting) per connection, one open and one
//       clean-up, both acknowledged, at an offered load of 2000 connections/s
//       for BX_COST_SECONDS seconds (default 10).
//   thread_structure_floor_cpu_us_per_connection   the same offered load
//       through the agent's thread structure doing no agent work (below):
//       what bounds the figure above on this machine.
//
// Run by scripts/bench.d/agent_cost, beside the figures of the real service
// under Wine. Needs root (the namespace); without it the figures are
// reported as not measured.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/appliance/status_file.h"
#include "agent/settings/settings_reader.h"
#include "agent/snoop/snoop_device_inprocess.h"
#include "agent/snoop/snooper.h"
#include "bench/agent_feed.h"
#include "bench/figures.h"
#include "platform/event.h"
#include "platform/posix/account_table.h"
#include "platform/settings_store.h"
#include "platform/udp_socket.h"
#include "sim/utm/wire.h"

namespace {

using namespace bx::bench;

using Clock = std::chrono::steady_clock;

// A burst: below the send queue's capacity (50000) and the pool's high mark.
constexpr uint32_t kBurstRecords = 40000;
constexpr double kConnectionsPerSecond = 2000;
const wchar_t kUserSid[] = L"S-1-5-21-100-200-300-1001";
const char kKey[] = "0123456789ABCDEF";
const char kReceiveBuffer[] = "67108864";  // the peer's: a whole burst fits

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The peer's network namespace and the counting peer in it; undone on
// destruction.
class CountingPeer {
public:
    CountingPeer() : dir_(BX_COST_BENCH_DIR), script_(BX_PEER_SCRIPT) {
        std::system(Quiet(script_ + " up " + dir_).c_str());
        skip_ = ReadWhole(dir_ + "/skip");
        const std::string env = ReadWhole(dir_ + "/net.env");
        if (skip_.empty() && env.empty()) skip_ = "no peer network";
        if (!skip_.empty()) return;
        peerIp_ = EnvValue(env, "PEER_IP");
        port_ = FreeUdpPort();
        std::system(Quiet(script_ + " start " + dir_ + " counter " + BX_UTM_PROGRAM + " --count-only --listen " +
                          peerIp_ + ":" + std::to_string(port_) + " --key " + kKey + " --receive-buffer " +
                          kReceiveBuffer)
                        .c_str());
        if (ReadWhole(dir_ + "/counter.started").empty()) skip_ = "the counting peer did not start";
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
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t lastLine = chunk.rfind('\n');
        if (lastLine == std::string::npos) return count_;
        chunk.resize(lastLine + 1);
        offset_ += chunk.size();
        const size_t at = chunk.rfind(" notifications=");
        if (at != std::string::npos) count_ = std::strtoull(chunk.c_str() + at + 15, nullptr, 10);
        return count_;
    }

    // Waits until the peer has counted `expected` notifications, or until its
    // count has not moved for two seconds; returns when it got there.
    Clock::time_point WaitFor(uint64_t expected, bool& reached) {
        uint64_t last = Notifications();
        auto lastMove = Clock::now();
        for (;;) {
            const uint64_t now = Notifications();
            if (now >= expected) {
                reached = true;
                return Clock::now();
            }
            if (now != last) {
                last = now;
                lastMove = Clock::now();
            } else if (Clock::now() - lastMove > std::chrono::seconds(2)) {
                reached = false;
                return Clock::now();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

private:
    std::string dir_, script_, skip_, peerIp_;
    uint16_t port_ = 0;
    uint64_t offset_ = 0;
    uint64_t count_ = 0;
};

// Feeds `count` records at `perSecond` (0: as fast as they are taken).
template <typename Send>
void Paced(uint32_t count, double perSecond, Send send) {
    const auto start = Clock::now();
    for (uint32_t i = 0; i < count; ++i) {
        if (perSecond > 0)
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i / perSecond)));
        send(i);
    }
}

// ---- The raw baseline -------------------------------------------------------

void BM_RawSendto(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    // The agent's clear datagrams of one connection (the session known).
    utm::Builder open(utm::kNotification, 0);
    open.U8(utm::kTlvProtOp, 0x01).U16(utm::kTlvPort, 40000).U8(utm::kTlvNumIps, 1).U32(utm::kTlvIp, 0x0A010000);
    open.U32(utm::kTlvDestIp, 0x5DB8D822).U16(utm::kTlvDestPort, 443).Session(0, 2);
    utm::Builder close(utm::kNotification, 0);
    close.U8(utm::kTlvProtOp, 0x11).U16(utm::kTlvPort, 40000).U8(utm::kTlvNumIps, 1).U32(utm::kTlvIp, 0x0A010000);
    close.Session(0, 2);
    std::vector<uint8_t> datagrams[2] = {open.Clear(), close.Clear()};

    bx::net::UdpSocket socket;  // sends and takes the acknowledgements, as the agent's port does
    if (socket.Create() != 0 || socket.SetReceiveTimeout(100) != 0 || socket.Bind(bx::net::kAnyAddress, peer.Port())) {
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

    uint64_t expected = 0;
    uint32_t requestId = 1;
    double rate = 0;  // unpaced first
    for (auto _ : state) {
        double seconds = 0;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const uint64_t base = peer.Notifications();
            const auto start = Clock::now();
            Paced(kBurstRecords, rate, [&](uint32_t i) {
                std::vector<uint8_t>& d = datagrams[i % 2];
                const uint32_t id = requestId++;
                for (int b = 0; b < 4; ++b) d[12 + b] = static_cast<uint8_t>(id >> (24 - 8 * b));
                socket.SendTo(d.data(), d.size(), peer.PeerAddress(), peer.Port());
            });
            bool reached = false;
            const auto end = peer.WaitFor(base + kBurstRecords, reached);
            seconds = std::chrono::duration<double>(end - start).count();
            if (reached) break;
            // Lost at the peer: again, at a lower rate than was reached.
            rate = 0.7 * static_cast<double>(peer.Notifications() - base) / seconds;
            seconds = 0;
        }
        if (seconds == 0) {
            state.SkipWithError("the peer lost datagrams at every rate tried");
            break;
        }
        expected += kBurstRecords;
        state.SetIterationTime(seconds);
    }
    stop = true;
    drain.join();
    state.SetItemsProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_RawSendto)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- The agent in one process -----------------------------------------------

// The Snooper and its connection manager, with the service thread's loop on
// the calling thread and a feeder thread standing in for the driver.
class InProcessAgent {
public:
    explicit InProcessAgent(const CountingPeer& peer) : sid_(CSid::FromString(kUserSid)) {
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

    // Feeds `count` records (open, clean-up, open, ...) at `perSecond` records
    // per second (0: as fast as the device takes them) and handles each on
    // this thread as the service loop does. Returns the feeder's CPU seconds.
    double Run(uint32_t count, double perSecond) {
        double feederCpu = 0;
        std::thread feeder([&] {
            Paced(count, perSecond, [&](uint32_t i) {
                const snoop_event_t record = Record(i / 2, i % 2 == 0, sid_);
                while (bx::snoopdev::InjectSnoopRecord(record) != 0) std::this_thread::yield();
            });
            feederCpu = ThreadCpuSeconds();
        });
        for (uint32_t i = 0; i < count; ++i) {
            if (readDone_.Wait(60000) != bx::sync::kWaitObject0) break;
            snooper_->HandleEvent();
            snooper_->ReadSnoopEvents();
        }
        feeder.join();
        return feederCpu;
    }

    int32_t Counter(bx::StatusCounter which) {
        bx::StatisticsSnapshot s;
        snooper_->ConnectionManager().GetStatistics(s);
        return s.counters[which];
    }

private:
    CSid sid_;
    bx::sync::Event readDone_;
    std::unique_ptr<Snooper> snooper_;
    bool started_ = false;
};

void BM_AgentMax(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    InProcessAgent agent(peer);
    if (!agent.Started()) {
        state.SkipWithError("the snooper did not start");
        return;
    }
    uint64_t expected = 0;
    double rate = 0;  // unpaced first
    for (auto _ : state) {
        double seconds = 0;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const uint64_t base = peer.Notifications();
            const auto start = Clock::now();
            agent.Run(kBurstRecords, rate);
            bool reached = false;
            const auto end = peer.WaitFor(base + kBurstRecords, reached);
            seconds = std::chrono::duration<double>(end - start).count();
            if (reached) break;
            rate = 0.7 * static_cast<double>(peer.Notifications() - base) / seconds;
            seconds = 0;
        }
        if (seconds == 0) {
            state.SkipWithError("notifications were lost at every rate tried");
            break;
        }
        expected += kBurstRecords;
        state.SetIterationTime(seconds);
    }
    state.counters["queue_dropped"] = agent.Counter(bx::kQueueDropped);
    state.counters["paced_rate"] = rate;
    state.SetItemsProcessed(static_cast<int64_t>(expected));
}
BENCHMARK(BM_AgentMax)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

double CostSeconds() {
    const char* text = std::getenv("BX_COST_SECONDS");
    const double s = text ? std::atof(text) : 10;
    return s > 0 ? s : 10;
}

void BM_AgentCpu(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    InProcessAgent agent(peer);
    if (!agent.Started()) {
        state.SkipWithError("the snooper did not start");
        return;
    }
    // Let the reset request go and its start-up settle before the clock runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint32_t connections = static_cast<uint32_t>(kConnectionsPerSecond * CostSeconds());
    const uint32_t records = 2 * connections;
    double cpuPerConnection = -1;
    for (auto _ : state) {
        const uint64_t base = peer.Notifications();
        const double processBefore = ProcessCpuSeconds();
        const double feederCpu = agent.Run(records, 2 * kConnectionsPerSecond);
        // Until the peer has every notification and the agent every answer.
        const double waitBefore = ThreadCpuSeconds();
        bool reached = false;
        peer.WaitFor(base + records, reached);
        for (int i = 0; i < 2000 && agent.Counter(bx::kRequestTableCount) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double waitCpu = ThreadCpuSeconds() - waitBefore;
        const double agentCpu = ProcessCpuSeconds() - processBefore - feederCpu - waitCpu;
        if (!reached || agent.Counter(bx::kRequestTableCount) != 0) {
            state.SkipWithError("not every connection was acknowledged");
            return;
        }
        cpuPerConnection = agentCpu * 1e6 / connections;
        state.SetIterationTime(agentCpu);
    }
    state.counters["us_per_connection"] = cpuPerConnection;
    state.counters["connections"] = connections;
}
BENCHMARK(BM_AgentCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// The floor under agent_cpu_us_per_connection on this machine: the agent's
// thread structure with no agent work. A feeder (not counted) hands each
// record to a "service" thread through an event at the same offered load;
// that thread hands it to a "dispatcher" thread through a second event, which
// sends a datagram of the agent's size to the counting peer; a "listener"
// thread receives the peer's acknowledgement. The CPU time of the three per
// connection (two records, two acknowledgements) is what the hand-offs and
// the UDP round trip cost here before the agent does anything.
void BM_ThreadStructureFloor(benchmark::State& state) {
    CountingPeer peer;
    if (!peer.Skip().empty()) {
        state.SkipWithError(peer.Skip().c_str());
        return;
    }
    bx::net::UdpSocket socket;
    if (socket.Create() != 0 || socket.SetReceiveTimeout(100) != 0 || socket.Bind(bx::net::kAnyAddress, peer.Port())) {
        state.SkipWithError("no socket at the agent's port");
        return;
    }
    utm::Builder open(utm::kNotification, 1);
    open.U8(utm::kTlvProtOp, 0x01).U16(utm::kTlvPort, 40000).U8(utm::kTlvNumIps, 1).U32(utm::kTlvIp, 0x0A010000);
    open.U32(utm::kTlvDestIp, 0x5DB8D822).U16(utm::kTlvDestPort, 443).Session(0, 2);
    const std::vector<uint8_t> datagram = open.Clear();

    const uint32_t connections = static_cast<uint32_t>(kConnectionsPerSecond * CostSeconds());
    const uint32_t records = 2 * connections;
    bx::sync::Event toService, toDispatcher, stop;
    toService.Create(bx::sync::ResetMode::Auto);
    toDispatcher.Create(bx::sync::ResetMode::Auto);
    stop.Create(bx::sync::ResetMode::Manual);
    std::atomic<uint32_t> fed{0}, handed{0};
    double cpuPerConnection = -1;
    for (auto _ : state) {
        const double processBefore = ProcessCpuSeconds();
        std::thread listener([&] {
            uint8_t buffer[1024];
            size_t n;
            uint32_t from;
            uint16_t fromPort;
            for (uint32_t got = 0; got < records && stop.Wait(0) != bx::sync::kWaitObject0;)
                if (socket.ReceiveFrom(buffer, sizeof buffer, n, from, fromPort) == 0) ++got;
        });
        std::thread dispatcher([&] {
            for (uint32_t sent = 0; sent < records;) {
                if (bx::sync::WaitAny(stop, toDispatcher, 5000) != bx::sync::kWaitObject1) break;
                for (const uint32_t until = handed.load(); sent < until; ++sent)
                    socket.SendTo(datagram.data(), datagram.size(), peer.PeerAddress(), peer.Port());
            }
        });
        std::thread service([&] {
            for (uint32_t done = 0; done < records;) {
                if (bx::sync::WaitAny(stop, toService, 5000) != bx::sync::kWaitObject1) break;
                done = fed.load();
                handed.store(done);
                toDispatcher.Set();
            }
        });
        double feederCpu = 0;
        std::thread feeder([&] {
            Paced(records, 2 * kConnectionsPerSecond, [&](uint32_t i) {
                fed.store(i + 1);
                toService.Set();
            });
            feederCpu = ThreadCpuSeconds();
        });
        feeder.join();
        service.join();
        dispatcher.join();
        const double waitBefore = ThreadCpuSeconds();
        bool reached = false;
        peer.WaitFor(records, reached);
        const double waitCpu = ThreadCpuSeconds() - waitBefore;
        stop.Set();
        listener.join();
        const double cpu = ProcessCpuSeconds() - processBefore - feederCpu - waitCpu;
        cpuPerConnection = cpu * 1e6 / connections;
        state.SetIterationTime(cpu);
    }
    state.counters["us_per_connection"] = cpuPerConnection;
}
BENCHMARK(BM_ThreadStructureFloor)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BX_FIGURE(bx::bench::Figure("e2e_native_max_records_per_s", "BM_AgentMax", "records/s", ">= 0.5x raw sendto"));
BX_FIGURE(bx::bench::Figure("utm_count_records_per_s", "BM_RawSendto", "records/s",
                            "above e2e_native_max_records_per_s"));
BX_FIGURE(bx::bench::Ratio("e2e_native_vs_raw_sendto", "BM_AgentMax", "BM_RawSendto", ">= 0.5x"));
BX_FIGURE(bx::bench::Figure("agent_cpu_us_per_connection", "BM_AgentCpu", "us", "<= 10 us", "us_per_connection"));
BX_FIGURE(bx::bench::Figure("thread_structure_floor_cpu_us_per_connection", "BM_ThreadStructureFloor", "us",
                            "none; what the hand-offs and the UDP round trip cost here", "us_per_connection"));
