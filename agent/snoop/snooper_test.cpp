// The Snooper's record handling: driver records into send-data records in the
// connection manager's send queue (the manager is not started, so the queue
// is read back as the dispatcher would take it), the address table, and the
// session-change path. Accounts come from the platform (the security API
// under Wine, the accounts table natively; see snooper_*_test.cpp).
#include "tests/support/snooper_fixture.h"

#include "agent/protocol/wire.h"
#include "platform/errors.h"
#include "tests/support/datagrams.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace bx::test;

TEST_F(SnooperTest, OpenThenCleanupQueueAnOpenAndACloseOfThatConnection) {
    snoop_event_t open = OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid());
    open.protocol = SNOOP_PROTOCOL_UDP;
    Handle(open);

    send_data_t* record = Take();
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(bx::kOperationOpen, record->operation);
    EXPECT_EQ(bx::kProtocolUdp, record->protocol);
    EXPECT_EQ(kLocal, record->local_ip);
    EXPECT_EQ(NetPort(kLocalPort), record->local_port);
    EXPECT_EQ(kRemote, record->remote_ip);
    EXPECT_EQ(NetPort(kRemotePort), record->remote_port);
    EXPECT_EQ(2u, record->session_id);
    EXPECT_EQ(bx::kKindConnection, record->kind);
    EXPECT_TRUE(record->sid == UserSid());
    EXPECT_EQ(UserSid().AccountName(), record->sid.AccountName());
    Release(record);

    const AddressEntry& entry =
        snooper->Addresses().At(Snooper::AddressKey(kLocal, NetPort(kLocalPort), SNOOP_PROTOCOL_UDP));
    EXPECT_TRUE(entry.in_use);
    EXPECT_EQ(0x1001u, entry.file_object);

    // A clean-up carries only the address and its file object.
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    record = Take();
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(bx::kOperationClose, record->operation);
    EXPECT_EQ(bx::kProtocolUdp, record->protocol);
    EXPECT_EQ(kLocal, record->local_ip);
    EXPECT_EQ(NetPort(kLocalPort), record->local_port);
    EXPECT_EQ(0u, record->remote_ip);
    EXPECT_EQ(0u, record->remote_port);
    EXPECT_EQ(2u, record->session_id);
    EXPECT_EQ(bx::kKindConnection, record->kind);
    EXPECT_TRUE(record->sid == UserSid());
    Release(record);
    EXPECT_FALSE(snooper->Addresses().At(Snooper::AddressKey(kLocal, NetPort(kLocalPort), SNOOP_PROTOCOL_UDP)).in_use);
    EXPECT_EQ(0u, Queued());

    EXPECT_EQ(1u, log.Count("handleOpenAddress: Queuing Pkt for Dispatching"));
    EXPECT_EQ(1u, log.Count("handleCleanupAddress: Queuing Pkt for Dispatching"));
}

TEST_F(SnooperTest, OpenLinesNameTheConnectionAndItsUser) {
    snoop_event_t open = OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid());
    open.process_id = 4242;
    open.pending = 3;
    Handle(open);
    Handle(CleanupRecord(kLocal, kLocalPort, 0xABC));
    Release(Take());
    Release(Take());

    const CSid& sid = UserSid();
    std::string user = AsciiText(sid.AccountName()), domain = AsciiText(sid.Domain()), text = AsciiText(sid.String());
    std::string all = log.Text();
    EXPECT_NE(std::string::npos, all.find("\thandleOpenAddress: TCP 10.1.2.3:49152 " + user + "@" + domain + " [" +
                                          text + "] pid = 4242, pending = 3, fileobj = 0x1001\n"))
        << all;
    EXPECT_NE(std::string::npos,
              all.find("\thandleOpenAddress: Remote IP Address: '93.184.216.34:443' SessionId: '2' \n"))
        << all;
    // The clean-up line shows the clean-up's own file object.
    EXPECT_NE(std::string::npos, all.find("\thandleCleanupAddress: TCP 10.1.2.3:49152 fileobj = 0xabc\n")) << all;
}

TEST_F(SnooperTest, LoopbackOpensSendNothingAndLeaveTheTableAlone) {
    Handle(OpenRecord(0x7F000001u, 5353, kRemote, kRemotePort, 2, 0x1002, UserSid()));
    EXPECT_EQ(0u, Queued());
    EXPECT_TRUE(snooper->Addresses().Empty());
    Handle(CleanupRecord(0x7F000001u, 5353, 0x1002));
    EXPECT_EQ(0u, Queued());
    // Only 127.0.0.1 itself is skipped.
    Handle(OpenRecord(0x7F000002u, 5353, kRemote, kRemotePort, 2, 0x1003, UserSid()));
    EXPECT_EQ(1u, Queued());
}

TEST_F(SnooperTest, SecondOpenOfAnAddressReplacesTheUserAndOneCleanupClosesIt) {
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    Handle(OpenRecord(kLocal, kLocalPort, kRemote2, 8080, 5, 0x2002, OtherSid()));
    EXPECT_EQ(1u, log.Count("\thandleOpenAddress: 10.1.2.3:49152 is already in use for fileobj 0x1001\n"))
        << log.Text();
    EXPECT_EQ(2u, Queued());
    Release(Take());
    Release(Take());

    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));  // the old file object: still ends the address
    send_data_t* record = Take();
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(bx::kOperationClose, record->operation);
    EXPECT_TRUE(record->sid == OtherSid());
    EXPECT_EQ(5u, record->session_id);
    Release(record);
    Handle(CleanupRecord(kLocal, kLocalPort, 0x2002));
    EXPECT_EQ(0u, Queued());
}

// TCP and UDP on one local address and port are two connections: each
// clean-up closes its own, with its own protocol and user.
TEST_F(SnooperTest, TcpAndUdpOnOneAddressAreTwoEntries) {
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    snoop_event_t udp = OpenRecord(kLocal, kLocalPort, kRemote2, 53, 5, 0x2002, OtherSid());
    udp.protocol = SNOOP_PROTOCOL_UDP;
    Handle(udp);
    EXPECT_EQ(0u, log.Count("is already in use"));
    Release(Take());
    Release(Take());

    for (const auto& [file, protocol, session] :
         {std::tuple{0x1001, bx::kProtocolTcp, 2u}, std::tuple{0x2002, bx::kProtocolUdp, 5u}}) {
        Handle(CleanupRecord(kLocal, kLocalPort, file));  // no protocol in a clean-up
        send_data_t* close = Take();
        ASSERT_NE(nullptr, close);
        EXPECT_EQ(bx::kOperationClose, close->operation);
        EXPECT_EQ(protocol, close->protocol);
        EXPECT_EQ(session, close->session_id);
        EXPECT_TRUE(close->sid == (session == 2 ? UserSid() : OtherSid()));
        Release(close);
        Handle(CleanupRecord(kLocal, kLocalPort, file));  // ended already: not the other one
        EXPECT_EQ(0u, Queued());
    }
}

// "Unknown SessionID" through the real address table: a resend names the
// user only of a connection the snooper reported in that session, with the
// protocol it was reported with.
TEST_F(SnooperTest, UnknownSessionIsResentOnlyForAReportedConnection) {
    namespace wire = bx::wire;
    CConnectionCacheMgr& mgr = snooper->ConnectionManager();
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    Release(Take());
    auto unknown = [&](uint32_t session, uint8_t protocol) {
        const Datagram answer = Datagram(99)
                                    .Error(wire::kErrorUnknownSessionId)
                                    .U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, protocol))
                                    .U16(wire::kTlvPort, kLocalPort)
                                    .U8(wire::kTlvNumIps, 1)
                                    .U32(wire::kTlvIp, kLocal)
                                    .SessionId(session);
        return mgr.HandleResponse(answer.Bytes().data(), answer.Bytes().size(), 4711);
    };
    EXPECT_EQ(bx::err::kInvalidData, unknown(5, wire::kProtocolTcp));  // another session
    EXPECT_EQ(bx::err::kInvalidData, unknown(2, wire::kProtocolUdp));  // another protocol
    EXPECT_EQ(0u, Queued());
    ASSERT_EQ(0u, unknown(2, wire::kProtocolTcp));
    send_data_t* resend = Take();
    ASSERT_NE(nullptr, resend);
    EXPECT_EQ(bx::kKindConnection, resend->kind);
    EXPECT_EQ(bx::kOperationOpen, resend->operation);
    EXPECT_TRUE(resend->sid == UserSid());
    EXPECT_EQ(kRemote, resend->remote_ip);
    Release(resend);
    EXPECT_EQ(2u, mgr.UnknownSessionsDropped());

    // An open the pool could not report was not reported.
    std::vector<void*> taken;
    while (void* storage = snooper->Pool().Allocate()) taken.push_back(storage);
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1002, UserSid()));
    for (void* storage : taken) snooper->Pool().Release(CBufferPool::Prepare(storage));
    EXPECT_EQ(bx::err::kInvalidData, unknown(2, wire::kProtocolTcp));
    EXPECT_EQ(0u, Queued());
}

// The listener reads the address table while the service thread changes it.
TEST_F(SnooperTest, AddressTableReadByTheListenerWhileRecordsArrive) {
    namespace wire = bx::wire;
    std::atomic<bool> done{false};
    std::thread listener([&] {
        struct Quiet : bx::LogGate {
            bool Admit(uint32_t) override { return false; }
        } quiet;
        bx::ScopedLogGate gate(quiet);  // the lines are not what this case is about
        const Datagram answer = Datagram(99)
                                    .Error(wire::kErrorUnknownSessionId)
                                    .U8(wire::kTlvProtOp, wire::ProtOpByte(wire::kOperationOpen, wire::kProtocolTcp))
                                    .U16(wire::kTlvPort, kLocalPort)
                                    .U8(wire::kTlvNumIps, 1)
                                    .U32(wire::kTlvIp, kLocal)
                                    .SessionId(2);
        while (!done) snooper->ConnectionManager().HandleResponse(answer.Bytes().data(), answer.Bytes().size(), 4711);
    });
    for (int i = 0; i < 300; ++i) {
        Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, i, i % 2 ? UserSid() : OtherSid()));
        Handle(CleanupRecord(kLocal, kLocalPort, i));
        while (send_data_t* record = Take()) Release(record);
    }
    done = true;
    listener.join();
    while (send_data_t* record = Take()) Release(record);
}

TEST_F(SnooperTest, CleanupsOfAddressesNotOpenSendNothing) {
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    EXPECT_EQ(0u, Queued());
    EXPECT_TRUE(snooper->Addresses().Empty());  // a clean-up never makes an entry

    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    EXPECT_EQ(2u, Queued());  // one open, one close
    // Another port of the same address is another entry.
    Handle(CleanupRecord(kLocal, kLocalPort + 1, 0x1001));
    EXPECT_EQ(2u, Queued());
}

TEST_F(SnooperTest, UnknownEventTypesAreIgnored) {
    snoop_event_t record = OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid());
    for (uint32_t type : {2u, 7u, 0xFFFFFFFFu}) {
        record.event_type = type;
        EXPECT_EQ(1, HandleThroughBuffer(record));
    }
    EXPECT_EQ(0u, Queued());
    EXPECT_TRUE(snooper->Addresses().Empty());
}

TEST_F(SnooperTest, OpensTowardsLocalRoutesSendNothing) {
    auto& routes = snooper->ConnectionManager().Routes();
    routes.AddSubnet(0x0A140000u, 0xFFFF0000u);  // 10.20.0.0/16
    routes.AddRange(0xC0A8010Au, 0xC0A80114u);   // 192.168.1.10-192.168.1.20
    Handle(OpenRecord(kLocal, kLocalPort, 0x0A140101u, 443, 2, 0x1001, UserSid()));
    Handle(OpenRecord(kLocal, kLocalPort + 1, 0xC0A80114u, 443, 2, 0x1002, UserSid()));
    EXPECT_EQ(0u, Queued());
    EXPECT_TRUE(snooper->Addresses().Empty());
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    EXPECT_EQ(0u, Queued());
    // Just outside both.
    Handle(OpenRecord(kLocal, kLocalPort, 0x0A150101u, 443, 2, 0x1003, UserSid()));
    Handle(OpenRecord(kLocal, kLocalPort + 1, 0xC0A80115u, 443, 2, 0x1004, UserSid()));
    EXPECT_EQ(2u, Queued());
}

TEST_F(SnooperTest, AnInvalidSidDropsTheOpenWithAWarning) {
    snoop_event_t record = OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid());
    std::memset(record.sid, 0, sizeof record.sid);
    EXPECT_EQ(1, HandleThroughBuffer(record));
    EXPECT_EQ(0u, Queued());
    EXPECT_TRUE(snooper->Addresses().Empty());
    EXPECT_EQ(1u, log.Count("\tSID throws exception Error:1337\n")) << log.Text();
    EXPECT_EQ(0u, log.Count("caught Exception"));
}

TEST_F(SnooperTest, AnEmptyPoolDropsTheOpenAndItsCleanup) {
    // Take every record the pool can give.
    std::vector<void*> taken;
    while (void* storage = snooper->Pool().Allocate()) taken.push_back(storage);
    ASSERT_FALSE(taken.empty());

    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(1u, log.Count("\thandleOpenAddress: could not allocate send data, FileObj:=0x1001\n")) << log.Text();
    EXPECT_FALSE(snooper->Addresses().At(Snooper::AddressKey(kLocal, NetPort(kLocalPort), SNOOP_PROTOCOL_TCP)).in_use);

    for (void* storage : taken) snooper->Pool().Release(CBufferPool::Prepare(storage));
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    EXPECT_EQ(0u, Queued());

    // An open that gets its record, then a clean-up that does not.
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    send_data_t* open = Take();
    ASSERT_NE(nullptr, open);
    taken.clear();
    while (void* storage = snooper->Pool().Allocate()) taken.push_back(storage);
    Handle(CleanupRecord(kLocal, kLocalPort, 0x1001));
    EXPECT_EQ(1u, log.Count("\thandleCleanupAddress: could not allocate send data, FileObj:=0x1001\n")) << log.Text();
    EXPECT_FALSE(snooper->Addresses().At(Snooper::AddressKey(kLocal, NetPort(kLocalPort), SNOOP_PROTOCOL_TCP)).in_use);
    for (void* storage : taken) snooper->Pool().Release(CBufferPool::Prepare(storage));
    Release(open);
}

TEST_F(SnooperTest, SessionLogonThenLogoffQueuesTheLogoffNotification) {
    SetSessionUser(3, L"carol", L"CORP");
    snooper->OnSessionChange(bx::kSessionLogon, 3);
    std::wstring user, domain;
    ASSERT_EQ(0u, snooper->Sessions().Lookup(3, user, domain));
    EXPECT_EQ(0u, Queued());

    snooper->OnSessionChange(bx::kSessionLogoff, 3);
    send_data_t* record = Take();
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(bx::kKindLogoff, record->kind);
    EXPECT_EQ(bx::kOperationClose, record->operation);
    EXPECT_EQ(3u, record->session_id);
    EXPECT_EQ(user, record->user);
    EXPECT_EQ(domain, record->domain);
    Release(record);
    EXPECT_EQ(1168u, snooper->Sessions().Lookup(3, user, domain));

    // A session never seen, and codes other than logon and logoff.
    snooper->OnSessionChange(bx::kSessionLogoff, 9);
    for (uint32_t code : {1u, 2u, 3u, 4u, 7u, 8u, 9u}) snooper->OnSessionChange(code, 3);
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(1168u, snooper->Sessions().Lookup(3, user, domain));
}

// Session changes arrive on the control handler's thread while the service
// thread handles records: both feed the same send queue and pool.
TEST_F(SnooperTest, SessionChangesRaceRecordHandlingSafely) {
    SetSessionUser(4, L"dave", L"CORP");
    constexpr int kRounds = 300;
    std::atomic<bool> go{false};
    std::thread control([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            snooper->OnSessionChange(bx::kSessionLogon, 4);
            snooper->OnSessionChange(bx::kSessionLogoff, 4);
        }
    });
    go = true;
    for (int i = 0; i < kRounds; ++i) {
        Handle(OpenRecord(kLocal, static_cast<uint16_t>(1000 + i), kRemote, kRemotePort, 2, i, UserSid()));
        Handle(CleanupRecord(kLocal, static_cast<uint16_t>(1000 + i), i));
    }
    control.join();
    uint32_t opens = 0, closes = 0, logoffs = 0;
    while (send_data_t* record = Take()) {
        if (record->kind == bx::kKindLogoff)
            ++logoffs;
        else if (record->operation == bx::kOperationOpen)
            ++opens;
        else
            ++closes;
        Release(record);
    }
    EXPECT_EQ(static_cast<uint32_t>(kRounds), opens);
    EXPECT_EQ(static_cast<uint32_t>(kRounds), closes);
    EXPECT_EQ(static_cast<uint32_t>(kRounds), logoffs);
}

// Stopping with a thread that overruns its bound: the dispatcher is held
// inside its send (the request table's clock blocks) while the connection
// manager stops. The stop gives up on it after its bound (1460), the pool and
// the sockets library stay, every producer is refused, and when the thread
// goes on it hands its record back into a live pool. (Freeing the pool right
// after the stop, as the host once did, makes that release a use after free:
// AddressSanitizer reports it in the native ASan build.)
TEST_F(SnooperTest, StopWithAnOverrunningThreadKeepsThePoolUntilTheThreadEnds) {
    snooper.reset();
    String(L"ip", L"127.0.0.1");
    Dword(L"port", FreeUdpPort());
    snooper = std::make_unique<Snooper>();
    snooper->SetLogger(log.Logger());

    std::mutex lock;
    std::condition_variable changed;
    bool inSend = false, release = false;
    snooper->ConnectionManager().SetClock([&]() -> int64_t {
        std::unique_lock<std::mutex> guard(lock);
        inSend = true;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
        return 1000;
    });
    ASSERT_EQ(0u, snooper->Initialise());
    Handle(OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid()));
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return inSend; }));
    }

    EXPECT_EQ(1460u, snooper->StopConnections());
    EXPECT_TRUE(snooper->ConnectionManager().ThreadsOverran());
    EXPECT_GT(snooper->Pool().SegmentCount(), 0u);
    EXPECT_EQ(1u, log.Count("Stopping the connection manager left a thread running Error: 1460")) << log.Text();

    // Producers are refused while the thread still runs: nothing is queued,
    // nothing taken from the pool for good.
    const uint32_t freeWhileStopping = snooper->Pool().FreeCount();
    Handle(OpenRecord(kLocal, kLocalPort + 1, kRemote, kRemotePort, 2, 0x1002, UserSid()));
    Handle(CleanupRecord(kLocal, kLocalPort + 1, 0x1002));
    EXPECT_EQ(bx::err::kShutdownInProgress, snooper->ConnectionManager().SendLogoffNotification(2, L"alice", L"CORP"));
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(freeWhileStopping, snooper->Pool().FreeCount());
    // A bounded wait for the held thread gives up (the service's end then
    // ends the process rather than wait for ever).
    EXPECT_FALSE(snooper->ConnectionManager().ThreadsEndWithin(50));

    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    changed.notify_all();
    EXPECT_TRUE(snooper->ConnectionManager().ThreadsEndWithin(30000));
    snooper->ConnectionManager().WaitForThreads();
    EXPECT_FALSE(snooper->ConnectionManager().ThreadsOverran());
    // The dispatcher's record came back: every record is home (the pool may
    // have shrunk by its whole free segments meanwhile).
    CBufferPool& pool = snooper->Pool();
    EXPECT_EQ(pool.SegmentCount() * pool.Settings().objectsPerSegment, pool.FreeCount());
}

// Once the host began stopping, session changes are ignored with a debug
// line: a logoff queues nothing.
TEST_F(SnooperTest, SessionChangesAfterStoppingBeganAreIgnored) {
    SetSessionUser(5, L"erin", L"CORP");
    snooper->OnSessionChange(bx::kSessionLogon, 5);
    snooper->RefuseSessionChanges();
    snooper->OnSessionChange(bx::kSessionLogoff, 5);
    EXPECT_EQ(0u, Queued());
    EXPECT_EQ(1u, log.Count("Session change 6 of SessionID:'5' ignored: the agent is stopping")) << log.Text();
    std::wstring user, domain;
    EXPECT_EQ(0u, snooper->Sessions().Lookup(5, user, domain));  // untouched
}

}  // namespace
