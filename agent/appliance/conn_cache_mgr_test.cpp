// CConnectionCacheMgr in one process: the response handling (ping, reset,
// acknowledgement, "Unknown SessionID", local routes, parse failures) on
// datagrams written by hand, the address rule, the logoff notification, the
// statistics, and the whole send and receive path over loopback, where the
// agent's listener reads the agent's own datagrams (Winsock under Wine).
#include "agent/appliance/conn_cache_mgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "agent/identity/session_users.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host_facts.h"
#include "platform/udp_socket.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/datagrams.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/posix/account_table.h"
#endif

namespace {

using bx::test::Datagram;
using bx::test::Ip;
namespace wire = bx::wire;

constexpr wchar_t kKeyText[] = L"0123456789ABCDEF";

// A user account the platform can name: on POSIX from the account table, on
// Windows (Wine) the account Wine gives the process's own user.
CSid UserSid() {
#ifdef _WIN32
    return CSid::FromString(L"S-1-5-21-0-0-0-1000");
#else
    bx::accounts::Account alice;
    alice.name = L"alice";
    alice.domain = L"CORP";
    alice.type = bx::accounts::SidType::User;
    bx::accounts::SetTableAccount(L"S-1-5-21-1-2-3-1001", alice);
    return CSid::FromString(L"S-1-5-21-1-2-3-1001");
#endif
}

uint16_t NetworkOrder(uint16_t port) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t stored;
    std::memcpy(&stored, bytes, 2);
    return stored;
}

class ConnCacheMgrTest : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        bx::test::SettingsTest::SetUp();
        Dword(L"verbose", 1);
        String(L"key", kKeyText);
        Dword(L"TimeOut", 10);
        Dword(L"Retries", 3);
        bx::test::MakeSmallPool(pool_, 64);
        startFree_ = pool_.FreeCount();
    }
    void TearDown() override {
        mgr_.reset();
        bx::test::SettingsTest::TearDown();
    }

    // A manager on `address` at a free port, logging into the case's file.
    void MakeManager(const std::wstring& address = L"127.0.0.1") {
        mgr_.reset();
        log_.reset();
        port_ = bx::test::FreeUdpPort();
        String(L"ip", address);
        Dword(L"port", port_);
        mgr_ = std::make_unique<CConnectionCacheMgr>(pool_, sessions_);
        log_ = std::make_unique<bx::test::LogCapture>(bx::test::CaseFile(".log"));
        mgr_->SetLogger(log_->Logger());
        mgr_->SetTickClock([this] { return ticks_; });
        mgr_->SetReportedConnections(&reported_);
    }

    send_data_t* Record(uint32_t requestId = 0) { return bx::test::NewRecord(pool_, requestId); }

    // An open notification of session `session` waiting in the request table.
    send_data_t* Waiting(uint32_t requestId, uint32_t session = 3) {
        send_data_t* r = Record(requestId);
        r->kind = bx::kKindConnection;
        r->operation = bx::kOperationOpen;
        r->session_id = session;
        r->sent_time = 100;
        EXPECT_TRUE(mgr_->RequestTable().Add(r));
        return r;
    }

    uint32_t Handle(const Datagram& d, uint16_t port = 4711) {
        return mgr_->HandleResponse(d.Bytes().data(), d.Bytes().size(), port);
    }
    uint32_t Handle(const std::vector<uint8_t>& bytes, uint16_t port = 4711) {
        return mgr_->HandleResponse(bytes.data(), bytes.size(), port);
    }

    int32_t Counter(bx::StatusCounter index) {
        bx::StatisticsSnapshot s;
        mgr_->GetStatistics(s);
        return s.counters[index];
    }

    void ExhaustPool(std::vector<send_data_t*>& taken) {
        while (send_data_t* r = Record()) taken.push_back(r);
    }

    CBufferPool pool_;
    SessionMap sessions_;
    bx::test::OneReportedConnection reported_;
    uint32_t ticks_ = 5000;
    uint32_t startFree_ = 0;
    uint16_t port_ = 0;
    std::unique_ptr<bx::test::LogCapture> log_;
    std::unique_ptr<CConnectionCacheMgr> mgr_;
};

TEST(DottedQuad, StrictForm) {
    EXPECT_TRUE(bx::IsDottedQuad(L"10.0.0.1"));
    EXPECT_TRUE(bx::IsDottedQuad(L"255.255.255.255"));
    EXPECT_TRUE(bx::IsDottedQuad(L"1.2.3.456"));  // the form only; the value is checked later
    EXPECT_FALSE(bx::IsDottedQuad(L""));
    EXPECT_FALSE(bx::IsDottedQuad(L"10.0.0"));
    EXPECT_FALSE(bx::IsDottedQuad(L"10.0.0.1."));
    EXPECT_FALSE(bx::IsDottedQuad(L".10.0.0.1"));
    EXPECT_FALSE(bx::IsDottedQuad(L"10..0.1"));
    EXPECT_FALSE(bx::IsDottedQuad(L"10.0.0.1.5"));
    EXPECT_FALSE(bx::IsDottedQuad(L"1000.0.0.1"));
    EXPECT_FALSE(bx::IsDottedQuad(L"10.0.0.a"));
    EXPECT_FALSE(bx::IsDottedQuad(L"utm.example"));
    EXPECT_FALSE(bx::IsDottedQuad(L" 10.0.0.1"));
}

TEST_F(ConnCacheMgrTest, ConstructionResetsItsOwnLogFile) {
    std::wstring dir;
    ASSERT_EQ(0u, bx::host::ExecutableDirectory(dir));
    const std::wstring path = bx::files::JoinPath(dir, L"HVNAgentUTM.log");
    const std::string old = "lines of the last run\r\n";
    ASSERT_EQ(0u, bx::files::WriteWholeFile(path, old.data(), old.size()));
    MakeManager();
    std::vector<uint8_t> bytes;
    const uint32_t read = bx::files::ReadWholeFile(path, bytes);
    // Deleted, then added to the manager's logger: absent or empty until
    // something is written to it.
    EXPECT_TRUE(read == bx::err::kFileNotFound || (read == 0 && bytes.empty())) << read << " " << bytes.size();
}

TEST_F(ConnCacheMgrTest, StatisticsBeforeAnyTraffic) {
    MakeManager();
    bx::StatisticsSnapshot s;
    mgr_->GetStatistics(s);
    for (size_t i = 0; i < bx::kStatusCounters; ++i)
        EXPECT_EQ(i == bx::kQueueCapacity ? 50000 : 0, s.counters[i]) << "counter " << i;
}

TEST_F(ConnCacheMgrTest, PingIsAnsweredAtTheHeadAndItsIdStaysInTheTable) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    Waiting(500);
    mgr_->Enqueue(Record(), false);
    ASSERT_EQ(0u, Handle(Datagram(500, wire::kMsgRequest).Flag(wire::kTlvPing), 4711));
    // While that answer waits, another ping is counted, not answered.
    ASSERT_EQ(0u, Handle(Datagram(501, wire::kMsgRequest).Flag(wire::kTlvPing), 4712));
    EXPECT_EQ(1u, mgr_->PingsNotAnswered());
    ASSERT_EQ(2u, mgr_->Queue().Count());
    send_data_t* answer = mgr_->Queue().Dequeue();
    EXPECT_EQ(bx::kKindPingResponse, answer->kind);
    EXPECT_EQ(500u, answer->request_id);
    EXPECT_EQ(4711, answer->reply_port);
    pool_.Release(answer);
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(1u, log_->Count("UTM Resp: recvd ping request from UTM. enqueing Response"));
    // Once it has left the queue, the next ping is answered.
    ASSERT_EQ(0u, Handle(Datagram(502, wire::kMsgRequest).Flag(wire::kTlvPing)));
    EXPECT_EQ(2u, mgr_->Queue().Count());
    EXPECT_EQ(1u, mgr_->PingsNotAnswered());
}

TEST_F(ConnCacheMgrTest, PingWithoutARecordIsDropped) {
    MakeManager();
    std::vector<send_data_t*> taken;
    ExhaustPool(taken);
    ASSERT_EQ(0u, Handle(Datagram(1, wire::kMsgRequest).Flag(wire::kTlvPing)));
    EXPECT_EQ(0u, mgr_->Queue().Count());
    EXPECT_EQ(1u, log_->Count("Failed to allocate memory for Ping Response "));
    for (send_data_t* r : taken) pool_.Release(r);
}

TEST_F(ConnCacheMgrTest, ResetForgetsSessionsAndAcknowledgesNothing) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    mgr_->Users().Update(3, L"alice", L"CORP");
    mgr_->Users().MarkKnown(3);
    Waiting(600);
    ASSERT_EQ(0u, Handle(Datagram(600, wire::kMsgRequest).Flag(wire::kTlvReset).SessionId(3)));
    CUserInfo info;
    EXPECT_EQ(bx::err::kNotFound, mgr_->Users().Get(3, info));
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(1u, log_->Count("UTM Resp: recvd Reset request from UTM."));

    // Within a second of it a reset waits, and is done once the second is
    // over (at the next datagram or the listener's next wake).
    mgr_->Users().Update(3, L"alice", L"CORP");
    ticks_ += 999;
    ASSERT_EQ(0u, Handle(Datagram(601, wire::kMsgRequest).Flag(wire::kTlvReset)));
    ASSERT_EQ(0u, Handle(Datagram(602, wire::kMsgRequest).Flag(wire::kTlvReset)));
    EXPECT_EQ(0u, mgr_->Users().Get(3, info));
    EXPECT_EQ(1u, mgr_->SessionTableResets());
    ticks_ += 1;
    ASSERT_EQ(0u, Handle(Datagram(601)));
    EXPECT_EQ(bx::err::kNotFound, mgr_->Users().Get(3, info));
    EXPECT_EQ(2u, mgr_->SessionTableResets());
}

TEST_F(ConnCacheMgrTest, ResponseAcknowledgesAndMarksTheSessionKnown) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    mgr_->Users().Update(3, L"alice", L"CORP");
    Waiting(700);
    Waiting(701);
    ASSERT_EQ(0u, Handle(Datagram(700).SessionId(3)));
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    CUserInfo info;
    ASSERT_EQ(0u, mgr_->Users().Get(3, info));
    EXPECT_EQ(1, info.known);
    EXPECT_EQ(1, Counter(bx::kResponsesProcessed));

    // An encrypted answer under the shared key acknowledges as well, even
    // without a SessionId ("Connection Not Found" needs nothing more).
    CHVNConfiguration config;
    ASSERT_EQ(0u, Handle(Datagram(701).Error(wire::kErrorConnectionNotFound).Encrypted(config.KeySchedule())));
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    EXPECT_EQ(2, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(startFree_, pool_.FreeCount());

    // An answer for an id no longer waiting removes nothing.
    ASSERT_EQ(0u, Handle(Datagram(701).SessionId(3)));
    EXPECT_EQ(3, Counter(bx::kResponsesProcessed));
}

TEST_F(ConnCacheMgrTest, UnparsableDatagramIsCountedAndAcknowledgesNothing) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    Waiting(900);
    EXPECT_EQ(bx::err::kInvalidData, Handle(Datagram(900).SessionId(3).Tlv(99, {1, 2})));
    const uint8_t shortOne[8] = {};
    EXPECT_EQ(bx::err::kInvalidData, mgr_->HandleResponse(shortOne, sizeof shortOne, 1));
    EXPECT_EQ(bx::err::kInvalidData, mgr_->HandleResponse(shortOne, 0, 1));
    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    EXPECT_EQ(3, Counter(bx::kParseFailures));
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(3u, log_->Count("UTM Resp: Failed to parse the response from the UTM"));
}

// An answer that names a connection: its SessionId, protocol, port and
// local address, and a remote end of the sender's choosing.
Datagram UnknownSession(uint32_t requestId, uint32_t session, uint16_t port, uint32_t localIp) {
    return Datagram(requestId)
        .Error(wire::kErrorUnknownSessionId)
        .U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, wire::kProtocolTcp))
        .U16(wire::kTlvPort, port)
        .U8(wire::kTlvNumIps, 2)
        .U32(wire::kTlvIp, localIp)
        .U32(wire::kTlvIp, Ip(198, 18, 0, 9))
        .U32(wire::kTlvDestIp, Ip(6, 6, 6, 6))
        .U16(wire::kTlvDestPort, 666)
        .SessionId(session);
}

// The notification the answer acknowledged goes out again, as the agent made
// it (not as the answer describes it), at the head, with a new request id;
// every session's next notification carries names.
TEST_F(ConnCacheMgrTest, UnknownSessionResendsTheAcknowledgedNotificationAndForgetsAllSessions) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    mgr_->Users().Update(3, L"alice", L"CORP");
    mgr_->Users().MarkKnown(3);
    mgr_->Users().Update(4, L"bob", L"CORP");
    mgr_->Users().MarkKnown(4);
    send_data_t* waiting = Waiting(800);
    waiting->protocol = bx::kProtocolTcp;
    waiting->local_ip = Ip(198, 18, 0, 1);
    waiting->local_port = NetworkOrder(49152);
    waiting->remote_ip = Ip(93, 184, 216, 34);
    waiting->remote_port = NetworkOrder(443);
    waiting->sid = UserSid();
    waiting->send_count = 2;
    send_data_t* queued = Record(1);
    mgr_->Enqueue(queued, false);

    ASSERT_EQ(0u, Handle(UnknownSession(800, 3, 49152, Ip(198, 18, 0, 1))));
    EXPECT_EQ(0u, mgr_->RequestTable().Count());  // acknowledged all the same
    ASSERT_EQ(2u, mgr_->Queue().Count());         // exactly one more
    send_data_t* resend = mgr_->Queue().Dequeue();
    ASSERT_EQ(waiting, resend);  // at the head: the agent's own record
    EXPECT_EQ(bx::kKindConnection, resend->kind);
    EXPECT_EQ(UserSid(), resend->sid);
    EXPECT_EQ(Ip(93, 184, 216, 34), resend->remote_ip);
    EXPECT_EQ(NetworkOrder(443), resend->remote_port);
    EXPECT_EQ(0u, resend->send_count);  // a new notification: a new request id
    pool_.Release(resend);
    EXPECT_EQ(queued, mgr_->Queue().Dequeue());
    pool_.Release(queued);

    CUserInfo info;
    EXPECT_EQ(bx::err::kNotFound, mgr_->Users().Get(3, info));
    EXPECT_EQ(bx::err::kNotFound, mgr_->Users().Get(4, info));
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(1u, log_->Count("UTM Resp: Enqueuing Unknown SessionId 3 packet again"));
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// Without a waiting notification, the connection the answer names must be
// one the agent reported in that session (the snooper's address table); the
// resend is then built from what the agent knows of it.
TEST_F(ConnCacheMgrTest, UnknownSessionResendsOnlyAConnectionReportedInThatSession) {
    MakeManager();
    ASSERT_EQ(0u, mgr_->RequestTable().Create());
    reported_.connection.kind = bx::kKindConnection;
    reported_.connection.operation = bx::kOperationClose;
    reported_.connection.protocol = bx::kProtocolTcp;
    reported_.connection.local_ip = Ip(198, 18, 0, 1);
    reported_.connection.local_port = NetworkOrder(49152);
    reported_.connection.session_id = 3;
    reported_.connection.sid = UserSid();

    // Another session, another port, another address, another protocol, a
    // waiting notification of another session, no SessionId: nothing.
    Waiting(801, 4);
    Datagram otherProtocol = UnknownSession(5, 3, 49152, Ip(198, 18, 0, 1));
    otherProtocol.U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, wire::kProtocolUdp));
    for (const Datagram& d :
         {UnknownSession(1, 4, 49152, Ip(198, 18, 0, 1)), UnknownSession(2, 3, 49153, Ip(198, 18, 0, 1)),
          UnknownSession(3, 3, 49152, Ip(198, 18, 0, 2)), otherProtocol,
          UnknownSession(801, 3, 49153, Ip(198, 18, 0, 1)), Datagram(6).Error(wire::kErrorUnknownSessionId)})
        EXPECT_EQ(bx::err::kInvalidData, Handle(d));
    EXPECT_EQ(0u, mgr_->Queue().Count());
    EXPECT_EQ(6u, mgr_->UnknownSessionsDropped());
    EXPECT_EQ(4u, log_->Count("UTM resp: 'Unknown SessionID' for a connection this agent did not report in SessionId "
                              "'3': nothing is sent again"));
    EXPECT_EQ(1u, log_->Count("UTM resp: 'Unknown Session ID' Error."));
    EXPECT_EQ(startFree_, pool_.FreeCount());

    // The reported one; the pool empty first.
    std::vector<send_data_t*> taken;
    ExhaustPool(taken);
    EXPECT_EQ(bx::err::kInvalidData, Handle(UnknownSession(7, 3, 49152, Ip(198, 18, 0, 1))));
    EXPECT_EQ(1u, log_->Count("Failed to allocate memory for dataStruct on 'Unknown UserId error'"));
    EXPECT_EQ(1u, log_->Count("UTM Resp: Cannot Enqueue Unknown SessionId 3 packet again"));
    for (send_data_t* r : taken) pool_.Release(r);
    ASSERT_EQ(0u, Handle(UnknownSession(8, 3, 49152, Ip(198, 18, 0, 1))));
    ASSERT_EQ(1u, mgr_->Queue().Count());
    send_data_t* resend = mgr_->Queue().Dequeue();
    EXPECT_EQ(bx::kKindConnection, resend->kind);
    EXPECT_EQ(bx::kOperationClose, resend->operation);
    EXPECT_EQ(UserSid(), resend->sid);
    EXPECT_EQ(0u, resend->remote_ip);  // not the answer's
    EXPECT_EQ(3u, resend->session_id);
    pool_.Release(resend);
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
}

TEST_F(ConnCacheMgrTest, DestinationRouteLocalTeachesSubnetsAndRanges) {
    MakeManager();
    ASSERT_EQ(0u, Handle(Datagram(0).Error(wire::kErrorDestinationRouteLocal)));
    EXPECT_TRUE(mgr_->Routes().Subnets().empty());
    EXPECT_TRUE(mgr_->Routes().Ranges().empty());
    ASSERT_EQ(0u, Handle(Datagram(0)
                             .Error(wire::kErrorDestinationRouteLocal)
                             .Pair(wire::kTlvSubnet, Ip(10, 0, 0, 0), Ip(255, 0, 0, 0))));
    ASSERT_EQ(0u, Handle(Datagram(0)
                             .Error(wire::kErrorDestinationRouteLocal)
                             .Pair(wire::kTlvSubnet, Ip(10, 1, 0, 0), Ip(255, 255, 0, 0))
                             .Pair(wire::kTlvIpRange, Ip(192, 168, 1, 10), Ip(192, 168, 1, 20))));
    // A subnet outside an answer of that code teaches nothing; nor does a
    // subnet value that is too short.
    ASSERT_EQ(0u, Handle(Datagram(0).Pair(wire::kTlvSubnet, Ip(172, 16, 0, 0), Ip(255, 240, 0, 0))));
    ASSERT_EQ(
        0u,
        Handle(
            Datagram(0).Error(wire::kErrorDestinationRouteLocal).Tlv(wire::kTlvSubnet, {172, 16, 0, 0, 255, 240, 0})));
    EXPECT_EQ((std::vector<bx::Subnet>{{Ip(10, 1, 0, 0), Ip(255, 255, 0, 0)}, {Ip(10, 0, 0, 0), Ip(255, 0, 0, 0)}}),
              mgr_->Routes().Subnets());
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(10, 2, 3, 4)));
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(11, 0, 0, 1)));
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(172, 16, 0, 1)));
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(192, 168, 1, 10)));
    EXPECT_TRUE(mgr_->IsLocalRoute(Ip(192, 168, 1, 20)));
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(192, 168, 1, 21)));
    EXPECT_EQ(2u, log_->Count("UTM:resp Inserting subnet tlv to table"));
    EXPECT_EQ(1u, log_->Count("UTM:resp Recvd range tlv:IP Start:'192.168.1.10' IP End:'192.168.1.20'"));
    EXPECT_EQ(5, Counter(bx::kResponsesProcessed));
}

TEST_F(ConnCacheMgrTest, LogoffOfAKnownSessionQueuesItsNotification) {
    MakeManager();
    const auto notify = [this](uint32_t id, const std::wstring& user, const std::wstring& domain) {
        return mgr_->SendLogoffNotification(id, user, domain);
    };
    sessions_.Add(7, L"dave", L"CORP");
    bx::HandleSessionChange(bx::kSessionLogoff, 8, sessions_, *mgr_, notify);  // never seen: nothing
    EXPECT_EQ(0u, mgr_->Queue().Count());
    bx::HandleSessionChange(bx::kSessionLogoff, 7, sessions_, *mgr_, notify);
    ASSERT_EQ(1u, mgr_->Queue().Count());
    send_data_t* logoff = mgr_->Queue().Dequeue();
    EXPECT_EQ(bx::kKindLogoff, logoff->kind);
    EXPECT_EQ(bx::kOperationClose, logoff->operation);
    EXPECT_EQ(0, logoff->protocol);
    EXPECT_EQ(0u, logoff->local_ip);
    EXPECT_EQ(0, logoff->local_port);
    EXPECT_EQ(7u, logoff->session_id);
    EXPECT_EQ(L"dave", logoff->user);
    EXPECT_EQ(L"CORP", logoff->domain);
    pool_.Release(logoff);

    std::vector<send_data_t*> taken;
    ExhaustPool(taken);
    EXPECT_EQ(bx::err::kNotEnoughMemory, mgr_->SendLogoffNotification(9, L"erin", L"CORP"));
    EXPECT_EQ(1u, log_->Count("Failed to allocate memory for logoff notification"));
    for (send_data_t* r : taken) pool_.Release(r);
}

TEST_F(ConnCacheMgrTest, ApplianceAddressRule) {
    MakeManager(L"127.0.0.2");
    ASSERT_EQ(0u, mgr_->Start());
    EXPECT_EQ(Ip(127, 0, 0, 2), mgr_->DestinationAddress());
    EXPECT_EQ(0u, mgr_->Stop());

    MakeManager(L"localhost");  // not a dotted quad: resolved
    ASSERT_EQ(0u, mgr_->Start());
    EXPECT_EQ(Ip(127, 0, 0, 1), mgr_->DestinationAddress());
    EXPECT_EQ(0u, mgr_->Stop());

    MakeManager(L"1.2.3.256");  // the form of a quad, but no address
    ASSERT_EQ(0u, mgr_->Start());
    EXPECT_EQ(0u, mgr_->DestinationAddress());
    EXPECT_TRUE(mgr_->DispatcherRunning());  // still sends (to 0.0.0.0)
    EXPECT_EQ(1u, log_->Count("Invalid UTM address '1.2.3.256'"));
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_FALSE(mgr_->DispatcherRunning());
    EXPECT_FALSE(mgr_->ListenerRunning());
}

TEST_F(ConnCacheMgrTest, WithoutPortNoThreadStarts) {
    MakeManager();
    bx::test::SettingsTest::TearDown();  // no settings at all: no port
    mgr_ = std::make_unique<CConnectionCacheMgr>(pool_, sessions_);
    mgr_->SetLogger(log_->Logger());
    ASSERT_EQ(0u, mgr_->Start());
    EXPECT_FALSE(mgr_->ListenerRunning());
    EXPECT_FALSE(mgr_->DispatcherRunning());
    EXPECT_EQ(1u, log_->Count("No port has been specified UTM Listner!!"));
    EXPECT_EQ(1u, log_->Count("No port has been specified for dispatching notification"));
    EXPECT_EQ(1u, mgr_->Queue().Count());  // the reset request waits
    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// ---- Over loopback: the agent answers itself ---------------------------------
// The listener is bound at the appliance's port on every local address, so
// with the appliance at 127.0.0.1 every datagram the dispatcher sends comes
// back to the listener: the reset request resets, and each notification
// acknowledges itself (its SessionId marks the session known).

TEST_F(ConnCacheMgrTest, LoopbackNotificationsAcknowledgeThemselves) {
    MakeManager(L"127.0.0.1");
    ASSERT_EQ(0u, mgr_->Start());
    ASSERT_TRUE(mgr_->ListenerRunning());
    ASSERT_TRUE(mgr_->DispatcherRunning());
    ASSERT_TRUE(bx::test::Eventually([&] { return log_->Count("UTM Resp: recvd Reset request from UTM.") == 1; }))
        << log_->Text();

    for (int i = 0; i < 2; ++i) {
        send_data_t* r = Record();
        r->kind = bx::kKindConnection;
        r->operation = bx::kOperationOpen;
        r->protocol = bx::kProtocolTcp;
        r->local_ip = Ip(127, 0, 0, 1);
        r->local_port = NetworkOrder(static_cast<uint16_t>(50000 + i));
        r->remote_ip = Ip(127, 0, 0, 9);
        r->remote_port = NetworkOrder(443);
        r->session_id = 3;
        r->sid = UserSid();
        ASSERT_EQ(0u, mgr_->Enqueue(r, false));
        ASSERT_TRUE(bx::test::Eventually([&] { return Counter(bx::kResponsesProcessed) == i + 1; })) << log_->Text();
    }
    EXPECT_EQ(0u, mgr_->RequestTable().Count());
    CUserInfo info;
    ASSERT_EQ(0u, mgr_->Users().Get(3, info));
    EXPECT_EQ(1, info.known);
    EXPECT_EQ(1u, log_->Count("HVNPkt: Encrypting pkt..."));  // the second went in clear

    // A close and a logoff: sent and counted; the logoff waits for its
    // answer (here its own echo), the close does not.
    send_data_t* close = Record();
    close->kind = bx::kKindConnection;
    close->operation = bx::kOperationClose;
    close->protocol = bx::kProtocolUdp;
    close->session_id = 3;
    close->sid = UserSid();
    mgr_->Enqueue(close, false);
    mgr_->SendLogoffNotification(3, L"alice", L"CORP");
    ASSERT_TRUE(bx::test::Eventually([&] { return Counter(bx::kNotificationsSent) == 4; })) << log_->Text();
    ASSERT_TRUE(bx::test::Eventually([&] { return mgr_->RequestTable().Count() == 0; })) << log_->Text();
    EXPECT_EQ(3u, log_->Count("HVNPkt: Added Id["));  // two opens and the logoff

    // The status record in the executable's directory.
    ASSERT_EQ(0u, mgr_->WriteStatusFile());
    std::wstring dir;
    ASSERT_EQ(0u, bx::host::ExecutableDirectory(dir));
    std::vector<uint8_t> bytes;
    ASSERT_EQ(0u, bx::files::ReadWholeFile(bx::files::JoinPath(dir, L"HVNConfig.xml"), bytes));
    bx::StatisticsSnapshot s;
    ASSERT_TRUE(bx::DecodeStatusRecord(bytes.data(), bytes.size(), s));
    EXPECT_EQ(4, s.counters[bx::kNotificationsSent]);
    EXPECT_EQ(2, s.counters[bx::kEnteredInRequestTable]);
    EXPECT_EQ(2, s.counters[bx::kClosesSent]);
    EXPECT_EQ(50000, s.counters[bx::kQueueCapacity]);
    EXPECT_EQ(0, s.counters[bx::kRequestTableCount]);
    EXPECT_EQ(0, s.counters[bx::kQueueDropped]);
    EXPECT_GE(s.counters[bx::kResponsesProcessed], 2);

    EXPECT_EQ(0u, mgr_->Stop());
    EXPECT_FALSE(mgr_->ListenerRunning());
    EXPECT_EQ(startFree_, pool_.FreeCount());
    EXPECT_EQ(1u, log_->Count("Exiting UTMlistner.."));
    EXPECT_EQ(1u, log_->Count("Exiting dispatch thread.."));
    EXPECT_EQ(1u, log_->Count("Stopping Retransmit thread"));
}

TEST_F(ConnCacheMgrTest, LoopbackPingIsAnsweredToItsSourcePort) {
    MakeManager(L"127.0.0.1");
    ASSERT_EQ(0u, mgr_->Start());
    bx::net::UdpSocket peer;
    ASSERT_EQ(0u, peer.Create());
    ASSERT_EQ(0u, peer.Bind(Ip(127, 0, 0, 1), 0));
    ASSERT_EQ(0u, peer.SetReceiveTimeout(10000));
    uint16_t peerPort = 0;
    ASSERT_EQ(0u, peer.LocalPort(peerPort));
    const Datagram ping = Datagram(0x01020304, wire::kMsgRequest).Flag(wire::kTlvPing);
    ASSERT_EQ(0u, peer.SendTo(ping.Bytes().data(), ping.Bytes().size(), Ip(127, 0, 0, 1), port_));
    uint8_t answer[1024];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    ASSERT_EQ(0u, peer.ReceiveFrom(answer, sizeof answer, received, from, fromPort)) << log_->Text();
    ASSERT_GE(received, 24u);
    EXPECT_EQ(0, answer[0]);  // NULL IV: in clear
    EXPECT_EQ(wire::kMsgResponse, answer[wire::kOffsetMessageType]);
    EXPECT_EQ(0x01020304u, wire::Get32(answer + wire::kOffsetRequestId));
    EXPECT_EQ(wire::kTlvPing, wire::Get16(answer + wire::kOffsetTlvArea));
    const uint16_t textLength = wire::Get16(answer + wire::kOffsetTlvArea + 2);
    const std::string text(reinterpret_cast<const char*>(answer) + 24, textLength);
    EXPECT_EQ(0u, text.rfind("Version: ", 0)) << text;
    EXPECT_EQ(0, Counter(bx::kNotificationsSent));  // answers are not notifications
    EXPECT_EQ(0u, mgr_->Stop());
}

// Only the appliance's address is answered. With the appliance at 127.0.0.2,
// datagrams from 127.0.0.1 (the agent's own reset request among them: the
// system sends it from 127.0.0.1) can neither acknowledge, reset, teach a
// route nor be answered as a ping; they are counted apart from the parse
// failures, the first one logged as an error and the rest at debug.
TEST_F(ConnCacheMgrTest, LoopbackDatagramsFromAStrangerChangeNothing) {
    MakeManager(L"127.0.0.2");
    ASSERT_EQ(0u, mgr_->Start());
    ASSERT_TRUE(bx::test::Eventually([&] { return mgr_->StrangerDatagrams() == 1; })) << log_->Text();
    mgr_->Users().Update(3, L"alice", L"CORP");
    ASSERT_EQ(0u, mgr_->Users().MarkKnown(3));
    Waiting(77);

    bx::net::UdpSocket stranger;
    ASSERT_EQ(0u, stranger.Create());
    ASSERT_EQ(0u, stranger.Bind(Ip(127, 0, 0, 1), 0));
    const std::vector<Datagram> hostile = {
        Datagram(77).SessionId(3),
        Datagram(78, wire::kMsgRequest).Flag(wire::kTlvReset),
        Datagram(79).Error(wire::kErrorDestinationRouteLocal).Pair(wire::kTlvSubnet, 0, 0),
        Datagram(80, wire::kMsgRequest).Flag(wire::kTlvPing),
    };
    for (const Datagram& d : hostile)
        ASSERT_EQ(0u, stranger.SendTo(d.Bytes().data(), d.Bytes().size(), Ip(127, 0, 0, 1), port_));
    ASSERT_TRUE(bx::test::Eventually([&] { return mgr_->StrangerDatagrams() == 1 + hostile.size(); })) << log_->Text();

    EXPECT_EQ(1u, mgr_->RequestTable().Count());
    CUserInfo info;
    ASSERT_EQ(0u, mgr_->Users().Get(3, info));
    EXPECT_EQ(1, info.known);
    EXPECT_TRUE(mgr_->Routes().Subnets().empty());
    EXPECT_FALSE(mgr_->IsLocalRoute(Ip(8, 8, 8, 8)));
    EXPECT_EQ(0, Counter(bx::kParseFailures));
    EXPECT_EQ(0, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(0u, log_->Count("recvd Reset request"));
    EXPECT_EQ(0u, log_->Count("recvd ping request"));
    EXPECT_EQ(0u, log_->Count("Sending response to UTM Ping"));
    // One error line for the sender, the later drops at debug.
    size_t errors = 0, debugs = 0;
    std::istringstream lines(log_->Text());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("UTMlistner dropped a datagram from 127.0.0.1:") == std::string::npos) continue;
        if (line.find("Error        \t") != std::string::npos) ++errors;
        if (line.find("Debug        \t") != std::string::npos) ++debugs;
    }
    EXPECT_EQ(1u, errors) << log_->Text();
    EXPECT_EQ(hostile.size(), debugs);

#ifndef _WIN32
    // The appliance's own acknowledgement still counts. (Under Wine a
    // datagram from a socket bound to 127.0.0.2 arrives as from 127.0.0.1,
    // so there the appliance's side is the other loopback cases, with the
    // appliance at 127.0.0.1.)
    bx::net::UdpSocket appliance;
    ASSERT_EQ(0u, appliance.Create());
    ASSERT_EQ(0u, appliance.Bind(Ip(127, 0, 0, 2), 0));
    const Datagram ack = Datagram(77).SessionId(3);
    ASSERT_EQ(0u, appliance.SendTo(ack.Bytes().data(), ack.Bytes().size(), Ip(127, 0, 0, 1), port_));
    ASSERT_TRUE(bx::test::Eventually([&] { return mgr_->RequestTable().Count() == 0; })) << log_->Text();
    EXPECT_EQ(1, Counter(bx::kResponsesProcessed));
    EXPECT_EQ(1 + hostile.size(), mgr_->StrangerDatagrams());
#endif
    EXPECT_EQ(0u, mgr_->Stop());
}

#ifndef _WIN32
// The platform's socket code calls setsockopt and recvmsg through the
// definitions below, which make the real calls: SO_REUSEADDR calls are
// counted, receives that may not wait are counted, and while receivesHeld is
// set a receive waits before it reads (a listener that does not get a core).
std::atomic<int> reuseAddressCalls{0};
std::atomic<int> receivesWithoutWait{0};
std::atomic<bool> receivesHeld{false};

}  // namespace

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    using Real = int (*)(int, int, int, const void*, socklen_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setsockopt"));
    if (level == SOL_SOCKET && name == SO_REUSEADDR) reuseAddressCalls.fetch_add(1);
    return real(fd, level, name, value, length);
}

extern "C" ssize_t recvmsg(int fd, msghdr* message, int flags) {
    using Real = ssize_t (*)(int, msghdr*, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "recvmsg"));
    for (int i = 0; i < 10000 && receivesHeld.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if ((flags & MSG_DONTWAIT) != 0) receivesWithoutWait.fetch_add(1);
    return real(fd, message, flags);
}

namespace {

// The listener sets its port's exclusiveness (address reuse off) once,
// before it binds; the datagrams it receives cost no socket option call.
TEST_F(ConnCacheMgrTest, ReceivedDatagramsCostNoSocketOptionCall) {
    MakeManager(L"127.0.0.1");
    const int beforeStart = reuseAddressCalls.load();
    ASSERT_EQ(0u, mgr_->Start());
    ASSERT_TRUE(bx::test::Eventually([&] { return log_->Count("UTM Resp: recvd Reset request from UTM.") == 1; }))
        << log_->Text();
    EXPECT_EQ(beforeStart + 1, reuseAddressCalls.load());

    bx::net::UdpSocket appliance;
    ASSERT_EQ(0u, appliance.Create());
    ASSERT_EQ(0u, appliance.Bind(Ip(127, 0, 0, 1), 0));
    constexpr int kAnswers = 20;
    for (int i = 0; i < kAnswers; ++i) {
        const Datagram answer = Datagram(1000 + i);  // acknowledges nothing the agent holds
        ASSERT_EQ(0u, appliance.SendTo(answer.Bytes().data(), answer.Bytes().size(), Ip(127, 0, 0, 1), port_));
    }
    ASSERT_TRUE(bx::test::Eventually([&] { return Counter(bx::kResponsesProcessed) == kAnswers; })) << log_->Text();
    EXPECT_EQ(beforeStart + 1, reuseAddressCalls.load());
    EXPECT_EQ(0u, mgr_->Stop());
}

// Answers that arrive while the listener waits for a core wait in its
// socket's buffer: a burst of 400 (more than Linux's default buffer holds)
// is taken whole once the listener reads again, and, coming that fast, most
// of it in runs after a pause rather than a wait for each.
TEST_F(ConnCacheMgrTest, AnswersWaitWhileTheListenerIsHeld) {
    MakeManager(L"127.0.0.1");
    ASSERT_EQ(0u, mgr_->Start());
    ASSERT_TRUE(bx::test::Eventually([&] { return log_->Count("UTM Resp: recvd Reset request from UTM."); }))
        << log_->Text();
    bx::net::UdpSocket appliance;
    ASSERT_EQ(0u, appliance.Create());
    ASSERT_EQ(0u, appliance.Bind(Ip(127, 0, 0, 1), 0));
    receivesHeld = true;
    // The receive already waiting takes the first answer; the rest wait.
    constexpr int kAnswers = 400;
    for (int i = 0; i < kAnswers; ++i) {
        const Datagram answer = Datagram(1000 + i);
        ASSERT_EQ(0u, appliance.SendTo(answer.Bytes().data(), answer.Bytes().size(), Ip(127, 0, 0, 1), port_));
    }
    receivesHeld = false;
    ASSERT_TRUE(
        bx::test::Eventually([&] { return Counter(bx::kResponsesProcessed) == kAnswers; }, std::chrono::seconds(5)))
        << Counter(bx::kResponsesProcessed) << " of " << kAnswers << " answers were processed";
    EXPECT_GT(receivesWithoutWait.load(), kAnswers / 2);
    EXPECT_EQ(0u, mgr_->Stop());
}
#endif

}  // namespace
