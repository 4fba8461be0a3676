// CDataQueue: the bounded queue of send-data records waiting for the
// dispatcher ("SendQ").
//
// Producers put records at the tail (connection and logoff notifications,
// retransmissions) or at the head (reset request, ping answers, resends after
// "Unknown SessionID"); the dispatcher takes them from the head. The queue
// never blocks a producer: when it already holds more records than its
// capacity, the record at its head is dropped (returned to the pool) and the
// new one appended at the tail, so it accepts capacity + 1 records before the
// first drop. Overflows are logged the first time and then once per period of
// kOverflowPeriod overflows, counted over every queue of the process.
//
// The queue owns every record it holds; Empty gives them all back to the pool.
// Once closed (the connection manager is stopping) it refuses every record:
// Enqueue gives it straight back to the pool, so that nothing is queued that
// the stop would no longer empty. All operations take the queue's lock for
// their whole length, except that Enqueue sets the queue-not-empty event
// after letting the lock go.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "agent/records/buffer_pool.h"
#include "agent/records/send_data.h"
#include "agent/settings/log_impl.h"
#include "platform/event.h"

class CDataQueue : public CLogImpl {
public:
    // Overflows counted between two overflow messages.
    static constexpr uint32_t kOverflowPeriod = 500;

    CDataQueue(const wchar_t* name, uint32_t capacity, CBufferPool& pool);
    ~CDataQueue() override;
    CDataQueue(const CDataQueue&) = delete;
    CDataQueue& operator=(const CDataQueue&) = delete;

    // The queue-not-empty event: set by every Enqueue, reset by the Dequeue
    // that empties the queue. Null detaches it; AttachEvent returns only once
    // no Enqueue is still setting the event it replaced.
    void AttachEvent(bx::sync::Event* notEmpty);

    // Hands the record to the queue. 0, 87 for a null record (nothing
    // queued), or 1115 when the queue is closed (the record went back to the
    // pool).
    uint32_t Enqueue(send_data_t* record, bool atHead);

    // Close refuses every later Enqueue; Open (the manager's start) takes
    // records again. A new queue is open.
    void Close();
    void Open();
    bool Closed() const;

    // The record at the head, taken out; null when the queue is empty.
    // `emptied`, when given, tells whether the queue is empty now.
    send_data_t* Dequeue(bool* emptied = nullptr);

    // Returns every queued record to the pool; the count drops to 0 (the
    // dropped count stays).
    void Empty();

    const std::wstring& Name() const { return name_; }
    uint32_t Capacity() const { return capacity_; }
    uint32_t Count() const;
    uint32_t Dropped() const;
    // Whether a ping answer (kind 2) waits in the queue.
    bool PingAnswerWaiting() const;

    // Starts the process-wide overflow messages afresh (the next overflow is
    // reported as the first).
    static void ResetOverflowLog();

private:
    void LogOverflow();
    // Counts the ping answers going in (+1) and out (-1); under the lock.
    void CountPing(const send_data_t* record, int change);

    const std::wstring name_;
    const uint32_t capacity_;
    CBufferPool& pool_;
    mutable std::mutex lock_;
    std::deque<send_data_t*> records_;
    uint32_t dropped_ = 0;
    uint32_t pingAnswers_ = 0;
    bool closed_ = false;
    bx::sync::Event* notEmpty_ = nullptr;
    // Enqueues that took notEmpty_ under the lock and have not finished
    // setting it yet.
    std::atomic<uint32_t> setting_{0};
};
