#include "agent/settings/log_burst.h"

#include <utility>

CLogBurst::CLogBurst(uint32_t linesPerBurst, uint32_t burstMs, Clock clock)
    : linesPerBurst_(linesPerBurst), burstMs_(burstMs), clock_(std::move(clock)) {}

void CLogBurst::CloseIfOver(uint32_t now) {
    if (!open_ || now - start_ < burstMs_) return;
    open_ = false;
    due_ += leftOut_;
    leftOut_ = 0;
}

bool CLogBurst::Admit(uint32_t priority) {
    if (priority == bx::kPriorityDebug) return true;
    const uint32_t now = clock_();
    CloseIfOver(now);
    if (!open_) {
        open_ = true;
        start_ = now;
        written_ = 0;
    }
    if (written_ < linesPerBurst_) {
        ++written_;
        return true;
    }
    ++leftOut_;
    return false;
}

uint32_t CLogBurst::TakeLeftOut() {
    CloseIfOver(clock_());
    const uint32_t due = due_;
    due_ = 0;
    return due;
}
