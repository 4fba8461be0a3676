#include "agent/appliance/wake_pacer.h"

#include <gtest/gtest.h>

namespace {

// Runs `runs` wakes `gapUs` apart, each taking `taken` records; answers the
// pause after the last.
uint32_t Steady(CWakePacer& pacer, uint64_t& now, uint64_t gapUs, uint32_t taken, int runs) {
    uint32_t pause = 0;
    for (int i = 0; i < runs; ++i) pause = pacer.AfterRun(now += gapUs, taken);
    return pause;
}

TEST(WakePacer, PausesOnlyUnderASustainedHighRate) {
    struct Case {
        const char* what;
        uint64_t gapUs;
        uint32_t taken;
        uint32_t pause;
    } const cases[] = {
        {"one record every 25 us", 25, 1, CWakePacer::kHoldUs},
        {"eight records a wake 210 us apart (pausing already)", 210, 8, CWakePacer::kHoldUs},
        {"one record every 48 us: four within a pause", 48, 1, CWakePacer::kHoldUs},
        {"one record every 60 us", 60, 1, 0},
        {"one record every 100 us", 100, 1, 0},
        {"two records a wake 250 us apart", 250, 2, 0},
        {"forty records a wake 600 us apart: taking them fills most of it", 600, 40, 0},
    };
    for (const Case& c : cases) {
        CWakePacer pacer;
        uint64_t now = 1000000;
        EXPECT_EQ(c.pause, Steady(pacer, now, c.gapUs, c.taken, 200)) << c.what;
    }
}

TEST(WakePacer, ABurstDoesNotPauseAndIdlenessEndsThePauses) {
    CWakePacer pacer;
    uint64_t now = 0;
    EXPECT_EQ(0u, pacer.AfterRun(now, 1)) << "the first wake";
    // A burst of ten opens 5 us apart after a quiet time.
    EXPECT_EQ(0u, Steady(pacer, now, 5, 1, 10));
    // A sustained load: pauses within a few dozen records.
    EXPECT_EQ(CWakePacer::kHoldUs, Steady(pacer, now, 20, 1, 40));
    // Wakes to an empty queue leave the decision as it was.
    EXPECT_EQ(CWakePacer::kHoldUs, Steady(pacer, now, 5000, 0, 3));
    // One record after an idle second: no more pauses.
    EXPECT_EQ(0u, pacer.AfterRun(now += 1000000, 1));
}

}  // namespace
