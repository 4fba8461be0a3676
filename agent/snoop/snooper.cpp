#include "agent/snoop/snooper.h"

#include <cstring>
#include <cwchar>
#include <exception>

#include "agent/crypto/iv_random.h"
#include "agent/identity/session_users.h"
#include "platform/dotted_quad.h"
#include "platform/host_facts.h"
#include "platform/udp_socket.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;  // 127.0.0.1, host order
// GetOverlappedResult of a request that has not completed yet.
constexpr uint32_t kErrorIoIncomplete = 996;

// A port as the driver gives it (network byte order) in host order.
unsigned short HostPort(uint16_t networkOrder) {
    uint8_t bytes[2];
    std::memcpy(bytes, &networkOrder, sizeof bytes);
    return static_cast<unsigned short>(bytes[0] << 8 | bytes[1]);
}

const wchar_t* ProtocolName(uint32_t protocol) { return protocol == SNOOP_PROTOCOL_TCP ? L"TCP" : L"UDP"; }

}  // namespace

Snooper::Snooper() : connMgr_(pool_, sessions_) {
    connMgr_.SetReportedConnections(this);
    // The packet IVs draw from this generator.
    bx::SeedIvRandom(bx::host::TickCount());
    std::memset(eventBuffer_, 0, sizeof eventBuffer_);
    pool_.Create();
}

Snooper::~Snooper() {
    // The host stops everything in its own order; this covers an owner that
    // did not (a failed start, a test).
    device_.CancelRead(1000);
    connMgr_.Stop();
    // A thread that overran the stop is joined before the sockets library
    // ends; the members (the pool last) go after this body.
    connMgr_.WaitForThreads();
    SocketsCleanup();
}

uint32_t Snooper::StopConnections() {
    const uint32_t result = connMgr_.Stop();
    if (result != 0) {
        LogError(
            L"Stopping the connection manager left a thread running Error: %d: the pool and the sockets stay "
            L"until it ends",
            static_cast<int>(result));
        return result;
    }
    SocketsCleanup();
    pool_.DestroyAll();
    return 0;
}

void Snooper::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    config_.SetLogger(logger);
    connMgr_.SetLogger(logger);
    pool_.SetLogger(logger);
}

uint32_t Snooper::Initialise() {
    LogDebug(L"Initializing Snooper...");
    uint32_t error = bx::net::Startup(bx::net::kSockets22);
    if (error != 0) {
        LogError(L"WSAStartup failed Error:%d", static_cast<int>(error));
        return error;
    }
    socketsStarted_ = true;
    // The manager was given the pool and the session map when it was built.
    error = connMgr_.Start();
    if (error != 0) {
        LogError(L"Failed to Instentiate ConMgr Error: %d", static_cast<int>(error));
        return error;
    }
    return 0;
}

void Snooper::SocketsCleanup() {
    if (!socketsStarted_) return;
    bx::net::Cleanup();
    socketsStarted_ = false;
}

uint32_t Snooper::OpenDevice() {
    if (uint32_t error = device_.Open()) LogError(L"Failed to open device driver Error:%d", static_cast<int>(error));
    LogDebug(L"Sending Read request to driver...");
    if (uint32_t error = ReadSnoopEvents()) LogError(L"Failed to ReadSnoopEvents Error:%d", static_cast<int>(error));
    return 0;
}

uint32_t Snooper::ReadSnoopEvents() {
    if (readsInRun_++ == 0) readRunStartUs_ = CWakePacer::NowUs();
    uint32_t error = device_.IssueRead(eventBuffer_, sizeof eventBuffer_);
    if (error != 0) {
        LogError(L"DeviceIoControl failed Error:%d", static_cast<int>(error));
        return error;
    }
    if (!device_.LastReadDoneAtOnce()) {
        // The pause comes after the request: a record that comes meanwhile
        // completes it, and the host's wait returns at once.
        readPacer_.PauseAfterRun(readRunStartUs_, readsInRun_);
        readsInRun_ = 0;
    }
    return 0;
}

Snooper::ReadCheck Snooper::CheckCompletedRead() {
    uint32_t transferred = 0;
    const uint32_t error = device_.ReadResult(transferred);
    if (error == kErrorIoIncomplete) {
        LogDebug(L"Driver read signalled but not completed: still waiting for it");
        return ReadCheck::Pending;
    }
    if (error == 0 && transferred == SNOOP_EVENT_SIZE) {
        if (const uint32_t failures = readBackoff_.Succeeded())
            LogInfo(L"Driver reads succeed again after %u failed reads", static_cast<unsigned>(failures));
        return ReadCheck::Whole;
    }
    const bool burstBegins = readBackoff_.Failed();
    const wchar_t* format =
        L"Driver read failed Error:%d (%u of %u bytes): the record is dropped; reads pause %u ms, doubling up to %u "
        L"ms, while they fail";
    if (burstBegins)
        LogError(format, static_cast<int>(error), static_cast<unsigned>(transferred),
                 static_cast<unsigned>(SNOOP_EVENT_SIZE), static_cast<unsigned>(readBackoff_.PauseMs()),
                 static_cast<unsigned>(CReadBackoff::kMaxPauseMs));
    else
        LogDebug(format, static_cast<int>(error), static_cast<unsigned>(transferred),
                 static_cast<unsigned>(SNOOP_EVENT_SIZE), static_cast<unsigned>(readBackoff_.PauseMs()),
                 static_cast<unsigned>(CReadBackoff::kMaxPauseMs));
    return ReadCheck::Failed;
}

int Snooper::HandleEvent() {
    snoop_event_t event;
    std::memcpy(&event, eventBuffer_, sizeof event);
    try {
        switch (event.event_type) {
            case SNOOP_EVENT_OPEN:
                handleOpenAddress(event);
                break;
            case SNOOP_EVENT_CLEANUP:
                handleCleanupAddress(event);
                break;
            default:
                break;  // not a type this agent knows: ignored
        }
        return 1;
    } catch (...) {
        LogError(L"caught Exception while handling IOCTL....");
        return 0;
    }
}

send_data_t* Snooper::NewRecord() {
    void* storage = pool_.Allocate();
    return storage ? CBufferPool::Prepare(storage) : nullptr;
}

CSid Snooper::SidOf(const snoop_event_t& event) {
    CSid sid(event.sid, sizeof event.sid);
    const uint32_t now = bx::host::TickCount();
    for (const LookedUp& known : lookedUp_)
        if (known.sid == sid && now - known.tick < kAccountReuseMs) return known.sid;
    if (sid.LookupError() != 0) return sid;  // looks the account up; nothing to share
    LookedUp& replaced = lookedUp_[nextLookedUp_];
    nextLookedUp_ = (nextLookedUp_ + 1) % kReusedAccounts;
    try {
        replaced.sid = sid;
        replaced.tick = now;
    } catch (const bx::SidException&) {
        replaced.sid.Clear();  // the next open of this SID looks up again
    }
    return sid;
}

void Snooper::handleOpenAddress(const snoop_event_t& event) {
    if (event.local_ip == kLoopback) return;
    if (connMgr_.IsLocalRoute(event.remote_ip)) return;

    CSid sid;
    try {
        sid = SidOf(event);
    } catch (const bx::SidException& e) {
        LogWarning(L"SID throws exception Error:%d", static_cast<int>(e.Error()));
        return;
    }

    if (Verbose()) {
        LogDebug(L"handleOpenAddress: %ls %ls:%hu %ls@%ls [%ls] pid = %lld, pending = %d, fileobj = %#llx",
                 ProtocolName(event.protocol), bx::DottedQuad(event.local_ip).c_str(), HostPort(event.local_port),
                 sid.AccountName().c_str(), sid.Domain().c_str(), sid.String().c_str(),
                 static_cast<long long>(event.process_id), static_cast<int>(event.pending),
                 static_cast<unsigned long long>(event.file_object));
        LogDebug(L"handleOpenAddress: Remote IP Address: '%ls:%u' SessionId: '%u' ",
                 bx::DottedQuad(event.remote_ip).c_str(), static_cast<unsigned>(HostPort(event.remote_port)),
                 static_cast<unsigned>(event.session_id));
    }

    std::unique_lock<std::mutex> table(addressLock_);
    AddressEntry& entry = addresses_.FindOrAdd(AddressKey(event.local_ip, event.local_port, event.protocol));
    if (entry.in_use && Verbose())
        LogDebug(L"handleOpenAddress: %ls:%hu is already in use for fileobj %#llx",
                 bx::DottedQuad(entry.local_ip).c_str(), HostPort(entry.local_port),
                 static_cast<unsigned long long>(entry.file_object));
    entry.protocol = static_cast<uint8_t>(event.protocol);
    entry.local_ip = event.local_ip;
    entry.local_port = event.local_port;
    entry.file_object = event.file_object;
    entry.sid = sid;
    entry.remote_ip = event.remote_ip;
    entry.remote_port = event.remote_port;
    entry.session_id = event.session_id;
    entry.in_use = true;
    // Reported once the record is made (before it is queued, so that an
    // answer can never come back before the table says so).
    entry.reported = false;
    table.unlock();

    send_data_t* record = NewRecord();
    if (!record) {
        LogError(L"handleOpenAddress: could not allocate send data, FileObj:=%#llx",
                 static_cast<unsigned long long>(event.file_object));
        std::lock_guard<std::mutex> again(addressLock_);
        entry.in_use = false;
        return;
    }
    try {
        record->operation = bx::kOperationOpen;
        record->protocol = static_cast<uint8_t>(event.protocol);
        record->local_ip = event.local_ip;
        record->local_port = event.local_port;
        record->sid = sid;
        record->kind = bx::kKindConnection;
        record->remote_ip = event.remote_ip;
        record->remote_port = event.remote_port;
        record->session_id = event.session_id;
    } catch (...) {
        pool_.Release(record);  // never queued: it goes back
        throw;
    }
    {
        std::lock_guard<std::mutex> again(addressLock_);
        entry.reported = true;
    }
    LogDebug(L"handleOpenAddress: Queuing Pkt for Dispatching");
    connMgr_.Enqueue(record, false);
}

AddressEntry* Snooper::CleanupTarget(const snoop_event_t& event) {
    AddressEntry* entries[2] = {};  // TCP, UDP
    const uint32_t protocols[2] = {SNOOP_PROTOCOL_TCP, SNOOP_PROTOCOL_UDP};
    for (int i = 0; i < 2; ++i)
        entries[i] = addresses_.Find(AddressKey(event.local_ip, event.local_port, protocols[i]));
    // The file object names the open it ends, even one already ended.
    for (AddressEntry* entry : entries)
        if (entry && entry->file_object == event.file_object) return entry->in_use ? entry : nullptr;
    // It names none (the open was replaced by a later one of the same
    // protocol): the clean-up's protocol when the driver gave one, else
    // whichever holds the address and port.
    AddressEntry* tcp = entries[0] && entries[0]->in_use ? entries[0] : nullptr;
    AddressEntry* udp = entries[1] && entries[1]->in_use ? entries[1] : nullptr;
    if (event.protocol == SNOOP_PROTOCOL_TCP) return tcp;
    if (event.protocol == SNOOP_PROTOCOL_UDP) return udp;
    return tcp ? tcp : udp;
}

bool Snooper::FillReported(uint32_t localIp, uint16_t localPort, uint8_t protocol, uint32_t sessionId,
                           send_data_t& record) const {
    std::lock_guard<std::mutex> table(addressLock_);
    const AddressEntry* found = addresses_.Find(AddressKey(localIp, localPort, protocol));
    if (!found) return false;
    const AddressEntry& entry = *found;
    if (!entry.reported || entry.session_id != sessionId) return false;
    record.kind = bx::kKindConnection;
    record.operation = entry.in_use ? bx::kOperationOpen : bx::kOperationClose;
    record.protocol = entry.protocol;
    record.local_ip = entry.local_ip;
    record.local_port = entry.local_port;
    record.sid = entry.sid;
    record.session_id = entry.session_id;
    // A close carries no remote end, as the clean-up's did.
    if (entry.in_use) {
        record.remote_ip = entry.remote_ip;
        record.remote_port = entry.remote_port;
    }
    return true;
}

void Snooper::handleCleanupAddress(const snoop_event_t& event) {
    std::unique_lock<std::mutex> table(addressLock_);
    AddressEntry* target = CleanupTarget(event);
    if (!target) return;
    AddressEntry& entry = *target;

    if (Verbose())  // the dotted text costs more than the rest of the clean-up
        LogDebug(L"handleCleanupAddress: %ls %ls:%hu fileobj = %#llx", ProtocolName(entry.protocol),
                 bx::DottedQuad(event.local_ip).c_str(), HostPort(event.local_port),
                 static_cast<unsigned long long>(event.file_object));
    entry.in_use = false;
    table.unlock();

    send_data_t* record = NewRecord();
    if (!record) {
        LogError(L"handleCleanupAddress: could not allocate send data, FileObj:=%#llx",
                 static_cast<unsigned long long>(event.file_object));
        return;
    }
    try {
        record->operation = bx::kOperationClose;
        record->protocol = entry.protocol;
        record->local_ip = entry.local_ip;
        record->local_port = entry.local_port;
        record->sid = entry.sid;
        record->kind = bx::kKindConnection;
        record->session_id = entry.session_id;
    } catch (...) {
        pool_.Release(record);
        throw;
    }
    LogDebug(L"handleCleanupAddress: Queuing Pkt for Dispatching");
    connMgr_.Enqueue(record, false);
}

void Snooper::OnSessionChange(uint32_t eventType, uint32_t sessionId) {
    // Runs on the service manager's control thread: no exception may go back
    // into it. A change that cannot be handled is logged and dropped.
    if (refuseSessionChanges_) {
        LogDebug(L"Session change %u of SessionID:'%d' ignored: the agent is stopping",
                 static_cast<unsigned>(eventType), static_cast<int>(sessionId));
        return;
    }
    try {
        bx::HandleSessionChange(eventType, sessionId, sessions_, *this,
                                [this](uint32_t id, const std::wstring& user, const std::wstring& domain) {
                                    return connMgr_.SendLogoffNotification(id, user, domain);
                                });
    } catch (const std::exception& e) {
        LogError(L"Session change %u of SessionID:'%d' dropped: %hs", static_cast<unsigned>(eventType),
                 static_cast<int>(sessionId), e.what());
    } catch (...) {
        LogError(L"Session change %u of SessionID:'%d' dropped after an unexpected error",
                 static_cast<unsigned>(eventType), static_cast<int>(sessionId));
    }
}
