// CWakePacer: whether a thread that is woken for each datagram to send or
// each answer received lets a short burst gather before it waits again.
//
// On a busy server a wake-up (two context switches, a poll or a blocking
// receive) costs more than building and sending a notification or handling
// its answer. When records come faster than one per kHoldUs / kMinBatch
// microseconds on average, the thread, once it has done everything waiting,
// pauses kHoldUs before it waits again: what came meanwhile is done in one
// run, at most kHoldUs later than it would have been. Below that rate it
// never pauses, so a quiet or ordinary server's notifications leave as soon
// as they are queued. The order of the work is untouched: the pause only
// sits between two runs.
//
// The rate is a running mean of the time per record between the starts of
// two runs (each new gap weighs an eighth), so that a short burst of opens
// does not start the pauses, nor one idle second stop a sustained load's
// pauses for long. A thread busy more than half the time does not pause: it
// has no wake-ups to save, and a pause would put it behind.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/host_facts.h"

class CWakePacer {
public:
    // The pause between two runs, in microseconds.
    static constexpr uint32_t kHoldUs = 200;
    // Records expected within a pause for the pause to be worth making.
    static constexpr uint32_t kMinBatch = 4;

    // Microseconds on the steady clock: the time a run starts.
    static uint64_t NowUs() {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    }

    // Called after each run: `startUs` is when it started (its wake, or the
    // end of the pause before it), `taken` the records it took. Answers the
    // pause to make before the next wait: kHoldUs or 0.
    uint32_t AfterRun(uint64_t startUs, uint32_t taken) {
        const uint64_t gap = started_ ? std::min<uint64_t>(startUs - lastStartUs_, kGapCapUs) : kGapCapUs;
        started_ = true;
        lastStartUs_ = startUs;
        // A run that found nothing (the record was taken by the run before)
        // leaves the mean alone.
        if (taken != 0) meanGapUs_ += (static_cast<double>(gap) / taken - meanGapUs_) / 8;
        if (meanGapUs_ * kMinBatch > kHoldUs) return 0;
        // A run that took more than twice what a pause gathers means the
        // thread spends more than half its time on the records: a pause would
        // only let it fall behind.
        if (taken > 2 * kHoldUs / meanGapUs_) return 0;
        return kHoldUs;
    }

    // AfterRun, and the pause it asks for: true when a pause was made, and
    // then the next run starts at its end (`startUs`, with nothing taken).
    bool PauseAfterRun(uint64_t& startUs, uint32_t& taken) {
        const uint32_t pause = AfterRun(startUs, taken);
        if (pause == 0 || !bx::host::PauseMicroseconds(pause)) return false;
        startUs = NowUs();
        taken = 0;
        return true;
    }

private:
    // A longer gap counts as this: the mean comes down within a few dozen
    // records of a sustained load however long the agent was idle.
    static constexpr uint64_t kGapCapUs = 1000;

    bool started_ = false;
    uint64_t lastStartUs_ = 0;
    double meanGapUs_ = kGapCapUs;
};
