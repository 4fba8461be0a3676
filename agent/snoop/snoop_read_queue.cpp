#include "agent/snoop/snoop_read_queue.h"

#include <cstring>

#include "platform/errors.h"

namespace {
constexpr uint32_t kIoIncomplete = 996;      // ERROR_IO_INCOMPLETE
constexpr uint32_t kOperationAborted = 995;  // ERROR_OPERATION_ABORTED
}  // namespace

void CSnoopReadQueue::CompleteLocked(const Completion& completion) {
    PendingRead read = read_;
    pending_ = false;
    read_ = PendingRead{};
    uint32_t bytes = completion.error == 0 ? completion.bytes : 0;
    if (bytes > read.size) bytes = read.size;
    std::memcpy(read.buffer, &completion.record, bytes);
    if (read.outcome) *read.outcome = Outcome{completion.error, bytes};
    if (read.event) read.event->Set();
}

bool CSnoopReadQueue::Complete(const Completion& completion, size_t capacity) {
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_) {
        CompleteLocked(completion);
        return true;
    }
    if (queue_.size() >= capacity) return false;
    queue_.push_back(completion);
    return true;
}

uint32_t CSnoopReadQueue::Issue(const void* owner, void* buffer, uint32_t size, bx::sync::Event* event,
                                Outcome* outcome, bool& doneAtOnce) {
    std::lock_guard<std::mutex> guard(lock_);
    doneAtOnce = false;
    if (pending_) return bx::err::kInvalidParameter;  // one request at a time
    pending_ = true;
    read_ = PendingRead{buffer, size, event, owner, outcome};
    if (outcome) *outcome = Outcome{};
    if (!queue_.empty()) {
        const Completion completion = queue_.front();
        queue_.pop_front();
        CompleteLocked(completion);
        doneAtOnce = true;
    }
    return 0;
}

uint32_t CSnoopReadQueue::Result(const void* owner, const Outcome& outcome, uint32_t& transferred) const {
    std::lock_guard<std::mutex> guard(lock_);
    transferred = 0;
    if (pending_ && read_.owner == owner) return kIoIncomplete;
    transferred = outcome.transferred;
    return outcome.error;
}

void CSnoopReadQueue::Cancel(const void* owner, Outcome& outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_ && read_.owner == owner) {
        pending_ = false;
        read_ = PendingRead{};
        outcome = Outcome{kOperationAborted, 0};
    }
}

size_t CSnoopReadQueue::Queued() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

bool CSnoopReadQueue::Outstanding() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pending_;
}

void CSnoopReadQueue::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    queue_.clear();
    pending_ = false;
    read_ = PendingRead{};
}
