// Events on POSIX: an eventfd per event, waited for with poll(), written only
// for a waiter that may be in poll().
#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

#include "platform/errors.h"

namespace bx::sync {
namespace {

struct EventObject {
    int fd = -1;
    bool manual = true;
    // The set state, changed under the lock; a wait for a manual-reset event
    // only reads it, without the lock (Take). A waiter counts itself in
    // `waiters` before it looks at the state and polls the descriptor; a Set
    // with nobody counted makes no system call, as a waiter that counts
    // itself later finds the state set before it polls (the count and the
    // state are sequentially consistent, so one of the two sees the other).
    // With a waiter counted, Set writes the descriptor (`written`), after
    // letting the lock go so that the waiter it wakes does not sleep on the
    // lock again; whoever clears the state under the lock drains what was
    // written. A Reset or Take between the state and the write leaves the
    // descriptor readable while the event is not set, and the waiter that
    // finds it so drains it (Settle) and waits on.
    std::mutex lock;
    std::atomic<bool> set{false};
    std::atomic<int> waiters{0};
    bool written = false;  // under the lock
};

EventObject* ObjectOf(void* handle) { return static_cast<EventObject*>(handle); }

uint32_t FromErrno(int error) {
    switch (error) {
        case ENOMEM:
            return err::kNotEnoughMemory;
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EBADF:
            return err::kInvalidHandle;
        default:
            return err::kGenFailure;
    }
}

void Signal(EventObject& event) {
    const uint64_t one = 1;
    // The counter cannot overflow: it only ever holds 0 or 1.
    while (write(event.fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(EventObject& event) {
    uint64_t value;
    while (read(event.fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

// The state was just cleared (under the lock): drains what a Set wrote.
void Clear(EventObject& event) {
    if (!event.written) return;
    Drain(event);
    event.written = false;
}

// Takes the event for a waiter that saw its descriptor readable: true when it
// is (still) set; an auto-reset event is reset by the taking.
bool Take(EventObject& event) {
    // Taking a manual-reset event changes nothing, so it needs no lock: a
    // waiter that Set woke would otherwise find the lock still held by the
    // setter, in its write to the descriptor, and sleep on it again.
    if (event.manual) return event.set.load();
    std::lock_guard<std::mutex> guard(event.lock);
    if (!event.set.load()) return false;
    event.set.store(false);
    Clear(event);
    return true;
}

// A waiter found the descriptor readable but the event not set: drains it
// while the event is still not set, so that the next poll waits.
void Settle(EventObject& event) {
    std::lock_guard<std::mutex> guard(event.lock);
    if (!event.set.load()) {
        Drain(event);
        event.written = false;
    }
}

// Counts a waiter of the events for as long as it lives.
class Waiting {
public:
    Waiting(EventObject* const* events, int count) : events_(events), count_(count) {
        for (int i = 0; i < count_; ++i) events_[i]->waiters.fetch_add(1);
    }
    ~Waiting() {
        for (int i = 0; i < count_; ++i) events_[i]->waiters.fetch_sub(1);
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

private:
    EventObject* const* events_;
    int count_;
};

uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t WaitOn(EventObject* const* events, int count, uint32_t timeoutMs) {
    const Waiting waiting(events, count);
    // An event that is set already needs no system call (a dispatcher that
    // runs its queue down waits once per record).
    for (int i = 0; i < count; ++i)
        if (Take(*events[i])) return kWaitObject0 + static_cast<uint32_t>(i);
    pollfd fds[2];
    for (int i = 0; i < count; ++i) fds[i] = pollfd{events[i]->fd, POLLIN, 0};
    const uint64_t deadline = timeoutMs == kInfinite ? 0 : NowMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            const uint64_t now = NowMs();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        for (int i = 0; i < count; ++i) fds[i].revents = 0;
        const int ready = poll(fds, static_cast<nfds_t>(count), wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return kWaitFailed;
        }
        // The lowest-numbered set event wins, as with WaitForMultipleObjects;
        // each is checked again under its lock (another waiter may have taken
        // an auto-reset event first).
        for (int i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) return kWaitFailed;
            if ((fds[i].revents & POLLIN) == 0) continue;
            if (Take(*events[i])) return kWaitObject0 + static_cast<uint32_t>(i);
            Settle(*events[i]);
        }
        if (ready == 0 && wait == 0) return kWaitTimeout;
    }
}

}  // namespace

Event::~Event() { Close(); }

uint32_t Event::Create(ResetMode mode, bool initiallySet) {
    Close();
    EventObject* event = new (std::nothrow) EventObject;
    if (!event) return err::kNotEnoughMemory;
    event->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event->fd < 0) {
        const uint32_t error = FromErrno(errno);
        delete event;
        return error;
    }
    event->manual = mode == ResetMode::Manual;
    event->set.store(initiallySet);
    handle_ = event;
    return 0;
}

void Event::Close() {
    EventObject* event = ObjectOf(handle_);
    if (!event) return;
    handle_ = nullptr;
    close(event->fd);
    delete event;
}

uint32_t Event::Set() {
    EventObject* event = ObjectOf(handle_);
    if (!event) return err::kInvalidHandle;
    {
        std::lock_guard<std::mutex> guard(event->lock);
        if (event->set.load()) return 0;
        event->set.store(true);
        if (event->written || event->waiters.load() == 0) return 0;
        event->written = true;
    }
    Signal(*event);
    return 0;
}

uint32_t Event::Reset() {
    EventObject* event = ObjectOf(handle_);
    if (!event) return err::kInvalidHandle;
    std::lock_guard<std::mutex> guard(event->lock);
    if (event->set.load()) {
        event->set.store(false);
        Clear(*event);
    }
    return 0;
}

uint32_t Event::Wait(uint32_t timeoutMs) {
    EventObject* event = ObjectOf(handle_);
    if (!event) return kWaitFailed;
    EventObject* events[1] = {event};
    return WaitOn(events, 1, timeoutMs);
}

uint32_t WaitAny(Event& first, Event& second, uint32_t timeoutMs) {
    EventObject* events[2] = {ObjectOf(first.handle_), ObjectOf(second.handle_)};
    if (!events[0] || !events[1]) return kWaitFailed;
    return WaitOn(events, 2, timeoutMs);
}

}  // namespace bx::sync
