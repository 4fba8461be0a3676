// libFuzzer target: the whole answer path. Each input is a short sequence of
// datagrams handed to CConnectionCacheMgr::HandleResponse as the listener
// hands them over, with what stands behind it filled in: open notifications
// waiting in the request table (so acknowledgements have something to
// clear and "Unknown SessionID" something to resend), sessions with names in
// the session table, connections the agent reported (the snooper's address
// table, so that an "Unknown SessionID" naming one can be resent), the
// local-route tables and the send queue, all drawing on one send-data pool.
// The manager's millisecond clock is the input's: it moves only as the input
// says.
//
// Every input starts from the same state, so that an input found replays
// alone: the send queue and the request table are emptied and filled again,
// the session table is refilled, and the manager is built afresh whenever an
// input taught it local routes (its route tables only grow). Building it, or
// the table's buckets, for every input would cost a millisecond each time.
//
// Input: up to kMaxDatagrams chunks, each one byte of mode, two bytes of
// length (big-endian; cut to what is left) and the datagram's bytes.
//   mode bit 0 clear: the bytes as received;
//   mode bit 0 set:   the bytes are a clear datagram that is first encrypted
//                     under the shared key as the appliance sends it (random
//                     IV flag, body padded to blocks, 8 trailing zeros);
//   mode bits 1-7:    the clock moves on by that many times 50 ms first.
// After every datagram the invariants of the answer path are checked: the
// result is 0 or 13, at most one waiting notification leaves the table, at
// most one record enters the send queue, no record of the pool is lost or
// counted twice, at most one of the parse-failure and processed counters
// moves; the send queue holds at most one ping answer, and every other record
// in it is the agent's own (a notification that waited, or a connection it
// reported, in that connection's session); no local route holds more than
// 2^24 addresses; resets empty the session table at most once a second.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "agent/appliance/conn_cache_mgr.h"
#include "agent/appliance/local_routes.h"
#include "agent/crypto/des.h"
#include "agent/identity/session_map.h"
#include "agent/records/buffer_pool.h"
#include "agent/settings/settings_reader.h"
#include "platform/settings_store.h"

namespace {

const wchar_t kKeyText[] = L"0123456789abcdef";
const uint8_t kKeyBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr uint32_t kPoolRecords = 64;
constexpr size_t kMaxDatagrams = 16;
constexpr uint16_t kSenderPort = 4711;
// Request ids of the notifications that wait for an answer: two runs, one in
// the first bucket of the table and one further up.
constexpr uint32_t kWaitingIds[] = {1, 2, 3, 4, 5, 6, 0x100, 0x101, 0x7FFF, 0x8000};
// Sessions with names (1 and 2 already acknowledged).
constexpr uint32_t kSessions[] = {1, 2, 3, 4};
// Each input's clock starts this far beyond the last one's.
constexpr uint32_t kInputTicks = 100000;

// Connections the agent reported: (protocol, local address, local port in
// network order, session). The waiting notifications are the first one's.
struct Reported {
    uint8_t protocol;
    uint32_t localIp;
    uint16_t localPort;
    uint32_t session;
};
constexpr Reported kReported[] = {{1, 0xC6120001u, 0x00C0, 3}, {2, 0, 0x3500, 1}, {1, 0x0A000001u, 0x5000, 4}};

class ReportedTable : public CReportedConnections {
public:
    bool FillReported(uint32_t localIp, uint16_t localPort, uint8_t protocol, uint32_t sessionId,
                      send_data_t& record) const override {
        for (const Reported& r : kReported) {
            if (r.localIp != localIp || r.localPort != localPort || r.session != sessionId) continue;
            if ((r.protocol == 1) != (protocol == 1)) continue;
            record.kind = bx::kKindConnection;
            record.operation = bx::kOperationOpen;
            record.protocol = r.protocol;
            record.local_ip = r.localIp;
            record.local_port = r.localPort;
            record.session_id = r.session;
            return true;
        }
        return false;
    }
};

bool IsReported(const send_data_t& record) {
    for (const Reported& r : kReported)
        if (record.kind == bx::kKindConnection && record.protocol == r.protocol && record.local_ip == r.localIp &&
            record.local_port == r.localPort && record.session_id == r.session)
            return true;
    return false;
}

bx::DesKeySchedule keySchedule;
CBufferPool* pool = nullptr;
SessionMap* sessions = nullptr;
ReportedTable reportedTable;
uint32_t ticks = 0;
// The notifications put in the request table for the running input, and the
// sessions they were made for.
std::vector<std::pair<const send_data_t*, uint32_t>> waiting;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void SetSetting(const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    bx::settings::Key key;
    Check(bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key) == 0);
    Check(key.SetValue(name, type, data, size) == 0);
}

void SetDword(const wchar_t* name, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    SetSetting(name, bx::settings::kTypeDword, bytes, 4);
}

send_data_t* TakeRecord() {
    void* storage = pool->Allocate();
    return storage ? CBufferPool::Prepare(storage) : nullptr;
}

// The records the pool has handed out and the manager still holds.
uint32_t Held(CConnectionCacheMgr& mgr) { return mgr.RequestTable().Count() + mgr.Queue().Count(); }

void SetUpState(CConnectionCacheMgr& mgr) {
    Check(mgr.RequestTable().Create() == 0);  // a second call keeps the table
    uint32_t session = 0;
    for (uint32_t id : kWaitingIds) {
        send_data_t* record = TakeRecord();
        Check(record != nullptr);
        record->kind = bx::kKindConnection;
        record->operation = bx::kOperationOpen;
        record->request_id = id;
        record->session_id = kSessions[session++ % (sizeof kSessions / sizeof kSessions[0])];
        record->protocol = kReported[0].protocol;
        record->local_ip = kReported[0].localIp;
        record->local_port = kReported[0].localPort;
        record->sent_time = 100;
        Check(mgr.RequestTable().Add(record));
        waiting.emplace_back(record, record->session_id);
    }
    for (uint32_t id : kSessions) mgr.Users().Update(id, id % 2 ? L"alice" : L"bob", L"CORP");
    mgr.Users().MarkKnown(1);
    mgr.Users().MarkKnown(2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::vector<uint8_t> key = bx::StoredBytesFromText(kKeyText);
    SetSetting(L"key", bx::settings::kTypeString, key.data(), static_cast<uint32_t>(key.size()));
    // Debug lines off: fuzz_parser formats every line of the parser with
    // verbose on; here each line would cost a system call (the thread id of
    // its prefix) and cut the rate several times. Error and information lines
    // are still formatted.
    SetDword(L"verbose", 0);
    SetDword(L"TimeOut", 10);
    SetDword(L"Retries", 3);
    bx::DesSetKey(kKeyBytes, keySchedule);

    pool = new CBufferPool;
    bx::BufferPoolSettings settings;
    settings.objectsPerSegment = kPoolRecords;
    settings.segmentsStart = 1;
    settings.lowMark = 1;
    settings.highMark = 0;  // one segment, never more: the answer path may run dry
    Check(pool->Create(settings) == 0);
    sessions = new SessionMap;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<CConnectionCacheMgr> mgr;
    static uint32_t poolFree = 0;
    if (!mgr) {
        poolFree = pool->FreeCount();
        mgr = std::make_unique<CConnectionCacheMgr>(*pool, *sessions);
        mgr->SetReportedConnections(&reportedTable);
        mgr->SetTickClock([] { return ticks; });
    }
    ticks += kInputTicks;
    waiting.clear();
    SetUpState(*mgr);
    uint32_t resets = mgr->SessionTableResets();
    uint32_t lastReset = 0;
    bool resetSeen = false;

    size_t at = 0;
    for (size_t n = 0; n < kMaxDatagrams && at + 3 <= size; ++n) {
        const uint8_t mode = data[at];
        ticks += static_cast<uint32_t>(mode >> 1) * 50;
        size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (length > size - at) length = size - at;
        std::vector<uint8_t> datagram(data + at, data + at + length);  // exactly the received bytes
        at += length;
        if (mode & 1) {
            if (datagram.size() < bx::kDesIvSize) datagram.resize(bx::kDesIvSize, 0);
            std::vector<uint8_t> sent(bx::DesSentLength(datagram.size()), 0);
            std::memcpy(sent.data(), datagram.data(), datagram.size());
            sent[0] = 1;
            Check(bx::DesEncryptDatagram(sent.data(), datagram.size(), sent.size(), keySchedule) == sent.size());
            datagram.swap(sent);
        }

        bx::StatisticsSnapshot before, after;
        mgr->GetStatistics(before);
        const uint32_t tableBefore = mgr->RequestTable().Count();
        const uint32_t queueBefore = mgr->Queue().Count();

        const uint32_t result = mgr->HandleResponse(datagram.data(), datagram.size(), kSenderPort);

        mgr->GetStatistics(after);
        const uint32_t table = mgr->RequestTable().Count();
        const uint32_t queue = mgr->Queue().Count();
        Check(result == 0 || result == 13);
        Check(table <= tableBefore && tableBefore - table <= 1);
        Check(queue >= queueBefore && queue - queueBefore <= 1);
        // Every record is either free in the pool or held by the manager.
        Check(pool->FreeCount() + Held(*mgr) == poolFree);
        const int32_t failures = after.counters[bx::kParseFailures] - before.counters[bx::kParseFailures];
        const int32_t processed = after.counters[bx::kResponsesProcessed] - before.counters[bx::kResponsesProcessed];
        Check(failures >= 0 && processed >= 0 && failures + processed <= 1);
        if (failures == 1) Check(result == 13 && table == tableBefore && queue == queueBefore);
        if (result == 13) Check(processed == 0);
        // The status record agrees with the tables it reports.
        Check(after.counters[bx::kRequestTableCount] == static_cast<int32_t>(table));
        Check(after.counters[bx::kQueueCount] == static_cast<int32_t>(queue));
        Check(mgr->Routes().Subnets().size() <= bx::kMaxLocalRoutes);
        Check(mgr->Routes().Ranges().size() <= bx::kMaxLocalRoutes);
        (void)mgr->IsLocalRoute(0x0A000001u);

        // No route silences more than 2^24 addresses.
        for (const bx::Subnet& subnet : mgr->Routes().Subnets()) Check(subnet.mask >> 24 == 0xFF);
        for (const bx::AddressRange& range : mgr->Routes().Ranges())
            Check(range.first > range.last || uint64_t{range.last} - range.first < (uint64_t{1} << 24));
        // Resets empty the session table at most once a second.
        const uint32_t resetsNow = mgr->SessionTableResets();
        Check(resetsNow - resets <= 1);
        if (resetsNow != resets) {
            Check(!resetSeen || ticks - lastReset >= 1000);
            resetSeen = true;
            lastReset = ticks;
            resets = resetsNow;
        }
        // What waits in the send queue: at most one ping answer; every other
        // record is the agent's own, in its own session.
        std::vector<send_data_t*> queued;
        while (send_data_t* record = mgr->Queue().Dequeue()) queued.push_back(record);
        uint32_t pings = 0;
        for (send_data_t* record : queued) {
            if (record->kind == bx::kKindPingResponse) {
                ++pings;
                continue;
            }
            bool own = IsReported(*record);
            for (const auto& [w, session] : waiting) own = own || (w == record && record->session_id == session);
            Check(own);
        }
        Check(pings <= 1);
        for (send_data_t* record : queued) mgr->Queue().Enqueue(record, false);
    }
    // A reset that waits for its second is done now, so that the next input
    // starts from the same state (it is a datagram that does not parse).
    ticks += 1000;
    mgr->HandleResponse(nullptr, 0, kSenderPort);

    // Back to the starting state; every record returns to the pool.
    // The table keeps its buckets: only the waiting notifications leave it.
    mgr->Queue().Empty();
    for (uint32_t id : kWaitingIds)
        while (send_data_t* record = mgr->RequestTable().Remove(id)) pool->Release(record);
    Check(mgr->RequestTable().Count() == 0);
    mgr->Users().RemoveAll();
    Check(pool->FreeCount() == poolFree);
    if (!mgr->Routes().Subnets().empty() || !mgr->Routes().Ranges().empty()) {
        mgr.reset();
        Check(pool->FreeCount() == poolFree);
    }
    return 0;
}
