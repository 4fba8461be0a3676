#include "agent/appliance/conn_cache_mgr.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <thread>

#include "agent/crypto/des.h"
#include "agent/protocol/protocol_parser.h"
#include "agent/protocol/wire.h"
#include "platform/dotted_quad.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host_facts.h"

namespace {

// Receive buffer of the listener: the longest datagram the agent reads.
constexpr size_t kListenBufferSize = bx::wire::kMaxDatagramSize;
// After a receive error other than the time-out the listener pauses this
// long, so that an error that persists cannot spin the thread.
constexpr auto kReadErrorPause = std::chrono::milliseconds(100);
// The listener socket's receive buffer: the appliance's answers wait there
// while the listener waits for a core, and one that finds it full is lost
// (its notification is then sent again TimeOut seconds later). 4 MiB holds
// about 5,000 answers (Linux counts about 830 bytes for each), a quarter of
// a second at 20,000 connections/s; Linux's default buffer holds 256.
constexpr uint32_t kListenerReceiveBuffer = 4u << 20;

}  // namespace

namespace bx {

bool IsDottedQuad(const std::wstring& text) {
    size_t dots = 0;
    size_t digits = 0;
    for (wchar_t c : text) {
        if (c == L'.') {
            if (digits == 0) return false;  // empty group
            ++dots;
            digits = 0;
        } else if (c >= L'0' && c <= L'9') {
            if (++digits > 3) return false;
        } else {
            return false;
        }
    }
    return dots == 3 && digits > 0;  // no trailing dot
}

}  // namespace bx

CConnectionCacheMgr::CConnectionCacheMgr(CBufferPool& pool, SessionMap& sessions)
    : pool_(pool),
      queue_(L"SendQ", SendQueueCapacity(), pool),
      connMgr_(pool),
      classifier_(sessions),
      builder_(users_, classifier_, requestCounter_),
      clock_(bx::SystemSeconds),
      ticks_(bx::host::TickCount),
      datagramLines_(bx::kDatagramLinesPerBurst, bx::kDatagramLineBurstMs, [this] { return ticks_(); }),
      pingAnswerLines_(bx::kDatagramLinesPerBurst, bx::kDatagramLineBurstMs, [this] { return ticks_(); }) {
    // The manager's own log file starts empty at every start of the agent.
    const std::wstring path = bx::files::PathBesideExecutable(bx::kUtmLogFileName);
    bx::files::DeleteFileAt(path);
    if (utmLogger_.Init() == 0) {
        utmLoggerReady_ = true;
        utmLogger_.AddFile(path.c_str(), bx::kUtmLogMaxSize, bx::kUtmLogFlags);
    }
}

CConnectionCacheMgr::~CConnectionCacheMgr() {
    if (started_) Stop();
    // A thread that overran its bound in Stop is waited for here, before
    // anything it uses goes away.
    WaitForThreads();
    queue_.Empty();
    connMgr_.Table().Empty();
    users_.RemoveAll();
    if (utmLoggerReady_) utmLogger_.Cleanup();
}

void CConnectionCacheMgr::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    users_.SetLogger(logger);
    queue_.SetLogger(logger);
    connMgr_.SetLogger(logger);
    config_.SetLogger(logger);
    classifier_.SetLogger(logger);
    routes_.SetLogger(logger);
    builder_.SetLogger(logger);
}

// ---- Start and stop -----------------------------------------------------------

uint32_t CConnectionCacheMgr::Start() {
    if (started_) return 0;
    // A thread of an earlier start that overran its stop is ended first: the
    // sockets and events are made anew below.
    WaitForThreads();
    started_ = true;
    queue_.Open();
    LogInfo(L"HVN Parameters: IP:'%ls'  Port: '%d'", config_.Address().c_str(), static_cast<int>(config_.Port()));

    if (uint32_t error = connMgr_.Table().Create())
        LogError(L"Failed to create the request table Error:'%d'", static_cast<int>(error));

    if (uint32_t error = bx::net::Startup()) {
        LogError(L"Winsock Startup failed Error:'%d'", static_cast<int>(error));
    } else {
        winsockStarted_ = true;
        LogInfo(L"Winsock Initialized");
    }

    stopListener_ = false;
    stopDispatcher_ = false;
    for (bx::sync::Event* event : {&dispatcherStop_, &queueNotEmpty_, &retransmitStop_}) {
        if (uint32_t error = event->Create(bx::sync::ResetMode::Manual))
            LogError(L"Failed to create event Error:'%d'", static_cast<int>(error));
    }

    // The appliance's address is known before the listener starts: the
    // listener accepts datagrams from that address only.
    if (config_.HasPort()) ResolveApplianceAddress();
    StartListener();
    StartDispatcher();
    QueueResetRequest();
    return 0;
}

void CConnectionCacheMgr::ResolveApplianceAddress() {
    destPort_ = config_.UdpPort();
    destAddress_ = 0;
    const std::wstring& text = config_.Address();
    if (bx::IsDottedQuad(text)) {
        uint32_t address = 0;
        bool valid = true;
        size_t at = 0;
        for (int group = 0; group < 4; ++group) {
            uint32_t value = 0;
            while (at < text.size() && text[at] != L'.') value = value * 10 + static_cast<uint32_t>(text[at++] - L'0');
            ++at;
            if (value > 255) valid = false;
            address = address << 8 | (value & 0xFF);
        }
        // A group above 255 names no address; the datagrams stay
        // addressed to 0.0.0.0 rather than to a guessed one.
        if (valid)
            destAddress_ = address;
        else
            LogError(L"Invalid UTM address '%ls': a group is greater than 255", text.c_str());
    } else {
        uint32_t address = 0;
        if (uint32_t error = bx::net::ResolveHostName(text, address))
            LogError(L"failed to convert hostname to a IP: reason = %ld\n", static_cast<long>(error));
        else
            destAddress_ = address;
    }
}

void CConnectionCacheMgr::StartListener() {
    bool ok = false;
    if (!config_.HasPort()) {
        LogError(L"No port has been specified UTM Listner!!");
    } else if (uint32_t error = listener_.Create()) {
        LogError(L"Failed to create UTM Listner socket Error:'%d'", static_cast<int>(error));
    } else {
        if (uint32_t error = listener_.SetReceiveTimeout(config_.TimeOut() * 1000u))
            LogError(L"Failed to Set SocketOptions Error:'%d'", static_cast<int>(error));
        if (uint32_t error = listener_.SetReceiveBuffer(kListenerReceiveBuffer))
            LogWarning(L"Failed to set the UTM Listner's receive buffer to %u bytes Error:'%d'",
                       static_cast<unsigned>(kListenerReceiveBuffer), static_cast<int>(error));
        // The appliance's answers and pings come to this port: no other
        // socket, of another user least of all, may bind it too (a more
        // specific address would take them).
        if (uint32_t error = listener_.SetExclusiveAddress())
            LogError(L"Failed to set Socket Options Error:'%d'", static_cast<int>(error));
        if (uint32_t error = listener_.Bind(bx::net::kAnyAddress, config_.UdpPort())) {
            LogError(L"Failed to bind UTM socket Error:'%d'", static_cast<int>(error));
            listener_.Close();
        } else {
            ok = true;
        }
    }
    if (!ok) {
        LogError(L"listener thread will NOT be started..");
        return;
    }
    LogInfo(L"UTM Socket Created successfully!!");
    LogInfo(L"Starting UTM Listner...");
    if (uint32_t error = listenerThread_.Start([this] { ListenerLoop(); }))
        LogError(L"Failed to start the UTM Listner thread Error:'%d'", static_cast<int>(error));
}

void CConnectionCacheMgr::StartDispatcher() {
    bool ok = false;
    if (!config_.HasPort()) {
        LogError(L"No port has been specified for dispatching notification");
    } else if (uint32_t error = dispatcher_.Create()) {
        LogError(L"Failed to create UTM Listner socket Error:'%d'", static_cast<int>(error));
    } else {
        if (uint32_t error = dispatcher_.SetReceiveTimeout(config_.TimeOut() * 1000u))
            LogError(L"Failed to Set SocketOptions Error:'%d'", static_cast<int>(error));
        ok = true;
    }
    if (!ok) {
        LogError(L"dispatcher thread will NOT be started..");
        return;
    }
    queue_.AttachEvent(&queueNotEmpty_);
    LogInfo(L"UTM Dispatcher Socket Created successfully!!");
    if (uint32_t error = retransmitThread_.Start([this] { RetransmitLoop(); }))
        LogError(L"Failed to start the Retransmit thread Error:'%d'", static_cast<int>(error));
    if (uint32_t error = dispatcherThread_.Start([this] { DispatcherLoop(); }))
        LogError(L"Failed to start the dispatch thread Error:'%d'", static_cast<int>(error));
}

void CConnectionCacheMgr::QueueResetRequest() {
    send_data_t* record = NewRecord();
    if (!record) {
        LogError(L"Could not enqueue Reset Request for UTM...");
        return;
    }
    record->kind = bx::kKindResetRequest;
    queue_.Enqueue(record, true);
}

uint32_t CConnectionCacheMgr::Stop() {
    if (!started_) return 0;
    uint32_t result = 0;
    // Producers are refused from here on (a session logoff on the control
    // thread, a retransmission, a ping answer): nothing is queued that the
    // emptying below would miss.
    queue_.Close();
    LogInfo(L"ConMgr::Cleanup..");
    stopListener_ = true;
    LogInfo(L"ConMgr::Stopping UTM Listner..");
    listener_.Shutdown();
    if (!listenerThread_.WaitFor(bx::kThreadStopWaitMs)) {
        LogError(L"ConMgr::UTM Listner did not stop within %d ms", static_cast<int>(bx::kThreadStopWaitMs));
        result = bx::kErrorTimeout;
    }

    LogInfo(L"ConMgr::Stopping notification Dispatcher..");
    stopDispatcher_ = true;
    dispatcherStop_.Set();
    if (!dispatcherThread_.WaitFor(bx::kThreadStopWaitMs)) {
        LogError(L"ConMgr::notification Dispatcher did not stop within %d ms", static_cast<int>(bx::kThreadStopWaitMs));
        result = bx::kErrorTimeout;
    }

    LogInfo(L"ConMgr::Stopping Retrans thread ..");
    retransmitStop_.Set();
    if (!retransmitThread_.WaitFor(bx::kThreadStopWaitMs)) {
        LogError(L"ConMgr::Retrans thread did not stop within %d ms", static_cast<int>(bx::kThreadStopWaitMs));
        result = bx::kErrorTimeout;
    }

    queue_.AttachEvent(nullptr);
    queue_.Empty();
    connMgr_.Table().Empty();
    started_ = false;
    // Sockets, events and the sockets library go only when no thread can
    // still be using them; otherwise WaitForThreads (or the destructor)
    // releases them after joining.
    threadsOverran_ = result != 0;
    if (!threadsOverran_) ReleaseThreadResources();
    return result;
}

void CConnectionCacheMgr::WaitForThreads() {
    listenerThread_.Join();
    dispatcherThread_.Join();
    retransmitThread_.Join();
    if (threadsOverran_) {
        // What the overrunning thread may have handed back meanwhile.
        queue_.Empty();
        connMgr_.Table().Empty();
        ReleaseThreadResources();
        threadsOverran_ = false;
    }
}

bool CConnectionCacheMgr::ThreadsEndWithin(uint32_t milliseconds) {
    // One shared bound: each wait gets what the earlier ones left.
    const uint32_t start = bx::host::TickCount();
    for (CWorkerThread* thread : {&listenerThread_, &dispatcherThread_, &retransmitThread_}) {
        const uint32_t spent = bx::host::TickCount() - start;
        if (!thread->WaitFor(spent < milliseconds ? milliseconds - spent : 0)) return false;
    }
    return true;
}

void CConnectionCacheMgr::ReleaseThreadResources() {
    listener_.Close();
    dispatcher_.Close();
    dispatcherStop_.Close();
    queueNotEmpty_.Close();
    retransmitStop_.Close();
    if (winsockStarted_) {
        bx::net::Cleanup();
        winsockStarted_ = false;
    }
}

// ---- Producers --------------------------------------------------------------

send_data_t* CConnectionCacheMgr::NewRecord() {
    void* storage = pool_.Allocate();
    return storage ? CBufferPool::Prepare(storage) : nullptr;
}

uint32_t CConnectionCacheMgr::Enqueue(send_data_t* record, bool atHead) { return queue_.Enqueue(record, atHead); }

uint32_t CConnectionCacheMgr::SendLogoffNotification(uint32_t sessionId, const std::wstring& user,
                                                     const std::wstring& domain) {
    if (queue_.Closed()) {
        LogDebug(L"Logoff notification of SessionID:'%d' not sent: the agent is stopping", static_cast<int>(sessionId));
        return bx::err::kShutdownInProgress;
    }
    try {
        CPooledRecord record(pool_, NewRecord());
        if (!record) {
            LogDebug(L"Failed to allocate memory for logoff notification");
            return bx::err::kNotEnoughMemory;
        }
        record->operation = bx::kOperationClose;
        record->protocol = 0;
        record->local_ip = 0;
        record->local_port = 0;
        record->kind = bx::kKindLogoff;
        // A copy that cannot allocate throws here: the holder gives the
        // record back.
        record->user = user;
        record->domain = domain;
        record->session_id = sessionId;
        // Refused (stopping began meanwhile): the queue gave it back.
        return queue_.Enqueue(record.release(), false);
    } catch (const std::exception&) {
        // Called on the service's control thread: nothing may leave here.
        LogDebug(L"Failed to allocate memory for logoff notification");
        return bx::err::kNotEnoughMemory;
    }
}

// ---- Threads ----------------------------------------------------------------

void CConnectionCacheMgr::ListenerLoop() {
    LogInfo(L"UTMListner is waiting for UTM reply...");
    uint8_t buffer[kListenBufferSize];
    // Under a sustained load of answers the listener pauses between runs
    // (CWakePacer) and after each pause takes what waits without waiting
    // (`draining`) until nothing does; otherwise each wait gives one datagram.
    bool draining = false;
    uint64_t runStartUs = 0;
    uint32_t taken = 0;
    while (!stopListener_) {
        try {
            size_t received = 0;
            uint32_t fromAddress = 0;
            uint16_t fromPort = 0;
            const uint32_t error =
                draining ? listener_.ReceiveWaiting(buffer, sizeof buffer, received, fromAddress, fromPort)
                         : listener_.ReceiveFrom(buffer, sizeof buffer, received, fromAddress, fromPort);
            // A stop wakes the receive (it returns nothing or an error).
            if (stopListener_) break;
            if (draining && bx::net::IsNothingWaiting(error)) {
                draining = listenerPacer_.PauseAfterRun(runStartUs, taken);
                continue;
            }
            const bool woken = !draining && !bx::net::IsReceiveTimeout(error);
            if (woken) {
                runStartUs = CWakePacer::NowUs();
                taken = 1;
            } else if (draining) {
                ++taken;
            }
            ListenerTake(buffer, error, received, fromAddress, fromPort);
            if (woken) draining = listenerPacer_.PauseAfterRun(runStartUs, taken);
        } catch (const std::exception& e) {
            LogError(L"UTMlistner dropped a datagram: %hs", e.what());
        } catch (...) {
            LogError(L"UTMlistner dropped a datagram after an unexpected error");
        }
    }
    LogInfo(L"Exiting UTMlistner..");
}

void CConnectionCacheMgr::ListenerTake(const uint8_t* buffer, uint32_t error, size_t received, uint32_t fromAddress,
                                       uint16_t fromPort) {
    ListenerHousekeeping();
    if (error != 0 && bx::net::IsReceiveTimeout(error)) return;
    // Whatever this datagram makes the agent log passes the burst's gate. A
    // datagram longer than the buffer has its sender too: that is checked
    // before anything about it is logged.
    bx::ScopedLogGate gate(datagramLines_);
    const bool tooLong = error != 0 && bx::net::IsMessageTooLong(error);
    if ((error == 0 || tooLong) && !FromAppliance(fromAddress, fromPort)) return;
    if (error != 0) {
        LogError(L"UTMlistner ReadError code:'%d'", static_cast<int>(error));
        if (!tooLong) std::this_thread::sleep_for(kReadErrorPause);
        return;
    }
    HandleResponse(buffer, received, fromPort);
}

void CConnectionCacheMgr::ListenerHousekeeping() {
    if (const uint32_t leftOut = datagramLines_.TakeLeftOut())
        LogWarning(L"UTMlistner: %u lines about received datagrams were left out of the log in the last minute",
                   static_cast<unsigned>(leftOut));
    ResetIfWaiting();
}

bool CConnectionCacheMgr::FromAppliance(uint32_t address, uint16_t port) {
    if (destAddress_ != 0 && address == destAddress_) return true;
    ++strangerDatagrams_;
    // The first datagram of each sender is an error worth reading; the rest of
    // a flood from the same sender only at debug. The set of senders already
    // reported is bounded, so that spoofed sources cannot grow it.
    bool first = false;
    if (reportedStrangers_.count(address) == 0 && reportedStrangers_.size() < bx::kMaxReportedStrangers) {
        reportedStrangers_.insert(address);
        first = true;
    }
    const bx::DottedQuad text(address);
    if (first)
        LogError(L"UTMlistner dropped a datagram from %ls:%u, which is not the UTM", text.c_str(),
                 static_cast<unsigned>(port));
    else
        LogDebug(L"UTMlistner dropped a datagram from %ls:%u, which is not the UTM", text.c_str(),
                 static_cast<unsigned>(port));
    return false;
}

void CConnectionCacheMgr::DispatcherLoop() {
    LogInfo(L"Dispatch thread Started..");
    for (;;) {
        const uint32_t woke = bx::sync::WaitAny(dispatcherStop_, queueNotEmpty_, bx::kDispatcherWaitMs);
        if (const uint32_t leftOut = pingAnswerLines_.TakeLeftOut())
            LogWarning(L"Dispatch thread: %u lines about ping answers were left out of the log in the last minute",
                       static_cast<unsigned>(leftOut));
        if (woke == bx::sync::kWaitObject0) {
            LogInfo(L"Stopping Disptch thread");
            LogInfo(L"Exiting dispatch thread..");
            return;
        }
        if (woke == bx::sync::kWaitObject1) {
            uint64_t runStartUs = CWakePacer::NowUs();
            // Everything queued goes out before the next wait, each record
            // taken from the head in turn, so that one queued at the head
            // meanwhile (a ping answer) is still the next to leave. A stop
            // ends the run between two records.
            uint32_t taken = 0;
            for (bool more = true; more && !stopDispatcher_.load();) {
                try {
                    more = DispatchOne(taken);
                } catch (const std::exception& e) {
                    LogError(L"Dispatch thread: a record was dropped: %hs", e.what());
                } catch (...) {
                    LogError(L"Dispatch thread: a record was dropped after an unexpected error");
                }
            }
            dispatcherPacer_.PauseAfterRun(runStartUs, taken);
        } else if (woke == bx::sync::kWaitFailed) {
            LogError(L"Dispatch thread: waiting for its events failed");
            LogInfo(L"Exiting dispatch thread..");
            return;
        }
    }
}

void CConnectionCacheMgr::RetransmitLoop() {
    LogInfo(L"Retransmit thread Started..");
    for (;;) {
        const uint32_t woke = retransmitStop_.Wait(bx::kRetransmitPeriodMs);
        if (woke == bx::sync::kWaitObject0) {
            LogInfo(L"Stopping Retransmit thread");
            return;
        }
        if (woke == bx::sync::kWaitFailed) {
            LogError(L"Retransmit thread: waiting for its event failed");
            return;
        }
        try {
            ScanRequestTable();
        } catch (...) {
            LogError(L"Retransmit thread: the scan failed");
        }
    }
}

void CConnectionCacheMgr::ScanRequestTable() {
    connMgr_.Table().Scan(queue_, config_.TimeOut(), config_.Retries(), clock_);
}

bool CConnectionCacheMgr::DispatchOne(uint32_t& taken) {
    bool emptied = true;
    send_data_t* record = queue_.Dequeue(&emptied);
    if (!record) return false;  // emptied meanwhile
    ++taken;

    uint8_t* datagram = nullptr;
    size_t length = 0;
    bool encrypt = false;
    bool track = false;
    try {
        switch (record->kind) {
            case bx::kKindResetRequest:
                LogInfo(L"Sending 'Reset' to UTM...");
                datagram = smallBuffer_;
                length = builder_.BuildResetRequest(smallBuffer_);
                break;
            case bx::kKindPingResponse: {
                // A ping is a received datagram: its answer's lines pass a
                // burst of their own.
                bx::ScopedLogGate gate(pingAnswerLines_);
                LogInfo(L"Sending response to UTM Ping...");
                datagram = smallBuffer_;
                length = builder_.BuildPingAnswer(record->request_id, smallBuffer_);
                break;
            }
            default:
                datagram = buildBuffer_;
                length = builder_.BuildNotification(*record, buildBuffer_, encrypt);
                track = true;
                break;
        }
    } catch (const std::exception& e) {
        // A user's names could not be had (SID look-up, memory): the record
        // is dropped, the agent goes on.
        LogError(L"Failed to build the packet for UTM, record dropped: %hs", e.what());
        pool_.Release(record);
        return !emptied;
    }
    Send(datagram, length, encrypt, record, track);
    return !emptied;
}

uint32_t CConnectionCacheMgr::Send(uint8_t* datagram, size_t length, bool encrypt, send_data_t* record, bool track) {
    if (encrypt) {
        LogDebug(L"HVNPkt: Encrypting pkt...");
        length = bx::DesEncryptDatagram(datagram, length, bx::kBuildBufferSize, config_.KeySchedule());
    }
    if (!record) {
        LogError(L"HVN Internal Error! The notification struct is NULL please check it");
        return bx::err::kInvalidParameter;
    }

    // What the send needs of the record is taken now: once entered in the
    // request table the record may be acknowledged and released at any time.
    const uint32_t kind = record->kind;
    const uint16_t port = kind == bx::kKindPingResponse ? record->reply_port : destPort_;
    // Opens and logoffs wait for their answer (and are sent again without
    // one): a lost logoff would leave the session's user with the appliance.
    const bool logoff = kind == bx::kKindLogoff;
    const bool open =
        (kind == bx::kKindConnection || kind == bx::kKindResend) && record->operation == bx::kOperationOpen;
    if (!track) {
        pool_.Release(record);
    } else if (open || logoff) {
        record->sent_time = clock_ ? clock_() : bx::SystemSeconds();
        LogDebug(L"HVNPkt: Added Id[%d] To R-Q", static_cast<int>(record->request_id));
        // The status record counts logoffs with the closes, opens apart.
        if (logoff) ++closesSent_;
        if (!connMgr_.Table().Add(record))
            pool_.Release(record);  // not tracked: nobody else would give it back
        else if (open)
            ++enteredInTable_;
    } else {
        if (record->operation == bx::kOperationClose) ++closesSent_;
        pool_.Release(record);
    }
    record = nullptr;

    if (length == 0) {
        LogError(L"HVN Internal Error! The packet could not be built");
        return bx::err::kInvalidParameter;
    }
    const uint32_t error = dispatcher_.SendTo(datagram, length, destAddress_, port);
    if (error != 0) {
        LogError(L"sendto %ls:%hu failed [%d]", config_.Address().c_str(), port, static_cast<int>(error));
        return error;
    }
    LogDebug(L"HVNPkt: %d bytes sent to %ls:%hu", static_cast<int>(length), config_.Address().c_str(), port);
    if (kind != bx::kKindResetRequest && kind != bx::kKindPingResponse) ++notificationsSent_;
    return 0;
}

// ---- Statistics -------------------------------------------------------------

void CConnectionCacheMgr::GetStatistics(bx::StatisticsSnapshot& snapshot) const {
    snapshot = bx::StatisticsSnapshot{};
    snapshot.counters[bx::kNotificationsSent] = static_cast<int32_t>(notificationsSent_.load());
    snapshot.counters[bx::kEnteredInRequestTable] = static_cast<int32_t>(enteredInTable_.load());
    snapshot.counters[bx::kClosesSent] = static_cast<int32_t>(closesSent_.load());
    snapshot.counters[bx::kParseFailures] = static_cast<int32_t>(parseFailures_.load());
    snapshot.counters[bx::kQueueCount] = static_cast<int32_t>(queue_.Count());
    snapshot.counters[bx::kDeletedAfterRetries] = static_cast<int32_t>(connMgr_.Table().Deleted());
    snapshot.counters[bx::kQueueCapacity] = static_cast<int32_t>(queue_.Capacity());
    snapshot.counters[bx::kRequestTableCount] = static_cast<int32_t>(connMgr_.Table().Count());
    snapshot.counters[bx::kQueueDropped] = static_cast<int32_t>(queue_.Dropped());
    snapshot.counters[bx::kResponsesProcessed] = static_cast<int32_t>(responsesProcessed_.load());
}

uint32_t CConnectionCacheMgr::WriteStatusFile() const {
    bx::StatisticsSnapshot snapshot;
    GetStatistics(snapshot);
    std::wstring dir;
    if (bx::host::ExecutableDirectory(dir) != 0) dir.clear();
    return bx::WriteStatusFile(snapshot, dir);
}
