// Events: manual and automatic reset, waits for one or either of two, and
// wake-ups across threads (Win32 events under Wine, eventfd natively).
#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace bx::sync {
namespace {

TEST(Event, ManualResetStaysSetUntilReset) {
    Event event;
    ASSERT_EQ(0u, event.Create(ResetMode::Manual));
    EXPECT_EQ(kWaitTimeout, event.Wait(0));
    ASSERT_EQ(0u, event.Set());
    ASSERT_EQ(0u, event.Set());  // setting a set event changes nothing
    EXPECT_EQ(kWaitObject0, event.Wait(0));
    EXPECT_EQ(kWaitObject0, event.Wait(10));
    ASSERT_EQ(0u, event.Reset());
    EXPECT_EQ(kWaitTimeout, event.Wait(10));
    ASSERT_EQ(0u, event.Reset());  // resetting a clear event changes nothing
    EXPECT_EQ(kWaitTimeout, event.Wait(0));
}

TEST(Event, AutoResetIsTakenByOneWait) {
    Event event;
    ASSERT_EQ(0u, event.Create(ResetMode::Auto, true));
    EXPECT_EQ(kWaitObject0, event.Wait(0));
    EXPECT_EQ(kWaitTimeout, event.Wait(0));
    event.Set();
    event.Set();
    EXPECT_EQ(kWaitObject0, event.Wait(0));
    EXPECT_EQ(kWaitTimeout, event.Wait(10));
}

TEST(Event, WaitAnyReportsTheFirstSetEventAndResetsOnlyIt) {
    Event first, second;
    ASSERT_EQ(0u, first.Create(ResetMode::Auto));
    ASSERT_EQ(0u, second.Create(ResetMode::Auto));
    EXPECT_EQ(kWaitTimeout, WaitAny(first, second, 10));

    second.Set();
    EXPECT_EQ(kWaitObject1, WaitAny(first, second, 0));
    EXPECT_EQ(kWaitTimeout, WaitAny(first, second, 0));

    first.Set();
    second.Set();
    EXPECT_EQ(kWaitObject0, WaitAny(first, second, 0));  // both set: the first wins
    EXPECT_EQ(kWaitObject1, WaitAny(first, second, 0));  // the second is still set
    EXPECT_EQ(kWaitTimeout, WaitAny(first, second, 0));

    Event manual;
    ASSERT_EQ(0u, manual.Create(ResetMode::Manual, true));
    EXPECT_EQ(kWaitObject1, WaitAny(first, manual, 0));
    EXPECT_EQ(kWaitObject1, WaitAny(first, manual, 0));  // manual: still set
}

TEST(Event, SetFromAnotherThreadEndsTheWait) {
    Event stop, work;
    ASSERT_EQ(0u, stop.Create(ResetMode::Manual));
    ASSERT_EQ(0u, work.Create(ResetMode::Auto));
    std::atomic<int> worked{0};
    std::thread waiter([&] {
        for (;;) {
            const uint32_t result = WaitAny(stop, work, 20000);
            if (result == kWaitObject1) {
                ++worked;
                continue;
            }
            EXPECT_EQ(kWaitObject0, result);
            return;
        }
    });
    for (int i = 0; i < 100; ++i) {
        work.Set();
        while (worked.load() <= i) std::this_thread::yield();
    }
    stop.Set();
    waiter.join();
    EXPECT_EQ(100, worked.load());
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
    Event event, done;
    ASSERT_EQ(0u, event.Create(ResetMode::Auto));
    ASSERT_EQ(0u, done.Create(ResetMode::Manual));
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            for (;;) {
                if (WaitAny(done, event, 20000) != kWaitObject1) return;
                ++released;
            }
        });
    for (int i = 0; i < 200; ++i) {
        const int before = released.load();
        event.Set();
        while (released.load() == before) std::this_thread::yield();
    }
    done.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(200, released.load());
}

// Sets racing resets (or, for an automatic event, waits that take it): once
// the race is over and the event reset, it is not reported set, nor does a
// wait spin on a descriptor left readable (a wait that did would not return),
// and the next set is not missed. Many short races, so that their ends fall
// on every interleaving.
TEST(Event, SetsRacingResetsLeaveTheStateTheLastCallGave) {
    for (const ResetMode mode : {ResetMode::Manual, ResetMode::Auto}) {
        Event event;
        ASSERT_EQ(0u, event.Create(mode));
        for (int round = 0; round < 100; ++round) {
            std::thread setter([&] {
                for (int i = 0; i < 50; ++i) event.Set();
            });
            for (int i = 0; i < 50; ++i) mode == ResetMode::Manual ? event.Reset() : event.Wait(0);
            setter.join();
            ASSERT_EQ(0u, event.Reset());
            ASSERT_EQ(kWaitTimeout, event.Wait(0));
            ASSERT_EQ(0u, event.Set());
            ASSERT_EQ(kWaitObject0, event.Wait(0));
            ASSERT_EQ(0u, event.Reset());
        }
    }
}

TEST(Event, UncreatedEventFails) {
    Event event;
    EXPECT_FALSE(event.IsValid());
    EXPECT_EQ(6u, event.Set());
    EXPECT_EQ(6u, event.Reset());
    EXPECT_EQ(kWaitFailed, event.Wait(0));
    Event other;
    ASSERT_EQ(0u, other.Create(ResetMode::Manual, true));
    EXPECT_EQ(kWaitFailed, WaitAny(event, other, 0));
    event.Close();  // closing nothing is harmless
    other.Close();
    EXPECT_FALSE(other.IsValid());
}

}  // namespace
}  // namespace bx::sync
