// CSnoopDevice over a driverless device: its reads are CSnoopReadQueue's
// reads of the backend's records.
#include "agent/snoop/snoop_device.h"
#include "agent/snoop/snoop_read_queue.h"
#include "platform/errors.h"

struct CSnoopDevice::Impl {
    bool open = false;
    bool doneAtOnce = false;  // the last read
    bx::sync::Event* event = nullptr;
    CSnoopReadQueue::Outcome outcome;
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
    if (uint32_t error = bx::snoopdev::BackendOpenError()) return error;
    impl_->open = true;
    return 0;
}

bool CSnoopDevice::IsOpen() const { return impl_->open; }

uint32_t CSnoopDevice::IssueRead(void* buffer, uint32_t size) {
    if (!impl_->open) return bx::err::kInvalidHandle;
    if (!buffer || size < SNOOP_EVENT_SIZE) return bx::err::kInsufficientBuffer;
    const uint32_t result =
        bx::snoopdev::BackendReads().Issue(this, buffer, size, impl_->event, &impl_->outcome, impl_->doneAtOnce);
    if (impl_->doneAtOnce) bx::snoopdev::BackendRecordTaken();
    return result;
}

bool CSnoopDevice::LastReadDoneAtOnce() const { return impl_->doneAtOnce; }

uint32_t CSnoopDevice::ReadResult(uint32_t& transferred) {
    transferred = 0;
    if (!impl_->open) return bx::err::kInvalidHandle;
    return bx::snoopdev::BackendReads().Result(this, impl_->outcome, transferred);
}

uint32_t CSnoopDevice::CancelRead(uint32_t /*waitMs*/) {
    bx::snoopdev::BackendReads().Cancel(this, impl_->outcome);
    return 0;
}

void CSnoopDevice::Close() {
    if (!impl_->open) return;
    CancelRead(0);
    impl_->open = false;
}
