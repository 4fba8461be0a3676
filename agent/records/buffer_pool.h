// CBufferPool: the pool of send_data_t records, grown and shrunk in whole
// segments between configurable marks.
//
// A segment is one block of pages from the system (platform/pages.h): a
// header (list links, the head of its free list, its free count) followed by
// slots. Freeing a segment gives its memory back to the system, which a block
// of the process heap need not do. A slot is a 32-bit slot index
// followed by room for one record; a free record's first 8 bytes link it to
// the next free one of its segment. The index leads a released record back to
// its segment:
//   segment = record - 4 - index * (object size + 4) - header size.
// Segments with free records sit at the tail of the list, full ones at the
// head; records are taken from the tail segment. At most one entirely free
// segment is kept aside as the spare. The pool never holds more than high
// mark + 1 segments in its list and shrinks by release to no fewer than the
// low mark.
//
// Allocate, Release, Create and DestroyAll take the pool's lock; Prepare and
// the record's destruction run outside it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "agent/records/send_data.h"
#include "agent/settings/log_impl.h"

namespace bx {

// The values under HKLM\SOFTWARE\Brontavex\HVNAgent\Settings\SendDataPool.
struct BufferPoolSettings {
    uint32_t objectsPerSegment = 1000;  // "NumberOfObjectsInSegment"
    uint32_t segmentsStart = 3;         // "NumberOfSegmentsStart"
    uint32_t lowMark = 1;               // "NumberOfSegmentsLowMark"
    uint32_t highMark = 50;             // "NumberOfSegmentsHighMark"
};

// Each value read on its own with the DWORD rule; absent ones take the default.
BufferPoolSettings ReadBufferPoolSettings();

// A segment's header (defined with the pool's code).
struct BufferPoolSegment;

}  // namespace bx

class CBufferPool;

// One record taken from the pool, given back when the holder goes unless it
// was handed on: what a producer holds while it fills a record, so that an
// exception on the way (a string copy that cannot allocate) loses nothing.
class CPooledRecord {
public:
    CPooledRecord(CBufferPool& pool, send_data_t* record) : pool_(pool), record_(record) {}
    ~CPooledRecord();
    CPooledRecord(const CPooledRecord&) = delete;
    CPooledRecord& operator=(const CPooledRecord&) = delete;

    send_data_t* get() const { return record_; }
    send_data_t* operator->() const { return record_; }
    explicit operator bool() const { return record_ != nullptr; }
    // Hands the record on (to the send queue): the holder no longer gives it back.
    send_data_t* release() {
        send_data_t* record = record_;
        record_ = nullptr;
        return record;
    }

private:
    CBufferPool& pool_;
    send_data_t* record_;
};

class CBufferPool : public CLogImpl {
public:
    // An empty pool with the default settings and its lock ready; Create
    // builds the starting segments.
    CBufferPool();
    ~CBufferPool() override;
    CBufferPool(const CBufferPool&) = delete;
    CBufferPool& operator=(const CBufferPool&) = delete;

    // Reads the SendDataPool settings (Create()) or takes the given ones,
    // frees whatever segments the pool held, and builds the starting
    // segments. A NumberOfObjectsInSegment of 0 is replaced by the default
    // 1000 and reported. Returns 0, or 8 when a starting segment could not be
    // allocated: the pool then starts empty (and still grows on demand).
    uint32_t Create();
    uint32_t Create(const bx::BufferPoolSettings& settings);

    // Raw storage for one record, or null when no record is free and the
    // pool may not (or cannot) grow.
    void* Allocate();
    // Constructs the record with its initial values in storage from Allocate.
    static send_data_t* Prepare(void* storage);
    // Destroys the record (its strings and SID) and gives its storage back.
    void Release(send_data_t* record);
    // Frees every segment and the spare. Records still out become invalid.
    void DestroyAll();

    // Reports a replaced NumberOfObjectsInSegment once a logger is there.
    void SetLogger(CBXLogger* logger) override;

    // The pool's state, each read under the lock.
    uint32_t SegmentCount() const;
    uint32_t FreeCount() const;
    bool HasSpare() const;
    bx::BufferPoolSettings Settings() const;
    uint32_t SpareThreshold() const;
    // Room for one record, chosen so that every record is 16-byte aligned.
    static uint32_t ObjectSize();
    // The bytes of one segment: its header and its slots.
    size_t SegmentBytes() const;

private:
    using Segment = bx::BufferPoolSegment;

    Segment* NewSegment();
    void FreeSegment(Segment* segment);
    void LinkTail(Segment* segment);
    void LinkHead(Segment* segment);
    void Unlink(Segment* segment);
    void FreeAllLocked();
    void ReportReplacedObjectCount();

    mutable std::mutex lock_;
    Segment* head_ = nullptr;
    Segment* tail_ = nullptr;
    uint32_t objectsPerSegment_;
    uint32_t lowMark_;
    uint32_t highMark_;
    uint32_t segmentCount_ = 0;
    uint32_t freeCount_ = 0;
    Segment* spare_ = nullptr;
    uint32_t spareThreshold_;
    uint32_t segmentsStart_;
    bool objectCountReplaced_ = false;
    bool objectCountReported_ = false;
};
