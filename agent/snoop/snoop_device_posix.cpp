// The in-process snoop device (POSIX has no driver), the backend of
// CSnoopDevice in the portable tests and benchmarks: one process-wide device
// whose records (and failed reads) they inject, completing the outstanding
// read or waiting for the next one (CSnoopReadQueue), at most
// kInProcessQueueCapacity of them, as the driver stand-in holds them.
#include <mutex>

#include "agent/snoop/snoop_device_inprocess.h"
#include "agent/snoop/snoop_read_queue.h"
#include "platform/errors.h"

namespace {

constexpr uint32_t kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES

struct InProcessDevice {
    std::mutex lock;  // present
    bool present = true;
    CSnoopReadQueue reads;
};

InProcessDevice& Device() {
    static InProcessDevice device;
    return device;
}

uint32_t Complete(const CSnoopReadQueue::Completion& completion) {
    return Device().reads.Complete(completion, bx::snoopdev::kInProcessQueueCapacity) ? 0 : kNoSystemResources;
}

}  // namespace

namespace bx::snoopdev {

CSnoopReadQueue& BackendReads() { return Device().reads; }

uint32_t BackendOpenError() {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    return device.present ? 0 : err::kFileNotFound;
}

void BackendRecordTaken() {}

void SetDevicePresent(bool present) {
    InProcessDevice& device = Device();
    std::lock_guard<std::mutex> guard(device.lock);
    device.present = present;
}

uint32_t InjectSnoopRecord(const snoop_event_t& record) { return Complete({record, SNOOP_EVENT_SIZE, 0}); }

uint32_t InjectShortSnoopRecord(const snoop_event_t& record, uint32_t bytes) { return Complete({record, bytes, 0}); }

uint32_t InjectFailedRead(uint32_t error) { return Complete({snoop_event_t{}, 0, error}); }

size_t QueuedSnoopRecords() { return Device().reads.Queued(); }

bool ReadOutstanding() { return Device().reads.Outstanding(); }

void ResetInProcessDevice() {
    SetDevicePresent(true);
    Device().reads.Clear();
}

}  // namespace bx::snoopdev
