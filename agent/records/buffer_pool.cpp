#include "agent/records/buffer_pool.h"

#include <cstring>
#include <new>

#include "agent/settings/settings_reader.h"
#include "platform/errors.h"
#include "platform/pages.h"

namespace bx {

BufferPoolSettings ReadBufferPoolSettings() {
    BufferPoolSettings defaults;
    BufferPoolSettings settings;
    const SettingsReader stored(kSendDataPoolKeyPath);
    settings.objectsPerSegment = stored.Dword(L"NumberOfObjectsInSegment", defaults.objectsPerSegment);
    settings.segmentsStart = stored.Dword(L"NumberOfSegmentsStart", defaults.segmentsStart);
    settings.lowMark = stored.Dword(L"NumberOfSegmentsLowMark", defaults.lowMark);
    settings.highMark = stored.Dword(L"NumberOfSegmentsHighMark", defaults.highMark);
    return settings;
}

}  // namespace bx

namespace {

constexpr size_t kAlign = 16;
constexpr size_t kIndexBytes = sizeof(uint32_t);

constexpr size_t RoundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// Object size and header size are chosen so that index + object and
// header + index are whole multiples of 16: every record is 16-byte aligned
// in a segment, which starts a page.
constexpr size_t kObjectSize = RoundUp(sizeof(send_data_t) + kIndexBytes) - kIndexBytes;
constexpr size_t kSlotSize = kObjectSize + kIndexBytes;
static_assert(alignof(send_data_t) <= kAlign, "records need more than 16-byte alignment");
static_assert(kObjectSize >= sizeof(void*), "a free record holds the link to the next");

uint32_t ThresholdFor(uint32_t objectsPerSegment) {
    // objects per segment times 0.333, truncated
    return static_cast<uint32_t>(static_cast<uint64_t>(objectsPerSegment) * 333u / 1000u);
}

void* NextFree(void* object) {
    void* next;
    std::memcpy(&next, object, sizeof next);
    return next;
}

void SetNextFree(void* object, void* next) { std::memcpy(object, &next, sizeof next); }

}  // namespace

struct bx::BufferPoolSegment {
    BufferPoolSegment* prev;
    BufferPoolSegment* next;
    void* freeHead;      // first free object of this segment
    uint32_t freeCount;  // free objects of this segment
};

namespace {
constexpr size_t kHeaderSize = RoundUp(sizeof(bx::BufferPoolSegment) + kIndexBytes) - kIndexBytes;
constexpr size_t SegmentBytesFor(uint32_t objects) { return kHeaderSize + size_t{objects} * kSlotSize; }
}  // namespace

CBufferPool::CBufferPool() {
    bx::BufferPoolSettings defaults;
    objectsPerSegment_ = defaults.objectsPerSegment;
    lowMark_ = defaults.lowMark;
    highMark_ = defaults.highMark;
    segmentsStart_ = defaults.segmentsStart;
    spareThreshold_ = ThresholdFor(objectsPerSegment_);
}

CBufferPool::~CBufferPool() { DestroyAll(); }

uint32_t CBufferPool::ObjectSize() { return static_cast<uint32_t>(kObjectSize); }

uint32_t CBufferPool::Create() { return Create(bx::ReadBufferPoolSettings()); }

uint32_t CBufferPool::Create(const bx::BufferPoolSettings& settings) {
    uint32_t result = bx::err::kSuccess;
    {
        std::lock_guard<std::mutex> guard(lock_);
        FreeAllLocked();
        // Segments without objects would make the pool grow for ever without
        // handing out a record: use the default and say so.
        objectCountReplaced_ = settings.objectsPerSegment == 0;
        objectCountReported_ = false;
        objectsPerSegment_ =
            objectCountReplaced_ ? bx::BufferPoolSettings{}.objectsPerSegment : settings.objectsPerSegment;
        segmentsStart_ = settings.segmentsStart;
        lowMark_ = settings.lowMark;
        highMark_ = settings.highMark;
        spareThreshold_ = ThresholdFor(objectsPerSegment_);
        for (uint32_t i = 0; i < segmentsStart_; ++i) {
            Segment* segment = NewSegment();
            if (!segment) {
                FreeAllLocked();
                result = bx::err::kNotEnoughMemory;
                break;
            }
            LinkTail(segment);
            freeCount_ += objectsPerSegment_;
            ++segmentCount_;
        }
    }
    ReportReplacedObjectCount();
    return result;
}

void CBufferPool::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    ReportReplacedObjectCount();
}

void CBufferPool::ReportReplacedObjectCount() {
    if (!logRef) return;
    uint32_t used;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!objectCountReplaced_ || objectCountReported_) return;
        objectCountReported_ = true;
        used = objectsPerSegment_;
    }
    LogWarning(L"SendDataPool: NumberOfObjectsInSegment is 0, using %u objects per segment", used);
}

size_t CBufferPool::SegmentBytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return SegmentBytesFor(objectsPerSegment_);
}

CBufferPool::Segment* CBufferPool::NewSegment() {
    if (objectsPerSegment_ > (SIZE_MAX - kHeaderSize) / kSlotSize) return nullptr;
    auto* base = static_cast<uint8_t*>(bx::pages::Allocate(SegmentBytesFor(objectsPerSegment_)));
    if (!base) return nullptr;
    auto* segment = new (base) Segment{nullptr, nullptr, nullptr, objectsPerSegment_};
    // Slots in order, each pushed in front: the last slot is handed out first.
    uint8_t* slot = base + kHeaderSize;
    for (uint32_t index = 0; index < objectsPerSegment_; ++index, slot += kSlotSize) {
        std::memcpy(slot, &index, kIndexBytes);
        void* object = slot + kIndexBytes;
        SetNextFree(object, segment->freeHead);
        segment->freeHead = object;
    }
    return segment;
}

// Every segment held has the current size: Create frees them all before it
// changes objectsPerSegment_.
void CBufferPool::FreeSegment(Segment* segment) {
    segment->~Segment();
    bx::pages::Free(segment, SegmentBytesFor(objectsPerSegment_));
}

void CBufferPool::LinkTail(Segment* segment) {
    segment->prev = tail_;
    segment->next = nullptr;
    if (tail_)
        tail_->next = segment;
    else
        head_ = segment;
    tail_ = segment;
}

void CBufferPool::LinkHead(Segment* segment) {
    segment->prev = nullptr;
    segment->next = head_;
    if (head_)
        head_->prev = segment;
    else
        tail_ = segment;
    head_ = segment;
}

void CBufferPool::Unlink(Segment* segment) {
    if (segment->prev)
        segment->prev->next = segment->next;
    else
        head_ = segment->next;
    if (segment->next)
        segment->next->prev = segment->prev;
    else
        tail_ = segment->prev;
    segment->prev = segment->next = nullptr;
}

void* CBufferPool::Allocate() {
    std::lock_guard<std::mutex> guard(lock_);
    if (freeCount_ == 0) {
        if (segmentCount_ > highMark_) return nullptr;
        Segment* segment = spare_;
        spare_ = nullptr;
        if (!segment) segment = NewSegment();
        if (!segment) return nullptr;
        LinkTail(segment);
        freeCount_ += objectsPerSegment_;
        ++segmentCount_;
    }
    Segment* segment = tail_;
    void* object = segment->freeHead;
    segment->freeHead = NextFree(object);
    if (--segment->freeCount == 0) {
        Unlink(segment);
        LinkHead(segment);
    }
    --freeCount_;
    return object;
}

send_data_t* CBufferPool::Prepare(void* storage) {
    // Default-initialised: every member has its initial value from its own
    // initialiser, without clearing the whole record first.
    return storage ? new (storage) send_data_t : nullptr;
}

CPooledRecord::~CPooledRecord() {
    if (record_) pool_.Release(record_);
}

void CBufferPool::Release(send_data_t* record) {
    if (!record) return;
    record->~send_data_t();
    void* object = record;
    auto* bytes = static_cast<uint8_t*>(object);
    uint32_t index;
    std::memcpy(&index, bytes - kIndexBytes, kIndexBytes);

    std::lock_guard<std::mutex> guard(lock_);
    auto* segment = reinterpret_cast<Segment*>(bytes - kIndexBytes - index * kSlotSize - kHeaderSize);
    SetNextFree(object, segment->freeHead);
    segment->freeHead = object;
    ++segment->freeCount;
    if (segment != tail_) {
        Unlink(segment);
        LinkTail(segment);
    }
    if (spare_ && freeCount_ > spareThreshold_) {
        FreeSegment(spare_);
        spare_ = nullptr;
    }
    if (segment->freeCount == objectsPerSegment_ && segmentCount_ > lowMark_) {
        Unlink(segment);
        if (spare_)
            FreeSegment(segment);
        else
            spare_ = segment;
        // Its other objects were counted free; this one is not counted yet.
        freeCount_ -= objectsPerSegment_ - 1;
        --segmentCount_;
        return;
    }
    ++freeCount_;
}

void CBufferPool::DestroyAll() {
    std::lock_guard<std::mutex> guard(lock_);
    FreeAllLocked();
}

void CBufferPool::FreeAllLocked() {
    while (tail_) {
        Segment* segment = tail_;
        Unlink(segment);
        freeCount_ -= segment->freeCount;
        --segmentCount_;
        FreeSegment(segment);
    }
    if (spare_) {
        FreeSegment(spare_);
        spare_ = nullptr;
    }
    segmentCount_ = 0;
    freeCount_ = 0;
}

uint32_t CBufferPool::SegmentCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return segmentCount_;
}

uint32_t CBufferPool::FreeCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return freeCount_;
}

bool CBufferPool::HasSpare() const {
    std::lock_guard<std::mutex> guard(lock_);
    return spare_ != nullptr;
}

bx::BufferPoolSettings CBufferPool::Settings() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {objectsPerSegment_, segmentsStart_, lowMark_, highMark_};
}

uint32_t CBufferPool::SpareThreshold() const {
    std::lock_guard<std::mutex> guard(lock_);
    return spareThreshold_;
}
