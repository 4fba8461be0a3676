#include "agent/appliance/hash_map2.h"

#include <new>

#include "agent/appliance/data_queue.h"
#include "platform/errors.h"
#include "platform/host_facts.h"

namespace bx {
int64_t SystemSeconds() { return static_cast<int64_t>(host::SecondsSince1970()); }
}  // namespace bx

CHashMap2::CHashMap2(CBufferPool& pool) : pool_(pool) {}

CHashMap2::~CHashMap2() { Empty(); }

uint32_t CHashMap2::Create() {
    std::lock_guard<std::mutex> guard(lock_);
    if (buckets_) return 0;
    buckets_.reset(new (std::nothrow) Bucket[kBuckets]());
    if (!buckets_) return bx::err::kNotEnoughMemory;
    LogInfo(L"HashMap:table created\n");
    return 0;
}

bool CHashMap2::HasTable() const {
    std::lock_guard<std::mutex> guard(lock_);
    return buckets_ != nullptr;
}

CHashMap2::Node* CHashMap2::NewNode(send_data_t* record) {
    if (!freeNodes_) {
        NodeBlock* block = new (std::nothrow) NodeBlock;
        if (!block) return nullptr;
        block->next = blocks_;
        blocks_ = block;
        for (Node& node : block->nodes) {
            node.next = freeNodes_;
            freeNodes_ = &node;
        }
    }
    Node* node = freeNodes_;
    freeNodes_ = node->next;
    node->next = nullptr;
    node->record = record;
    return node;
}

void CHashMap2::FreeNode(Node* node) {
    node->record = nullptr;
    node->next = freeNodes_;
    freeNodes_ = node;
}

void CHashMap2::FreeBlocks() {
    while (blocks_) {
        NodeBlock* next = blocks_->next;
        delete blocks_;
        blocks_ = next;
    }
    freeNodes_ = nullptr;
}

bool CHashMap2::Add(send_data_t* record) {
    if (!record) return false;
    std::lock_guard<std::mutex> guard(lock_);
    if (!buckets_) {
        LogError(L"HashMap:Add NULL table");
        return false;
    }
    const uint32_t id = record->request_id;
    const uint32_t index = BucketOf(id);
    Bucket& bucket = buckets_[index];
    for (const Node* node = bucket.head; node; node = node->next) {
        if (node->record->request_id == id) {
            LogWarning(L"HashMap:found packet for id[%d]", static_cast<int>(id));
            break;
        }
    }
    Node* node = NewNode(record);
    if (!node) {
        LogError(L"HashMap:Add could not allocate a node for id[%d]", static_cast<int>(id));
        return false;
    }
    LogDebug(L"HashMap:Add Hash:%d, Rqst:%d", static_cast<int>(index), static_cast<int>(id));
    if (bucket.tail)
        bucket.tail->next = node;
    else
        bucket.head = node;
    bucket.tail = node;
    ++count_;
    return true;
}

send_data_t* CHashMap2::Remove(uint32_t requestId) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!buckets_) return nullptr;
    Bucket& bucket = buckets_[BucketOf(requestId)];
    Node* previous = nullptr;
    for (Node* node = bucket.head; node; previous = node, node = node->next) {
        if (node->record->request_id != requestId) continue;
        if (previous)
            previous->next = node->next;
        else
            bucket.head = node->next;
        if (bucket.tail == node) bucket.tail = previous;
        send_data_t* record = node->record;
        FreeNode(node);
        --count_;
        return record;
    }
    return nullptr;
}

void CHashMap2::Scan(CDataQueue& queue, uint32_t timeOut, uint32_t retries, const bx::SecondsClock& clock) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!buckets_) return;
    for (uint32_t index = 0; index < kBuckets; ++index) {
        Bucket& bucket = buckets_[index];
        if (!bucket.head) continue;
        const int64_t now = clock ? clock() : bx::SystemSeconds();
        // Entries sit in order of sending: the first one not yet due ends the
        // walk of this bucket.
        while (Node* node = bucket.head) {
            send_data_t* record = node->record;
            if (record->sent_time + static_cast<int64_t>(timeOut) >= now) break;
            bucket.head = node->next;
            if (!bucket.head) bucket.tail = nullptr;
            FreeNode(node);
            --count_;
            ++record->send_count;
            if (record->send_count > retries) {
                LogInfo(L"HVN Retransmit:No Response for reqstId:'%d'.SendCount:'%d'.Requst Deleted.",
                        static_cast<int>(record->request_id), static_cast<int>(record->send_count));
                pool_.Release(record);
                ++deleted_;
            } else {
                LogDebug(L"HVN Retransmit: TimedOut Pkt!Queueing RqstId:'%d'Sent:'%lld' Sec ago SendCnt:'%d'",
                         static_cast<int>(record->request_id), static_cast<long long>(now - record->sent_time),
                         static_cast<int>(record->send_count));
                queue.Enqueue(record, false);
            }
        }
    }
}

void CHashMap2::Empty() {
    std::unique_ptr<Bucket[]> buckets;
    {
        std::lock_guard<std::mutex> guard(lock_);
        buckets.swap(buckets_);
        if (buckets) {
            for (uint32_t index = 0; index < kBuckets; ++index) {
                for (Node* node = buckets[index].head; node; node = node->next) pool_.Release(node->record);
            }
        }
        FreeBlocks();
        count_ = 0;
    }
}

uint32_t CHashMap2::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
}

uint32_t CHashMap2::Deleted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return deleted_;
}
