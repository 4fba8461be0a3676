// CReadBackoff: the pause the service thread takes while the driver's reads
// (or the run loop's wait) keep failing, so that a failing driver cannot make
// the loop spin. The first failure of a burst pauses 10 ms, each further one
// twice as long, up to 1 s; a success ends the burst and the pause.
#pragma once
#include <cstdint>

class CReadBackoff {
public:
    static constexpr uint32_t kFirstPauseMs = 10;
    static constexpr uint32_t kMaxPauseMs = 1000;

    // One more failure. True when it begins a burst (the one failure of the
    // burst worth an error line).
    bool Failed() {
        pauseMs_ = pauseMs_ == 0 ? kFirstPauseMs : (pauseMs_ * 2 > kMaxPauseMs ? kMaxPauseMs : pauseMs_ * 2);
        return ++failures_ == 1;
    }
    // A success: the number of failures of the burst it ends (0 when none).
    uint32_t Succeeded() {
        const uint32_t failures = failures_;
        failures_ = 0;
        pauseMs_ = 0;
        return failures;
    }
    // The pause before the next attempt: 0 outside a burst.
    uint32_t PauseMs() const { return pauseMs_; }
    uint32_t Failures() const { return failures_; }

private:
    uint32_t pauseMs_ = 0;
    uint32_t failures_ = 0;
};
