// CConnectionCacheMgr: everything the agent needs to talk to the appliance.
//
// It owns the two UDP sockets (the listener, bound at the appliance's port on
// every local address, and the unbound dispatcher), the listener, dispatcher
// and retransmit threads, the send queue "SendQ", the request table (inside
// CConnMgr), the session table CUserToID, the computer-name cache of the user
// classification, the local-route tables, the request-id counter and the
// statistics counters. Records come from and go back to the snooper's
// send-data pool; the session map is the snooper's.
//
// Threads:
// - listener: the only reader of the listener socket; hands every datagram
//   to HandleResponse.
// - dispatcher: the only consumer of the send queue and the only sender;
//   at each wake sends everything queued, one record at a time from the head:
//   builds each record's datagram, encrypts it when it carries names, enters
//   open notifications in the request table and sends. Under a sustained
//   load it pauses briefly between two runs (CWakePacer).
// - retransmit: scans the request table every 2 seconds and queues overdue
//   notifications again (or gives them up after Retries resends).
// Lock order: the request table's lock before the send queue's, never the
// reverse. No lock is held while sending.
//
// Datagrams are hostile input: anyone who can put the appliance's address on
// a datagram can send one. So the listener checks the sender before it logs
// anything about a datagram, and the lines that handling datagrams writes
// pass a CLogBurst (at most kDatagramLinesPerBurst lines a minute, then one
// line with the count left out): one for the listener, one for the
// dispatcher's ping answers. A ping is answered only while no answer waits
// in the send queue; a reset empties the session table at most once a
// second (one that comes sooner is kept and done when the second is over);
// an "Unknown SessionID" brings a resend only of a connection the agent
// reported in that session (CReportedConnections); too broad local routes
// are refused (CLocalRoutes).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "BXLogger.h"
#include "agent/appliance/data_queue.h"
#include "agent/appliance/hash_map2.h"
#include "agent/appliance/local_routes.h"
#include "agent/appliance/reported_connections.h"
#include "agent/appliance/status_file.h"
#include "agent/appliance/wake_pacer.h"
#include "agent/appliance/worker_thread.h"
#include "agent/identity/session_map.h"
#include "agent/identity/session_users.h"
#include "agent/identity/user_to_id.h"
#include "agent/protocol/packet_builder.h"
#include "agent/protocol/user_classifier.h"
#include "agent/records/buffer_pool.h"
#include "agent/settings/hvn_configuration.h"
#include "agent/settings/log_burst.h"
#include "agent/settings/log_impl.h"
#include "platform/event.h"
#include "platform/udp_socket.h"

class CHVNProtocolParser;

namespace bx {
// Bound of the wait for each thread when the manager stops.
constexpr uint32_t kThreadStopWaitMs = 5000;
// The dispatcher wakes at least this often; the retransmit scan runs this often.
constexpr uint32_t kDispatcherWaitMs = 5000;
constexpr uint32_t kRetransmitPeriodMs = 2000;
// Result of Stop when a thread did not end within its bound (ERROR_TIMEOUT).
constexpr uint32_t kErrorTimeout = 1460;
constexpr wchar_t kUtmLogFileName[] = L"HVNAgentUTM.log";
constexpr uint32_t kUtmLogMaxSize = 0x100000;
constexpr uint32_t kUtmLogFlags = 10;
// Senders other than the appliance whose first datagram is logged as an
// error; beyond this many distinct senders every drop is logged at debug.
constexpr size_t kMaxReportedStrangers = 1024;
// Lines about received datagrams: at most this many in a burst of this long.
constexpr uint32_t kDatagramLinesPerBurst = 10;
constexpr uint32_t kDatagramLineBurstMs = 60000;
// A reset request empties the session table at most once in this long.
constexpr uint32_t kSessionResetIntervalMs = 1000;

// The strict dotted-quad test of the appliance address: only digits and
// dots, exactly three dots, one to three digits in every group.
bool IsDottedQuad(const std::wstring& text);
}  // namespace bx

// The small member of the manager that owns the request table.
class CConnMgr : public CLogImpl {
public:
    explicit CConnMgr(CBufferPool& pool) : table_(pool) {}
    void SetLogger(CBXLogger* logger) override {
        CLogImpl::SetLogger(logger);
        table_.SetLogger(logger);
    }
    CHashMap2& Table() { return table_; }
    const CHashMap2& Table() const { return table_; }

private:
    CHashMap2 table_;
};

class CConnectionCacheMgr : public CLogImpl {
public:
    // Reads the appliance settings and resets the "HVNAgentUTM.log" file in
    // the executable's directory.
    CConnectionCacheMgr(CBufferPool& pool, SessionMap& sessions);
    ~CConnectionCacheMgr() override;
    CConnectionCacheMgr(const CConnectionCacheMgr&) = delete;
    CConnectionCacheMgr& operator=(const CConnectionCacheMgr&) = delete;

    // Passes the logger on to every part that logs.
    void SetLogger(CBXLogger* logger) override;

    // Creates the request table, starts Winsock, the sockets and the three
    // threads, and queues the reset request at the head of the send queue.
    // Failures are logged and leave the manager running without the failed
    // part; the result is 0.
    uint32_t Start();

    // Closes the send queue first (from then on every producer is refused
    // and its record goes straight back to the pool), then stops the
    // listener, the dispatcher and the retransmit thread in this order, each
    // with a bounded wait, then returns every record of the send queue and of
    // the request table to the pool. 0, or 1460 when a thread did not end
    // within its bound: the sockets, the events and the sockets library then
    // stay in use until the thread has ended (WaitForThreads, or the
    // destructor, which joins before it releases anything).
    uint32_t Stop();

    // Joins every thread without limit, then releases what a Stop that
    // returned 1460 had to leave to them. Nothing to do after a clean Stop.
    void WaitForThreads();
    // Waits up to `milliseconds` for every thread to end; true when none runs
    // any more (WaitForThreads then returns at once), false when one still
    // does.
    bool ThreadsEndWithin(uint32_t milliseconds);
    // Whether a thread outlived the last Stop's bound and is not joined yet.
    bool ThreadsOverran() const { return threadsOverran_; }

    // Hands a record to the send queue (the queue owns it from now on).
    // 0, 87 for a null record, or 1115 once stopping began (the record went
    // back to the pool).
    uint32_t Enqueue(send_data_t* record, bool atHead);

    // Queues the logoff notification of a session: 0, 8 when the pool has
    // no record, or 1115 once stopping began (nothing taken, nothing queued).
    uint32_t SendLogoffNotification(uint32_t sessionId, const std::wstring& user, const std::wstring& domain);

    // Handles one datagram from the appliance (listener thread): pings are
    // answered, a reset forgets every acknowledged session, anything else
    // acknowledges its request id. 0, or 13 when it could not be parsed or
    // an "Unknown SessionID" could not be handled.
    uint32_t HandleResponse(const uint8_t* bytes, size_t count, uint16_t senderPort);

    // Whether the appliance said that `address` (host order) needs no
    // notification.
    bool IsLocalRoute(uint32_t address) const { return routes_.IsLocalRoute(address); }

    // Where the resend after "Unknown SessionID" looks up what the agent
    // reported (the snooper's address table). Set before Start; none: only
    // the request table is asked.
    void SetReportedConnections(const CReportedConnections* reported) { reported_ = reported; }

    // Counters kept apart from the status record's: datagrams the listener
    // dropped because they did not come from the appliance's address; pings
    // left unanswered because an answer still waited; times a reset request
    // emptied the session table; "Unknown SessionID" answers for a
    // connection the agent did not report, which brought no resend.
    uint32_t StrangerDatagrams() const { return strangerDatagrams_.load(); }
    uint32_t PingsNotAnswered() const { return pingsNotAnswered_.load(); }
    uint32_t SessionTableResets() const { return sessionTableResets_.load(); }
    uint32_t UnknownSessionsDropped() const { return unknownSessionsDropped_.load(); }

    // The ten counters of the status record, each read under its own lock.
    void GetStatistics(bx::StatisticsSnapshot& snapshot) const;
    // Writes "HVNConfig.xml" into the executable's directory (the current
    // directory when that cannot be had). 0 or the system's error; the
    // caller ignores failures and the next request tries again.
    uint32_t WriteStatusFile() const;

    // ---- State, for the snooper, the host and tests ------------------------
    const CHVNConfiguration& Configuration() const { return config_; }
    // The appliance's address (host order; 0 until resolved or when it
    // could not be).
    uint32_t DestinationAddress() const { return destAddress_; }
    CUserToID& Users() { return users_; }
    CLocalRoutes& Routes() { return routes_; }
    CDataQueue& Queue() { return queue_; }
    CHashMap2& RequestTable() { return connMgr_.Table(); }
    bool ListenerRunning() const { return listenerThread_.Running(); }
    bool DispatcherRunning() const { return dispatcherThread_.Running(); }

    // The clock of the request table's times (seconds since 1970). Set it
    // before Start; tests move their own clock instead of sleeping.
    void SetClock(bx::SecondsClock clock) { clock_ = std::move(clock); }
    // The millisecond clock of the reset interval and the bursts of datagram
    // lines (a tick count; by default the host's). Set it before Start.
    void SetTickClock(CLogBurst::Clock clock) { ticks_ = std::move(clock); }
    // One retransmit scan now, as the retransmit thread makes every 2 s.
    void ScanRequestTable();

private:
    void ResolveApplianceAddress();
    void StartListener();
    void StartDispatcher();
    void QueueResetRequest();
    // Closes the sockets and events and ends the sockets library use once no
    // thread can use them any more.
    void ReleaseThreadResources();

    void ListenerLoop();
    // Handles what one receive of the listener gave: the datagram, or the
    // receive's error.
    void ListenerTake(const uint8_t* buffer, uint32_t error, size_t received, uint32_t fromAddress, uint16_t fromPort);
    // Whether a datagram from address:port (host order, port as a number)
    // is the appliance's; counts and logs the ones that are not.
    bool FromAppliance(uint32_t address, uint16_t port);
    void DispatcherLoop();
    void RetransmitLoop();
    // Takes the record at the head of the send queue (counted in `taken`) and
    // sends it; true when more records wait behind it.
    bool DispatchOne(uint32_t& taken);
    uint32_t Send(uint8_t* datagram, size_t length, bool encrypt, send_data_t* record, bool track);

    // Writes the count of datagram lines left out once their burst is over,
    // and empties the session table for a reset that had to wait. The
    // listener calls it at every wake, outside the datagram lines' gate.
    void ListenerHousekeeping();
    void AnswerPing(const CHVNProtocolParser& parser, uint16_t senderPort);
    void ResetSessions();
    // Empties the session table for a reset that waited, once its second is
    // over.
    void ResetIfWaiting();
    uint32_t HandleUnknownSession(const CHVNProtocolParser& parser, CPooledRecord& acknowledged);
    void LearnLocalRoute(const CHVNProtocolParser& parser);
    send_data_t* ReportedConnection(const CHVNProtocolParser& parser, uint32_t sessionId);
    send_data_t* NewRecord();

    CBufferPool& pool_;
    CHVNConfiguration config_;
    CBXLogger utmLogger_;
    bool utmLoggerReady_ = false;

    CDataQueue queue_;
    CConnMgr connMgr_;
    CUserToID users_;
    CUserClassifier classifier_;
    CLocalRoutes routes_;
    std::atomic<uint32_t> requestCounter_{1};
    CHVNPacketBuilder builder_;
    bx::SecondsClock clock_;
    CLogBurst::Clock ticks_;
    const CReportedConnections* reported_ = nullptr;

    bool started_ = false;
    bool winsockStarted_ = false;
    bool threadsOverran_ = false;
    bx::net::UdpSocket listener_;
    bx::net::UdpSocket dispatcher_;
    uint32_t destAddress_ = 0;
    uint16_t destPort_ = 0;
    std::atomic<bool> stopListener_{false};
    // Ends the dispatcher's run down the queue between two records (the
    // dispatcher stop event ends its wait).
    std::atomic<bool> stopDispatcher_{false};
    bx::sync::Event dispatcherStop_;
    bx::sync::Event queueNotEmpty_;
    bx::sync::Event retransmitStop_;
    CWorkerThread listenerThread_;
    CWorkerThread dispatcherThread_;
    CWorkerThread retransmitThread_;

    // Each touched by its own thread only.
    CWakePacer dispatcherPacer_;
    CWakePacer listenerPacer_;
    // Only the dispatcher thread builds into these.
    uint8_t buildBuffer_[bx::kBuildBufferSize];
    uint8_t smallBuffer_[bx::kSmallBuildBufferSize];

    std::atomic<uint32_t> notificationsSent_{0};
    std::atomic<uint32_t> enteredInTable_{0};
    std::atomic<uint32_t> closesSent_{0};
    std::atomic<uint32_t> responsesProcessed_{0};
    std::atomic<uint32_t> parseFailures_{0};
    std::atomic<uint32_t> strangerDatagrams_{0};
    std::atomic<uint32_t> pingsNotAnswered_{0};
    std::atomic<uint32_t> sessionTableResets_{0};
    std::atomic<uint32_t> unknownSessionsDropped_{0};
    // Only the listener thread touches these.
    std::unordered_set<uint32_t> reportedStrangers_;
    CLogBurst datagramLines_;
    bool sessionsReset_ = false;  // the table was emptied by a reset at lastSessionReset_
    uint32_t lastSessionReset_ = 0;
    bool resetWaiting_ = false;
    // Only the dispatcher thread touches this: the lines of ping answers.
    CLogBurst pingAnswerLines_;
};
