// CConnectionCacheMgr against the appliance peer `utm` over real UDP. The
// agent binds the wildcard address at the appliance's port, so the peer runs
// in a network namespace the test makes itself (veth pair, addresses inside
// 198.18.0.0/15) and removes afterwards; without root the cases are skipped
// and say why, as root a namespace that cannot be made fails them. Timing
// rules are proven on a clock the test moves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "agent/appliance/conn_cache_mgr.h"
#include "platform/posix/account_table.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/datagrams.h"
#include "tests/support/posix/netns.h"

namespace {

using bx::test::ChildProgram;
using bx::test::Datagram;
using bx::test::Eventually;
using bx::test::Field;
using bx::test::Ip;
namespace wire = bx::wire;

constexpr char kKey[] = "0123456789ABCDEF";
constexpr uint32_t kPoolRecords = 60000;

uint16_t NetworkOrder(uint16_t port) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t stored;
    std::memcpy(&stored, bytes, 2);
    return stored;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class ManagerWithPeer : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        bx::test::SettingsTest::SetUp();
        BX_MAKE_TEST_NETWORK(net_);
        port_ = bx::test::FreeUdpPort();
        ASSERT_NE(0, port_);
        String(L"ip", Wide(bx::test::QuadText(net_.PeerAddress())));
        Dword(L"port", port_);
        String(L"key", Wide(kKey));
        Dword(L"TimeOut", 10);
        Dword(L"Retries", 3);
        bx::test::MakeSmallPool(pool_, kPoolRecords);
        startFree_ = pool_.FreeCount();
        AddAccount(L"S-1-5-21-1-2-3-1001", L"alice");
        AddAccount(L"S-1-5-21-1-2-3-1002", L"bob");
    }
    void TearDown() override {
        ReleaseClock();
        mgr_.reset();
        peer_.Stop();
        second_.Stop();
        net_.Remove();
        bx::test::SettingsTest::TearDown();
    }

    static void AddAccount(const wchar_t* sid, const wchar_t* name) {
        bx::accounts::Account account;
        account.name = name;
        account.domain = L"CORP";
        account.type = bx::accounts::SidType::User;
        bx::accounts::SetTableAccount(sid, account);
    }

    // utm inside the namespace at the peer address; `listenPort` 0 means the
    // appliance's port.
    void StartPeer(ChildProgram& peer, const std::vector<std::string>& options, uint16_t listenPort = 0) {
        std::vector<std::string> argv = {
            "ip",
            "netns",
            "exec",
            net_.Name(),
            BX_UTM_PROGRAM,
            "--listen",
            bx::test::QuadText(net_.PeerAddress()) + ":" + std::to_string(listenPort ? listenPort : port_),
            "--key",
            kKey,
            "--agent",
            bx::test::QuadText(net_.HostAddress()),
            "--agent-port",
            std::to_string(port_)};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_TRUE(peer.Start(argv));
        ASSERT_TRUE(peer.WaitFor({"listening"})) << peer.Dump();
    }

    void StartManager(bool fakeClock = false, bx::SecondsClock clock = nullptr) {
        mgr_ = std::make_unique<CConnectionCacheMgr>(pool_, sessions_);
        log_ = std::make_unique<bx::test::LogCapture>(bx::test::CaseFile(".log"));
        mgr_->SetLogger(log_->Logger());
        if (fakeClock) mgr_->SetClock([this] { return now_.load(); });
        if (clock) mgr_->SetClock(std::move(clock));
        ASSERT_EQ(0u, mgr_->Start());
        ASSERT_TRUE(mgr_->ListenerRunning());
        ASSERT_TRUE(mgr_->DispatcherRunning());
    }

    // An open TCP connection of `session` (alice in 3, bob in 4).
    send_data_t* Connection(uint32_t session, uint16_t localPort) {
        send_data_t* r = bx::test::NewRecord(pool_);
        if (!r) return nullptr;
        r->kind = bx::kKindConnection;
        r->operation = bx::kOperationOpen;
        r->protocol = bx::kProtocolTcp;
        r->local_ip = net_.HostAddress();
        r->local_port = NetworkOrder(localPort);
        r->remote_ip = Ip(198, 18, 200, 7);
        r->remote_port = NetworkOrder(443);
        r->session_id = session;
        r->sid = CSid::FromString(session == 4 ? L"S-1-5-21-1-2-3-1002" : L"S-1-5-21-1-2-3-1001");
        return r;
    }

    bool Known(uint32_t session) {
        CUserInfo info;
        return mgr_->Users().Get(session, info) == 0 && info.known == 1;
    }
    bool InSessionTable(uint32_t session) {
        CUserInfo info;
        return mgr_->Users().Get(session, info) == 0;
    }
    int32_t Counter(bx::StatusCounter index) {
        bx::StatisticsSnapshot s;
        mgr_->GetStatistics(s);
        return s.counters[index];
    }
    // A clock of the request table that stops the dispatcher's first tracked
    // send until ReleaseClock (TearDown releases it in any case).
    bx::SecondsClock HoldingClock() {
        release_ = false;
        return [this]() -> int64_t {
            std::unique_lock<std::mutex> guard(clockLock_);
            held_ = true;
            clockChanged_.notify_all();
            clockChanged_.wait(guard, [&] { return release_; });
            return now_.load();
        };
    }
    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> guard(clockLock_);
        return clockChanged_.wait_for(guard, std::chrono::seconds(20), [&] { return held_; });
    }
    void ReleaseClock() {
        {
            std::lock_guard<std::mutex> guard(clockLock_);
            release_ = true;
        }
        clockChanged_.notify_all();
    }

    // A socket at the appliance's own address (a port of its own), from
    // which a case sends what the appliance, or whoever can put its address
    // on a datagram, might send.
    void OpenApplianceSocket() {
        ASSERT_TRUE(net_.InNamespace([&] {
            ASSERT_EQ(0u, appliance_.Create());
            ASSERT_EQ(0u, appliance_.Bind(net_.PeerAddress(), 0));
            ASSERT_EQ(0u, appliance_.SetReceiveTimeout(10000));
        }));
    }
    void FromAppliance(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(0u, appliance_.SendTo(bytes.data(), bytes.size(), net_.HostAddress(), port_));
    }
    // Sends a ping and waits for its answer: everything sent before it has
    // been handled by the listener.
    void Settle(uint32_t id) {
        FromAppliance(Datagram(id, wire::kMsgRequest).Flag(wire::kTlvPing).Bytes());
        uint8_t answer[1024];
        for (;;) {
            size_t received = 0;
            uint32_t from = 0;
            uint16_t fromPort = 0;
            ASSERT_EQ(0u, appliance_.ReceiveFrom(answer, sizeof answer, received, from, fromPort)) << "ping " << id;
            if (received >= wire::kIvAndHeaderSize && wire::Get32(answer + wire::kOffsetRequestId) == id) return;
        }
    }

    // The peer's line of its notification number n.
    std::string Notification(ChildProgram& peer, int n) {
        const std::vector<std::string> lines = peer.Matching({"rx ", " notif=" + std::to_string(n) + " "});
        return lines.empty() ? std::string() : lines.front();
    }

    bx::test::TestNetwork net_;
    bx::net::UdpSocket appliance_;
    uint16_t port_ = 0;
    CBufferPool pool_;
    uint32_t startFree_ = 0;
    SessionMap sessions_;
    std::atomic<int64_t> now_{1000000};
    std::mutex clockLock_;
    std::condition_variable clockChanged_;
    bool held_ = false, release_ = true;
    ChildProgram peer_, second_;
    std::unique_ptr<bx::test::LogCapture> log_;
    std::unique_ptr<CConnectionCacheMgr> mgr_;
};

TEST_F(ManagerWithPeer, ResetFirstThenAcknowledgedSessionGoesInClearWithoutNames) {
    StartPeer(peer_, {});
    StartManager();
    ASSERT_EQ(0u, mgr_->Enqueue(Connection(3, 49152), false));
    ASSERT_TRUE(peer_.WaitFor({"rx seq=1 ", "kind=reset"})) << peer_.Dump();
    ASSERT_TRUE(peer_.WaitFor({"rx seq=2 ", "kind=connection", "iv=random", "cipherpad=ok", "user=alice", "domain=CORP",
                               "proto=tcp", "op=open", "port=49152", "dport=443", "session=3", "answer=ack"}))
        << peer_.Dump();
    ASSERT_TRUE(Eventually([&] { return Known(3) && mgr_->RequestTable().Count() == 0; })) << log_->Text();
    EXPECT_EQ(1, Counter(bx::kResponsesProcessed));

    ASSERT_EQ(0u, mgr_->Enqueue(Connection(3, 49153), false));
    ASSERT_TRUE(peer_.WaitFor({"rx seq=3 ", "kind=connection", "iv=clear", "port=49153", "session=3"})) << peer_.Dump();
    const std::string clear = Notification(peer_, 2);
    EXPECT_EQ(std::string::npos, clear.find(" user=")) << clear;
    EXPECT_EQ(std::string::npos, clear.find(" domain=")) << clear;
    EXPECT_EQ("0", Field(clear, "extra"));
    ASSERT_TRUE(Eventually([&] { return Counter(bx::kResponsesProcessed) == 2; }));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(ManagerWithPeer, SilenceBringsResendsWithTheSameIdThenDeletion) {
    Dword(L"Retries", 2);
    StartPeer(peer_, {"--answer", "silent"});
    StartManager(true);
    ASSERT_EQ(0u, mgr_->Enqueue(Connection(3, 40000), false));
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 "})) << peer_.Dump();
    const std::string id = Field(Notification(peer_, 1), "id");
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 1; }));

    for (int resend = 1; resend <= 2; ++resend) {
        // Exactly TimeOut seconds old: not yet.
        now_ += 10;
        mgr_->ScanRequestTable();
        EXPECT_EQ(1u, mgr_->RequestTable().Count());
        EXPECT_EQ(0u, mgr_->Queue().Count());
        // TimeOut + 1: sent again with the same request id, tracked again.
        now_ += 1;
        mgr_->ScanRequestTable();
        ASSERT_TRUE(peer_.WaitFor(
            {"rx ", "notif=" + std::to_string(resend + 1) + " ", "id=" + id + " ", "repeat=" + std::to_string(resend)}))
            << peer_.Dump();
        ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 1; }));
    }
    // After Retries resends the next time-out deletes it.
    now_ += 11;
    mgr_->ScanRequestTable();
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    EXPECT_EQ(1, Counter(bx::kDeletedAfterRetries));
    // Counted once the socket took the datagram, which may be after the peer saw it.
    EXPECT_TRUE(Eventually([&] { return Counter(bx::kNotificationsSent) == 3; }));
    EXPECT_EQ(3, Counter(bx::kEnteredInRequestTable));
    EXPECT_EQ(1u, log_->Count("HVN Retransmit:No Response for reqstId:'" + id + "'.SendCount:'3'.Requst Deleted."));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(3u, peer_.Matching({"rx ", "kind=connection"}).size());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(ManagerWithPeer, RetriesZeroDeletesWithoutResending) {
    Dword(L"Retries", 0);
    StartPeer(peer_, {"--answer", "silent"});
    StartManager(true);
    ASSERT_EQ(0u, mgr_->Enqueue(Connection(3, 40001), false));
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 "})) << peer_.Dump();
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 1; }));
    now_ += 11;
    mgr_->ScanRequestTable();
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    EXPECT_EQ(0u, mgr_->Queue().Count());
    EXPECT_EQ(1, Counter(bx::kDeletedAfterRetries));
    EXPECT_TRUE(Eventually([&] { return Counter(bx::kNotificationsSent) == 1; }));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(1u, peer_.Matching({"rx ", "kind=connection"}).size());
}

// A logoff waits for its answer like an open: without one it is sent again
// under the same request id; the answer ends it.
TEST_F(ManagerWithPeer, LogoffIsSentAgainUntilTheApplianceAnswers) {
    StartPeer(peer_, {"--answer", "silent,ack"});
    StartManager(true);
    ASSERT_EQ(0u, mgr_->SendLogoffNotification(3, L"alice", L"CORP"));
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 ", "kind=logoff", "session=3"})) << peer_.Dump();
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 1; }));
    now_ += 11;
    mgr_->ScanRequestTable();
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=2 ", "kind=logoff", "repeat=1", "answer=ack"})) << peer_.Dump();
    EXPECT_EQ(Field(Notification(peer_, 1), "id"), Field(Notification(peer_, 2), "id"));
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 0; })) << log_->Text();
    EXPECT_EQ(2, Counter(bx::kClosesSent));
    EXPECT_EQ(0, Counter(bx::kEnteredInRequestTable));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(ManagerWithPeer, UnknownSessionBringsOneResendWithNamesAndEmptiesTheSessionTable) {
    StartPeer(peer_, {"--answer", "ack,ack,unknown-session,ack"});
    StartManager();
    mgr_->Enqueue(Connection(3, 41000), false);
    mgr_->Enqueue(Connection(4, 41001), false);
    ASSERT_TRUE(Eventually([&] { return Known(3) && Known(4); })) << peer_.Dump();

    // Session 3 is known: its next notification goes without names and the
    // peer does not know the session.
    mgr_->Enqueue(Connection(3, 41002), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=3 ", "iv=clear", "answer=unknown-session"})) << peer_.Dump();
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=4 ", "iv=random", "user=alice", "port=41002", "session=3"}))
        << peer_.Dump();
    // The resend is the agent's own notification again: it enters its
    // session anew, and its acknowledgement makes the session known.
    ASSERT_TRUE(Eventually([&] { return Counter(bx::kResponsesProcessed) == 3; })) << log_->Text();
    EXPECT_TRUE(Known(3));
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    EXPECT_NE(Field(Notification(peer_, 3), "id"), Field(Notification(peer_, 4), "id"));
    EXPECT_EQ("ips=" + bx::test::QuadText(net_.HostAddress()), "ips=" + Field(Notification(peer_, 4), "ips"));
    // Every session was forgotten: bob's next notification carries names.
    EXPECT_FALSE(InSessionTable(4));
    mgr_->Enqueue(Connection(4, 41003), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=5 ", "iv=random", "user=bob", "session=4"})) << peer_.Dump();
    EXPECT_EQ(5u, peer_.Matching({"rx ", "kind=connection"}).size());  // exactly one resend
    EXPECT_EQ(1u, log_->Count("UTM Resp: Enqueuing Unknown SessionId 3 packet again"));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(ManagerWithPeer, PingIsAnsweredToItsSourcePortAndItsIdStaysWaiting) {
    StartPeer(peer_, {"--answer", "silent", "--ping-after", "1"});
    StartManager();
    mgr_->Enqueue(Connection(3, 42000), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 "})) << peer_.Dump();
    const std::string id = Field(Notification(peer_, 1), "id");
    ASSERT_TRUE(peer_.WaitFor({"rx ", "kind=ping-answer", "id=" + id + " ", "pingtext="})) << peer_.Dump();
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));

    // A second peer on another port pings: the answer goes to that port, not
    // to the appliance's.
    StartPeer(second_, {"--ping"}, static_cast<uint16_t>(port_ == 65535 ? 65534 : port_ + 1));
    ASSERT_TRUE(second_.WaitFor({"rx ", "kind=ping-answer", "id=1 "})) << second_.Dump() << log_->Text();
    EXPECT_EQ(1u, peer_.Matching({"kind=ping-answer"}).size());
    EXPECT_EQ(0u, mgr_->Stop());
}

TEST_F(ManagerWithPeer, ResetAcknowledgesNothingAndForgetsSessions) {
    StartPeer(peer_, {"--answer", "ack,silent", "--reset-after", "2"});
    StartManager();
    mgr_->Enqueue(Connection(3, 43000), false);
    ASSERT_TRUE(Eventually([&] { return Known(3); })) << peer_.Dump();
    mgr_->Enqueue(Connection(3, 43001), false);
    ASSERT_TRUE(peer_.WaitFor({"tx ", "sent=reset"})) << peer_.Dump();
    ASSERT_TRUE(Eventually([&] { return !InSessionTable(3); })) << log_->Text();
    EXPECT_EQ(1u, mgr_->RequestTable().Count());  // the reset carried its id
    EXPECT_EQ(1, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(0u, mgr_->Stop());
}

TEST_F(ManagerWithPeer, LearnsSubnetsMostSpecificFirstAndRanges) {
    StartManager();
    StartPeer(peer_, {"--teach-subnet", "10.0.0.0/8", "--teach-subnet", "10.1.0.0/16", "--teach-range",
                      "192.168.1.10-192.168.1.20"});
    ASSERT_TRUE(Eventually([&] { return mgr_->Routes().Subnets().size() == 2 && mgr_->Routes().Ranges().size() == 1; }))
        << peer_.Dump() << log_->Text();
    EXPECT_EQ((std::vector<bx::Subnet>{{Ip(10, 1, 0, 0), Ip(255, 255, 0, 0)}, {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0)}}),
              mgr_->Routes().Subnets());
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(10, 2, 3, 4)));
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(11, 0, 0, 1)));
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(192, 168, 1, 10)));
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(192, 168, 1, 20)));
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(192, 168, 1, 21)));
    EXPECT_EQ(0u, mgr_->Stop());
}

TEST_F(ManagerWithPeer, StopWithAFullQueueAndAFullRequestTableReturnsEveryRecord) {
    StartPeer(peer_, {"--answer", "silent"});
    mgr_ = std::make_unique<CConnectionCacheMgr>(pool_, sessions_);
    log_ = std::make_unique<bx::test::LogCapture>(bx::test::CaseFile(".log"));
    mgr_->SetLogger(log_->Logger());
    CDataQueue::ResetOverflowLog();
    const uint32_t capacity = mgr_->Queue().Capacity();
    ASSERT_EQ(50000u, capacity);
    for (uint32_t i = 0; i < capacity + 1; ++i)
        ASSERT_EQ(0u, mgr_->Enqueue(Connection(3 + i % 2, static_cast<uint16_t>(1024 + i % 60000)), false));
    EXPECT_EQ(0u, mgr_->Queue().Dropped());
    EXPECT_EQ(0u, log_->Count("Queue overflown"));
    ASSERT_EQ(0u, mgr_->Enqueue(Connection(3, 999), true));
    EXPECT_EQ(1u, mgr_->Queue().Dropped());
    EXPECT_EQ(capacity + 1, mgr_->Queue().Count());
    EXPECT_EQ(1u, log_->Count("'SendQ' Queue overflown first time"));

    ASSERT_EQ(0u, mgr_->Start());
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() >= 500; })) << log_->Text();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, mgr_->Stop());  // every thread ended within its bound
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    EXPECT_EQ(0u, mgr_->Queue().Count());
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// ---- Hostile input ------------------------------------------------------------

// Datagrams that are malformed by construction, of every kind the listener
// must survive: too short, a length field past the datagram, unknown TLVs,
// a TLV running past the TLV area, random bytes, and encrypted garbage.
std::vector<uint8_t> Malformed(std::mt19937& random, uint32_t i, const bx::DesKeySchedule& key) {
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (uint8_t& b : v) b = static_cast<uint8_t>(random());
        return v;
    };
    const size_t n = 21 + random() % 1000;
    switch (i % 6) {
        case 0:
            return bytes(random() % 9);  // 0..8 bytes: not even an IV and a byte
        case 1: {                        // the length field runs past the datagram
            std::vector<uint8_t> d = bytes(n);
            d[0] = 0;
            wire::Put16(&d[wire::kOffsetLength], static_cast<uint16_t>(n + 1 + random() % 1000));
            return d;
        }
        case 2: {  // a known TLV, then one of an unknown type
            Datagram d(random());
            d.SessionId(random());
            const uint16_t unknown = static_cast<uint16_t>((i / 6) % 4 == 0 ? 0 : 17 + random() % 65000);
            std::vector<uint8_t> value = bytes(random() % 40);
            d.Tlv(unknown, value);
            return d.Bytes();
        }
        case 3: {  // a TLV whose length runs past the TLV area
            Datagram d(random());
            d.Tlv(wire::kTlvUserName, bytes(10));
            std::vector<uint8_t> out = d.Bytes();
            wire::Put16(&out[out.size() - 12], static_cast<uint16_t>(11 + random() % 500));
            return out;
        }
        case 4: {  // random bytes in clear with a length field past the datagram
            std::vector<uint8_t> d = bytes(n);
            d[0] = 0;
            wire::Put16(&d[wire::kOffsetLength], 0xFFFF);
            return d;
        }
        default: {  // garbage under the IV flag: it deciphers to a length past the datagram
            std::vector<uint8_t> clear = bytes(n);
            clear[0] = static_cast<uint8_t>(1 + random() % 255);
            wire::Put16(&clear[wire::kOffsetLength], 0xFFFF);
            std::vector<uint8_t> out(bx::DesSentLength(clear.size()));
            std::copy(clear.begin(), clear.end(), out.begin());
            bx::DesEncryptDatagram(out.data(), clear.size(), out.size(), key);
            out.resize(clear.size());  // cut back: the tail is garbage anyway
            return out;
        }
    }
}

TEST_F(ManagerWithPeer, HostileDatagramsLeaveTheAgentRunningAndCounted) {
    Dword(L"verbose", 0);
    StartPeer(peer_, {});
    StartManager();
    bx::net::UdpSocket hostile;
    ASSERT_TRUE(net_.InNamespace([&] {
        ASSERT_EQ(0u, hostile.Create());
        ASSERT_EQ(0u, hostile.Bind(net_.PeerAddress(), 0));
    }));
    CHVNConfiguration config;
    std::mt19937 random(20261208);
    constexpr uint32_t kDatagrams = 100000;
    constexpr uint32_t kBatch = 50;  // well inside the listener's receive buffer
    uint32_t sent = 0;
    uint32_t oversize = 0;
    while (sent < kDatagrams) {
        for (uint32_t k = 0; k < kBatch && sent < kDatagrams; ++k, ++sent) {
            const std::vector<uint8_t> d = Malformed(random, sent, config.KeySchedule());
            ASSERT_EQ(0u, hostile.SendTo(d.data(), d.size(), net_.HostAddress(), port_));
        }
        if (sent % 20000 == 0) {
            // Longer than the listener reads: a read error, not a parse failure.
            const std::vector<uint8_t> big(1400, 0x5A);
            ASSERT_EQ(0u, hostile.SendTo(big.data(), big.size(), net_.HostAddress(), port_));
            ++oversize;
        }
        ASSERT_TRUE(Eventually([&] { return Counter(bx::kParseFailures) == static_cast<int32_t>(sent); }))
            << "after " << sent << " datagrams the agent counted " << Counter(bx::kParseFailures);
    }
    EXPECT_EQ(static_cast<int32_t>(kDatagrams), Counter(bx::kParseFailures));
    // Their lines are bounded: one burst's worth.
    EXPECT_GE(oversize, 1u);
    EXPECT_LE(log_->Count("UTM Resp: Failed to parse the response from the UTM"), bx::kDatagramLinesPerBurst);
    EXPECT_TRUE(mgr_->ListenerRunning());
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));

    // Real notifications are still acknowledged.
    mgr_->Enqueue(Connection(3, 44000), false);
    mgr_->Enqueue(Connection(4, 44001), false);
    ASSERT_TRUE(Eventually([&] { return Known(3) && Known(4) && mgr_->RequestTable().Count() == 0; })) << peer_.Dump();
    EXPECT_EQ(2, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(static_cast<int32_t>(kDatagrams), Counter(bx::kParseFailures));
    EXPECT_EQ(0u, mgr_->Stop());
}

// A sender that is not the appliance (here the host's own end of the link)
// cannot acknowledge, teach the route 0.0.0.0/0.0.0.0 or be answered a ping.
TEST_F(ManagerWithPeer, DatagramsFromAnotherAddressAreDroppedAndCounted) {
    StartPeer(peer_, {"--answer", "silent"});
    StartManager();
    mgr_->Enqueue(Connection(3, 45000), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 "})) << peer_.Dump();
    const uint32_t id = static_cast<uint32_t>(std::stoul(Field(Notification(peer_, 1), "id")));
    ASSERT_TRUE(Eventually([&] { return mgr_->RequestTable().Count() == 1; }));

    bx::net::UdpSocket stranger;
    ASSERT_EQ(0u, stranger.Create());
    ASSERT_EQ(0u, stranger.Bind(net_.HostAddress(), 0));
    const std::vector<Datagram> hostile = {
        Datagram(id).SessionId(3),
        Datagram(0).Error(wire::kErrorDestinationRouteLocal).Pair(wire::kTlvSubnet, 0, 0),
        Datagram(5, wire::kMsgRequest).Flag(wire::kTlvPing),
    };
    for (const Datagram& d : hostile)
        ASSERT_EQ(0u, stranger.SendTo(d.Bytes().data(), d.Bytes().size(), net_.HostAddress(), port_));
    ASSERT_TRUE(Eventually([&] { return mgr_->StrangerDatagrams() == hostile.size(); })) << log_->Text();
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    EXPECT_FALSE(Known(3));
    EXPECT_TRUE(mgr_->Routes().Subnets().empty());
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(198, 18, 200, 7)));
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(0, Counter(bx::kParseFailures));
    EXPECT_EQ(1u, log_->Count("UTMlistner dropped a datagram from " + bx::test::QuadText(net_.HostAddress())));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_TRUE(peer_.Matching({"kind=ping-answer"}).empty());
}

// ---- From the appliance's own address: no datagram makes the agent lie, go
// quiet or lose its log ------------------------------------------------------

// An "Unknown SessionID" for a connection the agent never reported brings no
// resend: no names for a connection of the sender's choosing.
TEST_F(ManagerWithPeer, UnknownSessionForANeverReportedConnectionQueuesNothing) {
    StartPeer(peer_, {});
    StartManager();
    OpenApplianceSocket();
    mgr_->Enqueue(Connection(3, 46000), false);
    ASSERT_TRUE(Eventually([&] { return Known(3) && mgr_->RequestTable().Count() == 0; })) << peer_.Dump();

    FromAppliance(Datagram(777777)
                      .Error(wire::kErrorUnknownSessionId)
                      .U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, wire::kProtocolTcp))
                      .U16(wire::kTlvPort, 46001)
                      .U8(wire::kTlvNumIps, 1)
                      .U32(wire::kTlvIp, net_.HostAddress())
                      .U32(wire::kTlvDestIp, Ip(203, 0, 113, 9))
                      .U16(wire::kTlvDestPort, 22)
                      .SessionId(3)
                      .Bytes());
    ASSERT_TRUE(Eventually([&] { return mgr_->UnknownSessionsDropped() == 1; })) << log_->Text();
    EXPECT_EQ(0u, mgr_->Queue().Count());
    // The next notification is the next datagram: nothing went out before it.
    mgr_->Enqueue(Connection(3, 46002), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=2 ", "port=46002"})) << peer_.Dump();
    EXPECT_TRUE(peer_.Matching({"port=46001"}).empty()) << peer_.Dump();
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// A local route of the whole address space (or of more than 2^24 addresses)
// is refused: the next open is still reported.
TEST_F(ManagerWithPeer, BroadLocalRouteLeavesTheNextOpenReported) {
    StartPeer(peer_, {});
    StartManager();
    OpenApplianceSocket();
    FromAppliance(Datagram(0).Error(wire::kErrorDestinationRouteLocal).Pair(wire::kTlvSubnet, 0, 0).Bytes());
    FromAppliance(Datagram(0)
                      .Error(wire::kErrorDestinationRouteLocal)
                      .Pair(wire::kTlvIpRange, Ip(0, 0, 0, 0), Ip(255, 255, 255, 255))
                      .Bytes());
    ASSERT_TRUE(Eventually([&] { return mgr_->Routes().Refused() == 2; })) << log_->Text();
    EXPECT_EQ(1u, log_->Count("UTM:resp Refused local"));
    // The snooper asks this of every open before it reports it.
    ASSERT_FALSE(mgr_->IsLocalRoute(Ip(198, 18, 200, 7)));
    mgr_->Enqueue(Connection(3, 46100), false);
    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=1 ", "port=46100", "dst=198.18.200.7"})) << peer_.Dump();
    EXPECT_EQ(0u, mgr_->Stop());
}

// 20,000 pings while the dispatcher is busy with a notification: one answer
// waits, the others are counted; an open queued after them is the next
// datagram but one.
TEST_F(ManagerWithPeer, PingFloodLeavesOneAnswerWaitingAndTheNextOpenGoesPromptly) {
    StartPeer(peer_, {});
    // The dispatcher's first tracked send stops on the request table's clock
    // until the pings are in.
    StartManager(false, HoldingClock());
    OpenApplianceSocket();
    mgr_->Enqueue(Connection(3, 47000), false);
    ASSERT_TRUE(WaitUntilHeld());

    constexpr uint32_t kPings = 20000;
    constexpr uint32_t kBatch = 100;  // well inside the listener's receive buffer
    for (uint32_t sent = 0; sent < kPings;) {
        for (uint32_t k = 0; k < kBatch; ++k, ++sent)
            FromAppliance(Datagram(100000 + sent, wire::kMsgRequest).Flag(wire::kTlvPing).Bytes());
        ASSERT_TRUE(Eventually([&] { return mgr_->PingsNotAnswered() == sent - 1; }))
            << "after " << sent << " pings: " << mgr_->PingsNotAnswered() << " not answered, " << mgr_->Queue().Count()
            << " queued";
    }
    EXPECT_EQ(1u, mgr_->Queue().Count());
    mgr_->Enqueue(Connection(3, 47001), false);
    ReleaseClock();

    ASSERT_TRUE(peer_.WaitFor({"rx ", "notif=2 ", "port=47001"})) << peer_.Dump();
    // Exactly one answer went out, and it went before the open.
    uint8_t answer[1024];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    ASSERT_EQ(0u, appliance_.ReceiveFrom(answer, sizeof answer, received, from, fromPort));
    EXPECT_EQ(100000u, wire::Get32(answer + wire::kOffsetRequestId));
    ASSERT_EQ(0u, appliance_.SetReceiveTimeout(200));
    EXPECT_NE(0u, appliance_.ReceiveFrom(answer, sizeof answer, received, from, fromPort)) << "a second answer";
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// Resets at 1 kHz: the session table is emptied at most once a second (the
// emptyings are at least a second apart), and it is emptied.
TEST_F(ManagerWithPeer, ResetsAtOneKilohertzEmptyTheSessionTableOnceASecond) {
    StartPeer(peer_, {});
    StartManager();
    OpenApplianceSocket();
    ASSERT_TRUE(peer_.WaitFor({"rx seq=1 ", "kind=reset"})) << peer_.Dump();
    const auto started = std::chrono::steady_clock::now();
    const auto until = started + std::chrono::milliseconds(2500);
    uint32_t resets = 0;
    for (auto next = started; std::chrono::steady_clock::now() < until; next += std::chrono::milliseconds(1)) {
        FromAppliance(Datagram(resets++, wire::kMsgRequest).Flag(wire::kTlvReset).Bytes());
        std::this_thread::sleep_until(next + std::chrono::milliseconds(1));
    }
    Settle(1);
    const uint32_t emptied = mgr_->SessionTableResets();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_GE(emptied, 2u) << resets << " resets";
    EXPECT_LE(emptied, took.count() / 1000 + 1) << resets << " resets in " << took.count() << " ms";
    EXPECT_GT(resets, 1000u);
    EXPECT_EQ(0u, mgr_->Stop());
}

// Datagrams longer than the listener reads, 15,000 from the appliance's
// address and 1,000 from a stranger: a bounded number of lines, and the
// stranger's none about reading.
TEST_F(ManagerWithPeer, OversizedDatagramsWriteABoundedNumberOfLines) {
    Dword(L"verbose", 0);
    StartPeer(peer_, {});
    StartManager();
    OpenApplianceSocket();
    const std::vector<uint8_t> big(1400, 0x5A);
    for (uint32_t sent = 0; sent < 15000; sent += 100) {
        for (int k = 0; k < 100; ++k) FromAppliance(big);
        Settle(sent);
    }
    bx::net::UdpSocket stranger;
    ASSERT_EQ(0u, stranger.Create());
    ASSERT_EQ(0u, stranger.Bind(net_.HostAddress(), 0));
    for (uint32_t sent = 1; sent <= 1000; ++sent) {
        ASSERT_EQ(0u, stranger.SendTo(big.data(), big.size(), net_.HostAddress(), port_));
        if (sent % 20 == 0) ASSERT_TRUE(Eventually([&] { return mgr_->StrangerDatagrams() == sent; })) << sent;
    }
    EXPECT_TRUE(mgr_->ListenerRunning());
    EXPECT_GE(log_->Count("UTMlistner ReadError code:"), 1u);
    EXPECT_LE(log_->Count("UTMlistner ReadError code:"), bx::kDatagramLinesPerBurst);
    size_t lines = 0;
    for (char c : log_->Text()) lines += c == '\n';
    EXPECT_LE(lines, 40u) << log_->Text();
    EXPECT_EQ(0u, mgr_->Stop());
}

// ---- Load --------------------------------------------------------------------

TEST_F(ManagerWithPeer, ProducersResponsesAndRetransmitsTogetherThenStopUnderLoad) {
    Dword(L"verbose", 0);
    Dword(L"TimeOut", 1);
    Dword(L"Retries", 2);
    // The peer acknowledges, reports an unknown session, then stays silent;
    // the appliance thread below acknowledges ids as they come.
    StartPeer(peer_, {"--answer", "ack,unknown-session,ack,silent"});
    StartManager(true);

    std::atomic<bool> running{true};
    // The clock runs fast so that retransmits happen all the time.
    std::thread clock([&] {
        while (running) {
            now_ += 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    // The appliance side talks as well: pings, resets, routes, acknowledgements
    // of ids in the order the agent hands them out, and garbage.
    bx::net::UdpSocket other;
    ASSERT_TRUE(net_.InNamespace([&] {
        ASSERT_EQ(0u, other.Create());
        ASSERT_EQ(0u, other.Bind(net_.PeerAddress(), 0));
    }));
    std::thread appliance([&] {
        uint32_t i = 0;
        while (running) {
            Datagram d(i);
            switch (i % 5) {
                case 0:
                    d.Flag(wire::kTlvPing);
                    break;
                case 1:
                    d.Flag(wire::kTlvReset);
                    break;
                case 2:
                    d.Error(wire::kErrorDestinationRouteLocal)
                        .Pair(wire::kTlvSubnet, Ip(10, i % 256, 0, 0), Ip(255, 255, 0, 0));
                    break;
                case 3:
                    d.SessionId(3 + i % 2);
                    break;
                default:
                    d.Tlv(99, {1});
                    break;
            }
            other.SendTo(d.Bytes().data(), d.Bytes().size(), net_.HostAddress(), port_);
            ++i;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    constexpr int kProducers = 8;
    std::atomic<uint32_t> enqueued{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (uint32_t i = 0; running && i < 4000; ++i) {
                if (send_data_t* r = Connection(3 + (p + i) % 2, static_cast<uint16_t>(2000 + p * 4000 + i))) {
                    r->operation = i % 3 == 0 ? bx::kOperationClose : bx::kOperationOpen;
                    mgr_->Enqueue(r, false);
                    ++enqueued;
                }
                if (i % 50 == 0) mgr_->SendLogoffNotification(3, L"alice", L"CORP");
                mgr_->IsLocalRoute(Ip(10, i % 256, 1, 1));
                if (i % 100 == 0) {
                    bx::StatisticsSnapshot s;
                    mgr_->GetStatistics(s);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });

    ASSERT_TRUE(Eventually(
        [&] {
            return enqueued.load() >= 8000 && Counter(bx::kNotificationsSent) > 2000 &&
                   Counter(bx::kDeletedAfterRetries) > 0;
        },
        std::chrono::seconds(60)))
        << "enqueued " << enqueued.load() << ", sent " << Counter(bx::kNotificationsSent);
    EXPECT_GT(Counter(bx::kEnteredInRequestTable), 0);
    // Stop while everything still runs.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, mgr_->Stop());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::milliseconds(3 * bx::kThreadStopWaitMs));
    EXPECT_FALSE(mgr_->ListenerRunning());
    EXPECT_FALSE(mgr_->DispatcherRunning());

    running = false;
    for (auto& t : producers) t.join();
    appliance.join();
    clock.join();
    EXPECT_GT(Counter(bx::kResponsesProcessed), 0);
    EXPECT_GT(Counter(bx::kParseFailures), 0);
    EXPECT_GT(Counter(bx::kDeletedAfterRetries), 0);
    EXPECT_GT(Counter(bx::kClosesSent), 0);
    mgr_.reset();  // what producers queued after the stop goes back too
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

}  // namespace
