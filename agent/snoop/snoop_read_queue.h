// CSnoopReadQueue: the records of a snoop device that has no driver behind
// it (the in-process device of the tests, the Linux agent's eBPF programs),
// and the one outstanding read of a CSnoopDevice that they complete, as the
// driver completes its pending request: a record completes the read that
// waits for one, or waits itself for the next read, in the order records
// came. A completed read copies the record into the reader's buffer, notes
// the outcome and sets the reader's completion event. Thread-safe.
//
// CSnoopDevice over such a device (snoop_device_queued.cpp) reads the queue
// of its backend, which says whether the device is there (the functions at
// the end: snoop_device_posix.cpp, snoop_device_linux.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "agent/snoop/snoop_event.h"
#include "platform/event.h"

class CSnoopReadQueue {
public:
    // What a device object's last completed read ended with.
    struct Outcome {
        uint32_t error = 0;
        uint32_t transferred = 0;
    };
    // How a read ends: with `bytes` bytes of the record, or with `error`.
    struct Completion {
        snoop_event_t record;
        uint32_t bytes = SNOOP_EVENT_SIZE;
        uint32_t error = 0;
    };

    // Completes the outstanding read, or queues the completion. False (and
    // nothing queued) when no read waits and `capacity` completions wait
    // already.
    bool Complete(const Completion& completion, size_t capacity = SIZE_MAX);

    // A read by `owner` (the device object) into buffer: 0, pending or done
    // at once from the queue (`doneAtOnce`); 87 when a read is outstanding
    // already. The outcome is written, and the event set, when it completes.
    uint32_t Issue(const void* owner, void* buffer, uint32_t size, bx::sync::Event* event, Outcome* outcome,
                   bool& doneAtOnce);
    // 996 (ERROR_IO_INCOMPLETE) while owner's read is outstanding; else the
    // outcome's error, with its bytes in `transferred`.
    uint32_t Result(const void* owner, const Outcome& outcome, uint32_t& transferred) const;
    // Ends owner's outstanding read with 995 (ERROR_OPERATION_ABORTED),
    // without setting its event.
    void Cancel(const void* owner, Outcome& outcome);

    size_t Queued() const;
    bool Outstanding() const;
    // No completion waits and no read is outstanding.
    void Clear();

private:
    struct PendingRead {
        void* buffer = nullptr;
        uint32_t size = 0;
        bx::sync::Event* event = nullptr;
        const void* owner = nullptr;
        Outcome* outcome = nullptr;
    };
    void CompleteLocked(const Completion& completion);

    mutable std::mutex lock_;
    std::deque<Completion> queue_;
    bool pending_ = false;
    PendingRead read_;
};

namespace bx::snoopdev {

// The backend's records.
CSnoopReadQueue& BackendReads();
// 0 when the device can be opened now; else the error (2: there is none).
uint32_t BackendOpenError();
// A read has just taken a record from the queue.
void BackendRecordTaken();

}  // namespace bx::snoopdev
