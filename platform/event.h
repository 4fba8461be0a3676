// Event: a signal one thread sets and others wait for, with manual or automatic
// reset, and a wait for one event or for either of two with a time-out.
//
// Windows: CreateEventW, SetEvent, ResetEvent, WaitForSingleObject and
// WaitForMultipleObjects. POSIX: an eventfd per event, poll() for the waits;
// the set state itself is kept under a small lock, and the descriptor is
// written only for a waiter that may be in poll(), so a set that finds the
// event already set, or nobody waiting, costs no system call.
//
// An Event owns its object and releases it when destroyed; it is neither
// copyable nor movable (threads keep references to it). No thread may still
// be waiting on an event when it is closed.
//
// Windows-only code that hands the event to the system itself (an OVERLAPPED,
// a wait on several objects) reaches its HANDLE through
// platform/win/event_handle.h.
#pragma once
#include <cstdint>

namespace bx::sync {

// Results of the waits (the Windows values).
constexpr uint32_t kWaitObject0 = 0;           // the first (or only) event was set
constexpr uint32_t kWaitObject1 = 1;           // the second event was set
constexpr uint32_t kWaitTimeout = 258;         // WAIT_TIMEOUT
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;  // WAIT_FAILED
constexpr uint32_t kInfinite = 0xFFFFFFFFu;    // INFINITE

enum class ResetMode {
    Manual,  // stays set until Reset; every waiter is released
    Auto,    // a wait that is satisfied by it resets it; one waiter is released
};

class Event {
public:
    Event() = default;
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Creates the event (closing any it held). 0 or the system's error.
    uint32_t Create(ResetMode mode, bool initiallySet = false);
    bool IsValid() const { return handle_ != nullptr; }
    void Close();

    // 0, or the system's error (6 when the event was not created).
    uint32_t Set();
    uint32_t Reset();

    // Waits up to timeoutMs (kInfinite: no limit) for the event:
    // kWaitObject0, kWaitTimeout or kWaitFailed.
    uint32_t Wait(uint32_t timeoutMs);

private:
    friend uint32_t WaitAny(Event& first, Event& second, uint32_t timeoutMs);
    friend struct NativeEventAccess;  // defined by the Windows flavour only
    void* handle_ = nullptr;
};

// Waits up to timeoutMs for either event: kWaitObject0 when the first is set
// (it wins when both are), kWaitObject1 for the second, kWaitTimeout or
// kWaitFailed. An auto-reset event is reset only when it is the one reported.
uint32_t WaitAny(Event& first, Event& second, uint32_t timeoutMs);

}  // namespace bx::sync
