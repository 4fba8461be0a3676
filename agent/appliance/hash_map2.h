// CHashMap2: the request table. Every open-connection notification that has
// been sent waits here, keyed by its request id, until the appliance answers
// it (Remove) or the retransmit scan gives it up.
//
// 1024 buckets; the bucket of an id is (id >> 5) & 0x3FF, so 32 consecutive
// ids share a bucket and the sequence repeats every 32768 ids. Each bucket
// lists its records in order of entry, which is also the order of their time
// of sending, so a scan stops at the first entry of a bucket that is not yet
// due. List nodes come from blocks of 10, kept until the table is emptied.
//
// One lock guards the buckets and the counts for the whole of each operation.
// Scan enqueues into the send queue while holding it: the table's lock is
// always taken before the queue's, never the other way round.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "agent/records/buffer_pool.h"
#include "agent/records/send_data.h"
#include "agent/settings/log_impl.h"

class CDataQueue;

namespace bx {
// Seconds since 1970, the clock the request table's times are taken from.
// The default is the system clock; tests pass their own.
using SecondsClock = std::function<int64_t()>;
int64_t SystemSeconds();
}  // namespace bx

class CHashMap2 : public CLogImpl {
public:
    static constexpr uint32_t kBuckets = 1024;
    static constexpr uint32_t kNodesPerBlock = 10;
    static constexpr uint32_t BucketOf(uint32_t requestId) { return (requestId >> 5) & 0x3FFu; }

    explicit CHashMap2(CBufferPool& pool);
    ~CHashMap2() override;
    CHashMap2(const CHashMap2&) = delete;
    CHashMap2& operator=(const CHashMap2&) = delete;

    // Allocates the buckets: 0, or 8 when that fails. A second call keeps
    // the table as it is.
    uint32_t Create();
    bool HasTable() const;

    // Enters the record (its request id and time of sending already set) at
    // the tail of its bucket. Without a table the record is not tracked and
    // stays the caller's: returns false.
    bool Add(send_data_t* record);

    // Takes out the oldest entry with this request id; null when none.
    send_data_t* Remove(uint32_t requestId);

    // The retransmit scan: every entry sent more than timeOut seconds ago has
    // its send count raised; past `retries` it is deleted (back to the pool),
    // else it leaves the table for the tail of the send queue.
    void Scan(CDataQueue& queue, uint32_t timeOut, uint32_t retries, const bx::SecondsClock& clock);

    // Returns every record to the pool and frees the buckets; the entry count
    // drops to 0 (the deletion count stays).
    void Empty();

    // Notifications waiting for an answer.
    uint32_t Count() const;
    // Notifications deleted after their last retry.
    uint32_t Deleted() const;

private:
    struct Node {
        Node* next;
        send_data_t* record;
    };
    struct NodeBlock {
        NodeBlock* next;
        Node nodes[kNodesPerBlock];
    };
    struct Bucket {
        Node* head;
        Node* tail;
    };

    Node* NewNode(send_data_t* record);
    void FreeNode(Node* node);
    void FreeBlocks();

    CBufferPool& pool_;
    mutable std::mutex lock_;
    std::unique_ptr<Bucket[]> buckets_;
    Node* freeNodes_ = nullptr;
    NodeBlock* blocks_ = nullptr;
    uint32_t count_ = 0;
    uint32_t deleted_ = 0;
};
