#include "agent/appliance/data_queue.h"

#include <thread>

#include "platform/errors.h"

namespace {

// Overflow messages, shared by every queue of the process: whether the first
// overflow was reported, overflows since the last message, completed periods.
std::mutex overflowLock;
bool overflowReported = false;
uint32_t overflowsSinceMessage = 0;
uint32_t overflowPeriods = 0;

}  // namespace

CDataQueue::CDataQueue(const wchar_t* name, uint32_t capacity, CBufferPool& pool)
    : name_(name ? name : L""), capacity_(capacity), pool_(pool) {}

CDataQueue::~CDataQueue() { Empty(); }

void CDataQueue::AttachEvent(bx::sync::Event* notEmpty) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        notEmpty_ = notEmpty;
        if (notEmpty_ && !records_.empty()) notEmpty_->Set();
    }
    // An Enqueue that took the event before may still be setting it; once
    // this returns, the caller may close the event it detached.
    while (setting_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

uint32_t CDataQueue::Enqueue(send_data_t* record, bool atHead) {
    if (!record) return bx::err::kInvalidParameter;
    bx::sync::Event* notEmpty = nullptr;
    std::unique_lock<std::mutex> guard(lock_);
    if (closed_) {
        guard.unlock();
        pool_.Release(record);
        return bx::err::kShutdownInProgress;
    }
    if (records_.size() > capacity_) {
        LogOverflow();
        send_data_t* oldest = records_.front();
        records_.pop_front();
        CountPing(oldest, -1);
        pool_.Release(oldest);
        // The new record joins at the tail even when it asked for the head.
        records_.push_back(record);
        ++dropped_;
    } else if (atHead) {
        records_.push_front(record);
    } else {
        records_.push_back(record);
    }
    CountPing(record, +1);
    notEmpty = notEmpty_;
    if (notEmpty) setting_.fetch_add(1, std::memory_order_relaxed);
    guard.unlock();
    // The event is set outside the lock: the dispatcher it wakes takes the
    // lock at once, and would otherwise find it still held and sleep on it
    // again. A Dequeue that empties the queue in between and resets the
    // event only makes this Set wake the dispatcher to an empty queue.
    if (notEmpty) {
        notEmpty->Set();
        setting_.fetch_sub(1, std::memory_order_release);
    }
    return 0;
}

void CDataQueue::CountPing(const send_data_t* record, int change) {
    if (record->kind == bx::kKindPingResponse) pingAnswers_ += static_cast<uint32_t>(change);
}

void CDataQueue::Close() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
}

void CDataQueue::Open() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = false;
}

bool CDataQueue::Closed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

send_data_t* CDataQueue::Dequeue(bool* emptied) {
    std::lock_guard<std::mutex> guard(lock_);
    if (emptied) *emptied = true;
    if (records_.empty()) {
        if (notEmpty_) notEmpty_->Reset();
        return nullptr;
    }
    send_data_t* record = records_.front();
    records_.pop_front();
    CountPing(record, -1);
    if (!records_.empty()) {
        if (emptied) *emptied = false;
    } else if (notEmpty_) {
        notEmpty_->Reset();
    }
    return record;
}

void CDataQueue::Empty() {
    std::deque<send_data_t*> taken;
    {
        std::lock_guard<std::mutex> guard(lock_);
        taken.swap(records_);
        pingAnswers_ = 0;
        if (notEmpty_) notEmpty_->Reset();
    }
    for (send_data_t* record : taken) pool_.Release(record);
}

uint32_t CDataQueue::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<uint32_t>(records_.size());
}

bool CDataQueue::PingAnswerWaiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pingAnswers_ != 0;
}

uint32_t CDataQueue::Dropped() const {
    std::lock_guard<std::mutex> guard(lock_);
    return dropped_;
}

void CDataQueue::ResetOverflowLog() {
    std::lock_guard<std::mutex> guard(overflowLock);
    overflowReported = false;
    overflowsSinceMessage = 0;
    overflowPeriods = 0;
}

void CDataQueue::LogOverflow() {
    bool first = false;
    uint32_t periods = 0;
    {
        std::lock_guard<std::mutex> guard(overflowLock);
        if (!overflowReported) {
            overflowReported = true;
            first = true;
        } else if (++overflowsSinceMessage == kOverflowPeriod) {
            overflowsSinceMessage = 0;
            periods = ++overflowPeriods;
        }
    }
    if (first)
        LogError(L"'%ls' Queue overflown first time", name_.c_str());
    else if (periods != 0)
        LogError(L"'%ls' Queue overflown %d*500 times", name_.c_str(), static_cast<int>(periods));
}
