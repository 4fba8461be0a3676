// The in-process snoop device (POSIX has no driver): one process-wide device
// with a bounded queue of records and at most one outstanding read, which the
// records complete in the order they came. A completed read copies the record
// into the reader's buffer and sets its completion event (a bx::sync::Event).
#include <cstring>
#include <deque>
#include <mutex>

#include "agent/snoop/snoop_device.h"
#include "agent/snoop/snoop_device_inprocess.h"
#include "platform/errors.h"
#include "platform/event.h"

namespace {

constexpr uint32_t kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES
constexpr uint32_t kIoIncomplete = 996;        // ERROR_IO_INCOMPLETE
constexpr uint32_t kOperationAborted = 995;    // ERROR_OPERATION_ABORTED

// How a read ends: with `bytes` bytes of the record, or with `error`.
struct Completion {
    snoop_event_t record;
    uint32_t bytes;
    uint32_t error;
};

// What the last completed read of one device object ended with.
struct ReadOutcome {
    uint32_t error = 0;
    uint32_t transferred = 0;
};

struct PendingRead {
    void* buffer = nullptr;
    uint32_t size = 0;
    bx::sync::Event* event = nullptr;
    const void* owner = nullptr;
    ReadOutcome* outcome = nullptr;
};

struct InProcessDevice {
    std::mutex lock;
    bool present = true;
    std::deque<Completion> queue;
    bool pending = false;
    PendingRead read;
};

InProcessDevice& Device() {
    static InProcessDevice device;
    return device;
}

// Under the device's lock: hands the record to the outstanding read.
void CompleteLocked(InProcessDevice& device, const Completion& completion) {
    PendingRead read = device.read;
    device.pending = false;
    device.read = PendingRead{};
    uint32_t bytes = completion.error == 0 ? completion.bytes : 0;
    if (bytes > read.size) bytes = read.size;
    std::memcpy(read.buffer, &completion.record, bytes);
    if (read.outcome) *read.outcome = ReadOutcome{completion.error, bytes};
    if (read.event) read.event->Set();
}

uint32_t Complete(const Completion& completion) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending) {
        CompleteLocked(device, completion);
        return 0;
    }
    if (device.queue.size() >= bx::snoopdev::kInProcessQueueCapacity) return kNoSystemResources;
    device.queue.push_back(completion);
    return 0;
}

}  // namespace

struct CSnoopDevice::Impl {
    bool open = false;
    bx::sync::Event* event = nullptr;
    ReadOutcome outcome;
};

CSnoopDevice::CSnoopDevice() : impl_(new Impl) {}

CSnoopDevice::~CSnoopDevice() {
    CancelRead(0);
    Close();
}

void CSnoopDevice::SetCompletionEvent(bx::sync::Event& event) { impl_->event = &event; }

bx::sync::Event* CSnoopDevice::CompletionEvent() const { return impl_->event; }

uint32_t CSnoopDevice::Open() {
    Close();
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (!device.present) return bx::err::kFileNotFound;
    impl_->open = true;
    return 0;
}

bool CSnoopDevice::IsOpen() const { return impl_->open; }

uint32_t CSnoopDevice::IssueRead(void* buffer, uint32_t size) {
    if (!impl_->open) return bx::err::kInvalidHandle;
    if (!buffer || size < SNOOP_EVENT_SIZE) return bx::err::kInsufficientBuffer;
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending) return bx::err::kInvalidParameter;  // one request at a time
    device.pending = true;
    device.read = PendingRead{buffer, size, impl_->event, this, &impl_->outcome};
    impl_->outcome = ReadOutcome{};
    if (!device.queue.empty()) {
        Completion completion = device.queue.front();
        device.queue.pop_front();
        CompleteLocked(device, completion);
    }
    return 0;
}

uint32_t CSnoopDevice::ReadResult(uint32_t& transferred) {
    transferred = 0;
    if (!impl_->open) return bx::err::kInvalidHandle;
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending && device.read.owner == this) return kIoIncomplete;
    transferred = impl_->outcome.transferred;
    return impl_->outcome.error;
}

uint32_t CSnoopDevice::CancelRead(uint32_t /*waitMs*/) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending && device.read.owner == this) {
        device.pending = false;
        device.read = PendingRead{};
        impl_->outcome = ReadOutcome{kOperationAborted, 0};
    }
    return 0;
}

void CSnoopDevice::Close() {
    if (!impl_->open) return;
    CancelRead(0);
    impl_->open = false;
}

namespace bx::snoopdev {

void SetDevicePresent(bool present) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    device.present = present;
}

uint32_t InjectSnoopRecord(const snoop_event_t& record) { return Complete(Completion{record, SNOOP_EVENT_SIZE, 0}); }

uint32_t InjectShortSnoopRecord(const snoop_event_t& record, uint32_t bytes) {
    return Complete(Completion{record, bytes, 0});
}

uint32_t InjectFailedRead(uint32_t error) { return Complete(Completion{snoop_event_t{}, 0, error}); }

size_t QueuedSnoopRecords() {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    return device.queue.size();
}

bool ReadOutstanding() {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    return device.pending;
}

void ResetInProcessDevice() {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    device.present = true;
    device.queue.clear();
    device.pending = false;
    device.read = PendingRead{};
}

}  // namespace bx::snoopdev
