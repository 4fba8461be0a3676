// CDataQueue: order at head and tail, the overflow rule (capacity + 1 records
// before the first drop, the head dropped, the overflow messages), the
// not-empty event, and every record going back to the pool.
#include "agent/appliance/data_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "tests/support/conmgr_fixture.h"

namespace {

using bx::test::NewRecord;

class DataQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        bx::test::MakeSmallPool(pool_, 2000);
        startFree_ = pool_.FreeCount();
        CDataQueue::ResetOverflowLog();
    }
    // Runs `producers` threads that each queue `each` records (every seventh
    // at the head when `someAtHead`), and returns when all are done.
    void Produce(CDataQueue& queue, int producers, int each, bool someAtHead) {
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&, p] {
                for (int i = 0; i < each; ++i) {
                    send_data_t* r = nullptr;
                    while (!(r = NewRecord(pool_))) std::this_thread::yield();
                    r->request_id = static_cast<uint32_t>(p * each + i);
                    queue.Enqueue(r, someAtHead && i % 7 == 0);
                }
            });
        for (auto& t : threads) t.join();
    }
    // Gives every queued record back to the pool; returns how many.
    int Drain(CDataQueue& queue) {
        int drained = 0;
        for (send_data_t* r; (r = queue.Dequeue()) != nullptr; ++drained) pool_.Release(r);
        return drained;
    }
    CBufferPool pool_;
    uint32_t startFree_ = 0;
};

TEST_F(DataQueueTest, TailAndHeadOrder) {
    CDataQueue queue(L"SendQ", 50, pool_);
    send_data_t* a = NewRecord(pool_, 1);
    send_data_t* b = NewRecord(pool_, 2);
    send_data_t* c = NewRecord(pool_, 3);
    ASSERT_EQ(0u, queue.Enqueue(a, false));
    ASSERT_EQ(0u, queue.Enqueue(b, false));
    ASSERT_EQ(0u, queue.Enqueue(c, true));  // next to be sent
    EXPECT_EQ(3u, queue.Count());
    // The dispatcher learns with each record whether more wait behind it.
    bool emptied = true;
    EXPECT_EQ(c, queue.Dequeue(&emptied));
    EXPECT_FALSE(emptied);
    EXPECT_EQ(a, queue.Dequeue(&emptied));
    EXPECT_FALSE(emptied);
    EXPECT_EQ(b, queue.Dequeue(&emptied));
    EXPECT_TRUE(emptied);
    EXPECT_EQ(nullptr, queue.Dequeue());
    EXPECT_EQ(0u, queue.Count());
    for (send_data_t* r : {a, b, c}) pool_.Release(r);
    EXPECT_EQ(bx::err::kInvalidParameter, queue.Enqueue(nullptr, false));
    EXPECT_EQ(0u, queue.Count());
}

TEST_F(DataQueueTest, OverflowDropsTheHeadAfterCapacityPlusOne) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    constexpr uint32_t kCapacity = 5;
    CDataQueue queue(L"SendQ", kCapacity, pool_);
    queue.SetLogger(log.Logger());
    std::vector<send_data_t*> records;
    for (uint32_t i = 0; i < kCapacity + 1; ++i) {
        records.push_back(NewRecord(pool_, 100 + i));
        ASSERT_EQ(0u, queue.Enqueue(records.back(), false));
    }
    EXPECT_EQ(kCapacity + 1, queue.Count());
    EXPECT_EQ(0u, queue.Dropped());
    EXPECT_EQ(0u, log.Count("Queue overflown"));
    const uint32_t freeBefore = pool_.FreeCount();

    // The C + 2nd drops the head (record 100) and goes to the tail even
    // though it asked for the head.
    send_data_t* extra = NewRecord(pool_, 999);
    ASSERT_EQ(0u, queue.Enqueue(extra, true));
    EXPECT_EQ(kCapacity + 1, queue.Count());
    EXPECT_EQ(1u, queue.Dropped());
    EXPECT_EQ(freeBefore, pool_.FreeCount());  // one taken for `extra`, one given back
    EXPECT_EQ(1u, log.Count("'SendQ' Queue overflown first time"));

    std::vector<uint32_t> order;
    while (send_data_t* r = queue.Dequeue()) {
        order.push_back(r->request_id);
        pool_.Release(r);
    }
    EXPECT_EQ((std::vector<uint32_t>{101, 102, 103, 104, 105, 999}), order);
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(DataQueueTest, LaterOverflowsAreLoggedOncePerPeriod) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CDataQueue queue(L"SendQ", 0, pool_);  // holds one record before dropping
    queue.SetLogger(log.Logger());
    ASSERT_EQ(0u, queue.Enqueue(NewRecord(pool_), false));
    const uint32_t overflows = 1 + 2 * CDataQueue::kOverflowPeriod + 10;
    for (uint32_t i = 0; i < overflows; ++i) ASSERT_EQ(0u, queue.Enqueue(NewRecord(pool_), false));
    EXPECT_EQ(overflows, queue.Dropped());
    EXPECT_EQ(1u, queue.Count());
    EXPECT_EQ(1u, log.Count("'SendQ' Queue overflown first time"));
    EXPECT_EQ(1u, log.Count("'SendQ' Queue overflown 1*500 times"));
    EXPECT_EQ(1u, log.Count("'SendQ' Queue overflown 2*500 times"));
    EXPECT_EQ(3u, log.Count("Queue overflown"));
    queue.Empty();
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(DataQueueTest, NotEmptyEventFollowsTheQueue) {
    bx::sync::Event notEmpty;
    ASSERT_EQ(0u, notEmpty.Create(bx::sync::ResetMode::Manual));
    CDataQueue queue(L"SendQ", 50, pool_);
    ASSERT_EQ(0u, queue.Enqueue(NewRecord(pool_), false));
    // Attaching to a queue that holds records sets the event at once.
    queue.AttachEvent(&notEmpty);
    EXPECT_EQ(bx::sync::kWaitObject0, notEmpty.Wait(0));
    ASSERT_EQ(0u, queue.Enqueue(NewRecord(pool_), false));
    pool_.Release(queue.Dequeue());
    EXPECT_EQ(bx::sync::kWaitObject0, notEmpty.Wait(0));  // one left
    pool_.Release(queue.Dequeue());
    EXPECT_EQ(bx::sync::kWaitTimeout, notEmpty.Wait(0));  // emptied
    ASSERT_EQ(0u, queue.Enqueue(NewRecord(pool_), true));
    EXPECT_EQ(bx::sync::kWaitObject0, notEmpty.Wait(0));
    queue.Empty();
    EXPECT_EQ(bx::sync::kWaitTimeout, notEmpty.Wait(0));
    queue.AttachEvent(nullptr);
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(DataQueueTest, EmptyAndDestructionReturnEveryRecord) {
    {
        CDataQueue queue(L"SendQ", 3, pool_);
        for (int i = 0; i < 10; ++i) queue.Enqueue(NewRecord(pool_), i % 2 == 0);
        EXPECT_EQ(4u, queue.Count());
        queue.Empty();
        EXPECT_EQ(0u, queue.Count());
        EXPECT_EQ(6u, queue.Dropped());
        EXPECT_EQ(startFree_, pool_.FreeCount());
        for (int i = 0; i < 3; ++i) queue.Enqueue(NewRecord(pool_), false);
    }
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(DataQueueTest, ProducersAndOneConsumerLoseNothing) {
    bx::sync::Event notEmpty, done;
    ASSERT_EQ(0u, notEmpty.Create(bx::sync::ResetMode::Manual));
    ASSERT_EQ(0u, done.Create(bx::sync::ResetMode::Manual));
    CDataQueue queue(L"SendQ", 100000, pool_);
    queue.AttachEvent(&notEmpty);
    constexpr int kProducers = 8;
    constexpr int kEach = 200;
    std::atomic<int> consumed{0};
    std::thread consumer([&] {
        for (;;) {
            const uint32_t woke = bx::sync::WaitAny(done, notEmpty, 10000);
            if (woke == bx::sync::kWaitObject1) {
                if (send_data_t* r = queue.Dequeue()) {
                    pool_.Release(r);
                    ++consumed;
                }
                continue;
            }
            if (woke != bx::sync::kWaitObject0) return;  // time-out: give up, the count will tell
            consumed += Drain(queue);  // producers are done: take what is left
            return;
        }
    });
    Produce(queue, kProducers, kEach, true);
    done.Set();
    consumer.join();
    EXPECT_EQ(kProducers * kEach, consumed.load());
    EXPECT_EQ(0u, queue.Dropped());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

// The event is set after the lock is let go, so a consumer can empty the
// queue (and reset the event) between a record's arrival and its Set. A
// consumer that runs on the event alone, as the dispatcher does, must still
// never sleep while a record waits: it gets every one without a time-out.
TEST_F(DataQueueTest, ConsumerWokenByTheEventAloneMissesNoRecord) {
    bx::sync::Event notEmpty;
    ASSERT_EQ(0u, notEmpty.Create(bx::sync::ResetMode::Manual));
    CDataQueue queue(L"SendQ", 100000, pool_);
    queue.AttachEvent(&notEmpty);
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::atomic<int> consumed{0};
    std::thread consumer([&] {
        while (consumed.load() < kProducers * kEach) {
            if (notEmpty.Wait(10000) != bx::sync::kWaitObject0) return;  // a lost wake-up
            consumed += Drain(queue);
        }
    });
    Produce(queue, kProducers, kEach, false);
    consumer.join();
    EXPECT_EQ(kProducers * kEach, consumed.load());
    queue.AttachEvent(nullptr);
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

}  // namespace

namespace {

// A closed queue (the manager is stopping) takes nothing: each record goes
// straight back to the pool, at the head or the tail, with 1115; reopened, it
// queues again.
TEST_F(DataQueueTest, ClosedQueueGivesEveryRecordBackToThePool) {
    CDataQueue queue(L"SendQ", 50, pool_);
    bx::sync::Event notEmpty;
    ASSERT_EQ(0u, notEmpty.Create(bx::sync::ResetMode::Manual));
    queue.AttachEvent(&notEmpty);
    queue.Close();
    EXPECT_TRUE(queue.Closed());
    for (bool atHead : {false, true}) {
        send_data_t* record = NewRecord(pool_, 7);
        record->user = L"a name long enough to live on the heap, so that a lost record shows";
        EXPECT_EQ(bx::err::kShutdownInProgress, queue.Enqueue(record, atHead));
        EXPECT_EQ(0u, queue.Count());
        EXPECT_EQ(startFree_, pool_.FreeCount());
    }
    EXPECT_EQ(bx::sync::kWaitTimeout, notEmpty.Wait(0));
    EXPECT_EQ(0u, queue.Dropped());

    queue.Open();
    send_data_t* record = NewRecord(pool_, 8);
    EXPECT_EQ(0u, queue.Enqueue(record, false));
    EXPECT_EQ(record, queue.Dequeue());
    pool_.Release(record);
    queue.AttachEvent(nullptr);
}

}  // namespace
