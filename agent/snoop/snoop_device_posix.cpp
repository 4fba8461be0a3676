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

struct PendingRead {
    void* buffer = nullptr;
    uint32_t size = 0;
    bx::sync::Event* event = nullptr;
    const void* owner = nullptr;
};

struct InProcessDevice {
    std::mutex lock;
    bool present = true;
    std::deque<snoop_event_t> queue;
    bool pending = false;
    PendingRead read;
};

InProcessDevice& Device() {
    static InProcessDevice device;
    return device;
}

// Under the device's lock: hands the record to the outstanding read.
void CompleteLocked(InProcessDevice& device, const snoop_event_t& record) {
    PendingRead read = device.read;
    device.pending = false;
    device.read = PendingRead{};
    std::memcpy(read.buffer, &record, read.size < sizeof record ? read.size : sizeof record);
    if (read.event) read.event->Set();
}

}  // namespace

struct CSnoopDevice::Impl {
    bool open = false;
    bx::sync::Event* event = nullptr;
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
    device.read = PendingRead{buffer, size, impl_->event, this};
    if (!device.queue.empty()) {
        snoop_event_t record = device.queue.front();
        device.queue.pop_front();
        CompleteLocked(device, record);
    }
    return 0;
}

uint32_t CSnoopDevice::CancelRead(uint32_t /*waitMs*/) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending && device.read.owner == this) {
        device.pending = false;
        device.read = PendingRead{};
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

uint32_t InjectSnoopRecord(const snoop_event_t& record) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    if (device.pending) {
        CompleteLocked(device, record);
        return 0;
    }
    if (device.queue.size() >= kInProcessQueueCapacity) return kNoSystemResources;
    device.queue.push_back(record);
    return 0;
}

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
