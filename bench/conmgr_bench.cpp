// The connection manager's send path over a veth pair: records enqueued by a
// producer until the appliance peer has received them, against a raw sendto
// loop of datagrams of the same size on the same path; the time from enqueue
// to receipt at the peer; and the memory of one notification waiting in the
// request table.
//
// The agent binds the wildcard address at the appliance's port, which no
// other socket of the host may share: the peer is a socket of a network
// namespace of the bench's own (tests/support/posix/test_network.h, root),
// at the same port, reached over a veth pair. The peer answers
// open notifications with an acknowledgement, as an appliance does, so the
// request table stays small. The session is one the appliance already knows,
// so notifications go in clear without names: the steady state of a server.
// Throughput is measured with close notifications (sent, not tracked), which
// the peer only receives, exactly as it receives the raw loop's datagrams;
// latency with open ones, acknowledged one by one.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "agent/appliance/conn_cache_mgr.h"
#include "agent/appliance/hash_map2.h"
#include "agent/protocol/wire.h"
#include "agent/records/buffer_pool.h"
#include "agent/settings/settings_reader.h"
#include "bench/figures.h"
#include "platform/posix/account_table.h"
#include "platform/settings_store.h"
#include "tests/support/posix/test_network.h"

namespace {

namespace wire = bx::wire;
constexpr uint32_t kSession = 3;
constexpr int kBatch = 1000;  // records per iteration, far below the queue's capacity
constexpr auto kLossTimeout = std::chrono::seconds(2);

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint16_t NetworkOrder(uint16_t port) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t stored;
    std::memcpy(&stored, bytes, 2);
    return stored;
}

sockaddr_in Address(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    in.sin_port = htons(port);
    return in;
}

void SetSetting(const wchar_t* name, uint32_t value) {
    bx::settings::Key key;
    bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key);
    key.SetValue(name, bx::settings::kTypeDword, &value, 4);
}

void SetSetting(const wchar_t* name, const std::wstring& text) {
    bx::settings::Key key;
    bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key);
    const std::vector<uint8_t> bytes = bx::StoredBytesFromText(text);
    key.SetValue(name, bx::settings::kTypeString, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// The appliance peer: receives, stamps the receipt of each notification by
// its local port (a tag the producer chose), and acknowledges it.
class Peer {
public:
    // Opens the peer's socket at `peer`:`port` on the calling thread (one that
    // has entered the namespace); it answers the agent at `agent`:`port`.
    bool Open(uint32_t peer, uint32_t agent, uint16_t port) {
        port_ = port;
        agent_ = agent;
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 8 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const sockaddr_in self = Address(peer, port);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) return false;
        thread_ = std::thread([this] { Run(); });
        return true;
    }
    ~Peer() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

    uint64_t Received() const { return received_.load(std::memory_order_acquire); }
    int64_t ReceivedAt(uint16_t tag) const { return stamps_[tag].load(std::memory_order_acquire); }

private:
    void Run() {
        uint8_t datagram[2048];
        uint8_t ack[wire::kIvAndHeaderSize + 4 + wire::kLenSessionId] = {};
        ack[wire::kOffsetVersion] = wire::kVersion;
        ack[wire::kOffsetMessageType] = wire::kMsgResponse;
        wire::Put16(ack + wire::kOffsetLength, 4 + wire::kLenSessionId);
        wire::Put32(ack + wire::kOffsetSignature, wire::kSignature);
        wire::Put16(ack + wire::kOffsetTlvArea, wire::kTlvSessionId);
        wire::Put16(ack + wire::kOffsetTlvArea + 2, wire::kLenSessionId);
        wire::Put32(ack + wire::kOffsetTlvArea + 5, kSession);
        const sockaddr_in agent = Address(agent_, port_);
        while (running_) {
            const ssize_t n = recv(fd_, datagram, sizeof datagram, 0);
            if (n < static_cast<ssize_t>(wire::kIvAndHeaderSize)) continue;
            const int64_t at = NowNs();
            // Clear notifications: find the Port TLV, the producer's tag.
            const size_t end = std::min<size_t>(static_cast<size_t>(n),
                                                wire::kIvAndHeaderSize + wire::Get16(datagram + wire::kOffsetLength));
            bool open = false;
            for (size_t p = wire::kIvAndHeaderSize; p + 4 <= end;) {
                const uint16_t type = wire::Get16(datagram + p);
                const uint16_t length = wire::Get16(datagram + p + 2);
                if (p + 4 + length > end) break;
                if (type == wire::kTlvProtOp && length == 1)
                    open = wire::OperationOf(datagram[p + 4]) == wire::kOperationOpen;
                if (type == wire::kTlvPort && length == 2)
                    stamps_[wire::Get16(datagram + p + 4)].store(at, std::memory_order_release);
                p += 4u + length;
            }
            received_.fetch_add(1, std::memory_order_acq_rel);
            // Open notifications wait for an answer in the agent's request
            // table: acknowledge them, as an appliance does.
            if (open) {
                std::memcpy(ack + wire::kOffsetRequestId, datagram + wire::kOffsetRequestId, 4);
                sendto(fd_, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&agent), sizeof agent);
            }
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    uint32_t agent_ = 0;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> received_{0};
    std::unique_ptr<std::atomic<int64_t>[]> stamps_ { new std::atomic<int64_t>[ 65536 ]() };
    std::thread thread_;
};

// The agent side: a started manager whose appliance is the peer above.
struct Rig {
    Rig() {
        uint16_t port = 0;
        {
            const int probe = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in any = Address(0, 0);
            socklen_t length = sizeof any;
            bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any);
            getsockname(probe, reinterpret_cast<sockaddr*>(&any), &length);
            port = ntohs(any.sin_port);
            close(probe);
        }
        ok = network.Create(why);
        if (!ok) return;
        const std::string peerText = bx::test::QuadText(network.PeerAddress());
        SetSetting(L"ip", std::wstring(peerText.begin(), peerText.end()));
        SetSetting(L"port", static_cast<uint32_t>(port));
        SetSetting(L"key", std::wstring(L"0123456789ABCDEF"));
        SetSetting(L"verbose", 0u);
        bx::accounts::Account alice;
        alice.name = L"alice";
        alice.domain = L"CORP";
        alice.type = bx::accounts::SidType::User;
        bx::accounts::SetTableAccount(L"S-1-5-21-1-2-3-1001", alice);
        sid = CSid::FromString(L"S-1-5-21-1-2-3-1001");

        pool.Create();
        manager = std::make_unique<CConnectionCacheMgr>(pool, sessions);
        manager->Start();
        bool opened = false;
        ok = network.InNamespace([&] { opened = peer.Open(network.PeerAddress(), network.HostAddress(), port); }) &&
             opened;
        if (!ok) why = "the peer's socket could not be bound in the namespace";
        raw = socket(AF_INET, SOCK_DGRAM, 0);
        peerAddress = Address(network.PeerAddress(), port);
        // Let the reset request go out, then make the session one the
        // appliance knows.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        manager->Users().Update(kSession, L"alice", L"CORP", sid);
        manager->Users().MarkKnown(kSession);
    }
    ~Rig() {
        if (manager) manager->Stop();
        manager.reset();
        if (raw >= 0) close(raw);
    }

    send_data_t* Connection(uint16_t tag, uint32_t operation = bx::kOperationOpen) {
        void* storage = pool.Allocate();
        if (!storage) return nullptr;
        send_data_t* r = CBufferPool::Prepare(storage);
        r->kind = bx::kKindConnection;
        r->operation = operation;
        r->protocol = bx::kProtocolTcp;
        r->local_ip = 0x7F000001u;
        r->local_port = NetworkOrder(tag);
        r->remote_ip = 0x7F000009u;
        r->remote_port = NetworkOrder(443);
        r->session_id = kSession;
        r->sid = sid;
        return r;
    }

    // Waits until the peer has received `target` datagrams in all.
    bool WaitReceived(uint64_t target) {
        const auto deadline = std::chrono::steady_clock::now() + kLossTimeout;
        while (peer.Received() < target) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        return true;
    }

    bx::test::TestNetwork network;  // destroyed last: the peer's socket lives in it
    std::string why;
    CBufferPool pool;
    SessionMap sessions;
    CSid sid;
    std::unique_ptr<CConnectionCacheMgr> manager;
    Peer peer;
    int raw = -1;
    sockaddr_in peerAddress{};
    bool ok = false;
};

Rig& TheRig() {
    static Rig rig;
    return rig;
}

// The clear notification the dispatcher sends for one of the rig's records:
// the raw loop sends datagrams of exactly this size.
std::vector<uint8_t> SampleDatagram() {
    std::vector<uint8_t> d(wire::kIvAndHeaderSize, 0);
    auto tlv = [&](uint16_t type, std::vector<uint8_t> value) {
        uint8_t head[4];
        wire::Put16(head, type);
        wire::Put16(head + 2, static_cast<uint16_t>(value.size()));
        d.insert(d.end(), head, head + 4);
        d.insert(d.end(), value.begin(), value.end());
    };
    tlv(wire::kTlvProtOp, {0x11});  // close, TCP
    tlv(wire::kTlvPort, {0x04, 0x00});
    tlv(wire::kTlvNumIps, {1});
    tlv(wire::kTlvIp, {127, 0, 0, 1});
    tlv(wire::kTlvDestIp, {127, 0, 0, 9});
    tlv(wire::kTlvDestPort, {0x01, 0xBB});
    tlv(wire::kTlvSessionId, {0, 0, 0, 0, kSession});
    d[wire::kOffsetVersion] = wire::kVersion;
    wire::Put16(&d[wire::kOffsetLength], static_cast<uint16_t>(d.size() - wire::kIvAndHeaderSize));
    wire::Put32(&d[wire::kOffsetSignature], wire::kSignature);
    return d;
}

void BM_ConMgrEnqueueToPeer(benchmark::State& state) {
    Rig& rig = TheRig();
    if (!rig.ok) {
        state.SkipWithError(("no appliance peer: " + rig.why).c_str());
        return;
    }
    uint16_t tag = 1024;
    for (auto _ : state) {
        const uint64_t target = rig.peer.Received() + kBatch;
        for (int i = 0; i < kBatch; ++i) {
            send_data_t* r = rig.Connection(tag, bx::kOperationClose);
            tag = static_cast<uint16_t>(tag == 65000 ? 1024 : tag + 1);
            if (!r || rig.manager->Enqueue(r, false) != 0) {
                state.SkipWithError("no record to be had");
                return;
            }
        }
        if (!rig.WaitReceived(target)) {  // yields while it waits
            state.SkipWithError("datagrams were lost below the queue's capacity");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    bx::StatisticsSnapshot s;
    rig.manager->GetStatistics(s);
    state.counters["dropped"] = s.counters[bx::kQueueDropped];
}

void BM_RawSendto(benchmark::State& state) {
    Rig& rig = TheRig();
    if (!rig.ok) {
        state.SkipWithError(("no appliance peer: " + rig.why).c_str());
        return;
    }
    std::vector<uint8_t> datagram = SampleDatagram();
    uint64_t received = 0;
    for (auto _ : state) {
        const uint64_t before = rig.peer.Received();
        for (int i = 0; i < kBatch; ++i)
            sendto(rig.raw, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&rig.peerAddress),
                   sizeof rig.peerAddress);
        rig.WaitReceived(before + kBatch);
        received += rig.peer.Received() - before;
    }
    state.SetItemsProcessed(static_cast<int64_t>(received));
}

// Latency samples from handing one datagram over (by `send`) to its receipt
// at the peer, one at a time; p50, p90, p99 and the maximum in microseconds.
template <typename Send>
void MeasureLatency(benchmark::State& state, Send send) {
    Rig& rig = TheRig();
    if (!rig.ok) {
        state.SkipWithError(("no appliance peer: " + rig.why).c_str());
        return;
    }
    constexpr int kSamples = 5000;
    std::vector<double> micros;
    micros.reserve(kSamples);
    uint16_t tag = 1024;
    for (auto _ : state) {
        for (int i = 0; i < kSamples; ++i) {
            tag = static_cast<uint16_t>(tag == 65000 ? 1024 : tag + 1);
            const int64_t start = NowNs();
            send(rig, tag);
            const auto deadline = std::chrono::steady_clock::now() + kLossTimeout;
            int64_t at = 0;
            // The peer stamps the receipt itself; the producer only gives
            // the CPU away while it waits.
            while ((at = rig.peer.ReceivedAt(tag)) < start) {
                if (std::chrono::steady_clock::now() > deadline) {
                    state.SkipWithError("a notification did not arrive");
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            micros.push_back(static_cast<double>(at - start) / 1000.0);
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["p90_us"] = micros[micros.size() * 90 / 100];
    state.counters["max_us"] = micros.back();
    state.SetItemsProcessed(static_cast<int64_t>(micros.size()));
}

void BM_EnqueueToPeerLatency(benchmark::State& state) {
    MeasureLatency(state, [](Rig& rig, uint16_t tag) { rig.manager->Enqueue(rig.Connection(tag), false); });
}

// The same path without the agent: what the machine itself adds (thread
// wake-ups of the peer, loopback), for reading the figure above.
void BM_RawSendtoLatency(benchmark::State& state) {
    std::vector<uint8_t> datagram = SampleDatagram();
    MeasureLatency(state, [&datagram](Rig& rig, uint16_t tag) {
        wire::Put16(&datagram[wire::kIvAndHeaderSize + 5 + 4], tag);  // the Port TLV's value
        sendto(rig.raw, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&rig.peerAddress),
               sizeof rig.peerAddress);
    });
}

// Heap bytes in use (small blocks and mapped ones).
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Memory of notifications waiting for an answer: the pool's segments that
// hold their records (pages of their own) plus the request table's nodes
// (heap growth), over many entries. With names: the account names each
// record's SID has looked up by the time it is sent, counted as well.
void BM_BytesPerInflightRequest(benchmark::State& state) {
    constexpr uint32_t kEntries = 50000;
    bx::accounts::Account alice;
    alice.name = L"alice";
    alice.domain = L"CORP";
    alice.type = bx::accounts::SidType::User;
    bx::accounts::SetTableAccount(L"S-1-5-21-1-2-3-1001", alice);
    const CSid sid = CSid::FromString(L"S-1-5-21-1-2-3-1001");
    double bytes = 0, bytesWithNames = 0;
    for (auto _ : state) {
        for (int withNames = 0; withNames < 2; ++withNames) {
            CBufferPool pool;
            bx::BufferPoolSettings settings;
            settings.segmentsStart = 0;
            settings.highMark = 1000;
            pool.Create(settings);
            CHashMap2 table(pool);
            table.Create();
            const size_t before = HeapInUse();
            for (uint32_t i = 0; i < kEntries; ++i) {
                send_data_t* r = CBufferPool::Prepare(pool.Allocate());
                r->kind = bx::kKindConnection;
                r->operation = bx::kOperationOpen;
                r->request_id = i + 1;
                r->sent_time = 1;
                r->sid = sid;
                if (withNames) benchmark::DoNotOptimize(r->sid.AccountName().size() + r->sid.Domain().size());
                table.Add(r);
            }
            const size_t segments = pool.SegmentCount() * pool.SegmentBytes();
            const double perEntry = static_cast<double>(HeapInUse() - before + segments) / kEntries;
            (withNames ? bytesWithNames : bytes) = perEntry;
            table.Empty();
        }
    }
    state.counters["bytes"] = bytes;
    state.counters["bytes_with_names"] = bytesWithNames;
}

}  // namespace

BENCHMARK(BM_ConMgrEnqueueToPeer)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_RawSendto)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_EnqueueToPeerLatency)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RawSendtoLatency)->UseRealTime()->Iterations(1);
BENCHMARK(BM_BytesPerInflightRequest)->Iterations(1);

BX_FIGURE(bx::bench::Ratio("conmgr_vs_raw_sendto", "BM_ConMgrEnqueueToPeer", "BM_RawSendto", ">= 0.5x"));
BX_FIGURE(bx::bench::Figure("enqueue_to_peer_p50_us", "BM_EnqueueToPeerLatency", "us", "reported", "p50_us"));
BX_FIGURE(bx::bench::Figure("enqueue_to_peer_p99_us", "BM_EnqueueToPeerLatency", "us", "< 1000", "p99_us"));
BX_FIGURE(bx::bench::Figure("raw_sendto_to_peer_p99_us", "BM_RawSendtoLatency", "us", "reported", "p99_us"));
BX_FIGURE(bx::bench::Figure("bytes_per_inflight_request", "BM_BytesPerInflightRequest", "bytes", "<= 400", "bytes"));
BX_FIGURE(bx::bench::Figure("bytes_per_inflight_request_with_names", "BM_BytesPerInflightRequest", "bytes", "reported",
                            "bytes_with_names"));
