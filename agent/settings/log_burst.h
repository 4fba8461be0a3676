// CLogBurst: a bound on the lines one kind of event writes, so that whoever
// causes the events (a sender of datagrams, say) cannot fill the log and
// rotate its history away.
//
// Lines come in bursts. A burst opens with the first line when none is open
// and lasts burstMs; its first linesPerBurst lines are written, the rest are
// only counted. Once a burst is over, its count is handed out (TakeLeftOut)
// for the one line that says how many lines were left out.
//
// Set on a thread as its bx::LogGate, it decides for every error, warning and
// information line the thread writes; debug lines (written only with verbose
// logging on, which an administrator turns on to see everything) pass
// uncounted.
//
// One thread uses an object at a time: it has no lock.
#pragma once
#include <cstdint>
#include <functional>

#include "agent/settings/log_impl.h"

class CLogBurst : public bx::LogGate {
public:
    // Milliseconds that wrap around like a tick count.
    using Clock = std::function<uint32_t()>;

    CLogBurst(uint32_t linesPerBurst, uint32_t burstMs, Clock clock);

    // One more line: true when it is written (it is counted either way).
    bool Admit(uint32_t priority) override;
    // The lines left out in bursts that are over, since the last call; 0
    // when there are none.
    uint32_t TakeLeftOut();

private:
    void CloseIfOver(uint32_t now);

    const uint32_t linesPerBurst_;
    const uint32_t burstMs_;
    Clock clock_;
    bool open_ = false;
    uint32_t start_ = 0;
    uint32_t written_ = 0;
    uint32_t leftOut_ = 0;  // of the open burst
    uint32_t due_ = 0;      // of bursts that are over
};
