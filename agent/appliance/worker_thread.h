// CWorkerThread: one thread of the connection manager, stopped with a bounded
// wait. The body runs inside a catch-all, so no exception leaves the thread;
// when it returns, the thread's done event is set, which is what the bounded
// wait waits for. The owner joins the thread (unbounded) before it is
// destroyed, so a thread that overran its bound never outlives what it uses.
#pragma once
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/event.h"

class CWorkerThread {
public:
    CWorkerThread() = default;
    ~CWorkerThread() { Join(); }
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread: 0, or the system's error (nothing started).
    uint32_t Start(std::function<void()> body);

    // Waits up to `milliseconds` for the body to return; true when it did
    // (the thread is then joined) or no thread runs.
    bool WaitFor(uint32_t milliseconds);

    // Waits for the thread without limit.
    void Join();

    bool Running() const { return thread_.joinable(); }

private:
    std::thread thread_;
    bx::sync::Event done_;
};
