// CHashMap2: buckets of request ids, Add/Remove with duplicates, the
// retransmit scan's timing rules under a clock the test moves (TimeOut + 1
// whole seconds, Retries including 0, an entry exactly TimeOut seconds old
// not yet resent), and every record going back to the pool.
#include "agent/appliance/hash_map2.h"

#include <gtest/gtest.h>

#include <vector>

#include "agent/appliance/data_queue.h"
#include "tests/support/conmgr_fixture.h"

namespace {

using bx::test::NewRecord;

class HashMap2Test : public ::testing::Test {
protected:
    void SetUp() override {
        bx::test::MakeSmallPool(pool_, 4000);
        startFree_ = pool_.FreeCount();
    }

    // A record sent at `sentTime` with `requestId`, entered in the table.
    send_data_t* Track(CHashMap2& table, uint32_t requestId, int64_t sentTime) {
        send_data_t* r = NewRecord(pool_, requestId);
        r->sent_time = sentTime;
        r->operation = bx::kOperationOpen;
        r->kind = bx::kKindConnection;
        EXPECT_TRUE(table.Add(r));
        return r;
    }

    // What the dispatcher does with a record the scan queued: send it again
    // (time of sending = now) and enter it once more.
    void Resend(CDataQueue& queue, CHashMap2& table, int64_t now, std::vector<uint32_t>* sent = nullptr) {
        while (send_data_t* r = queue.Dequeue()) {
            if (sent) sent->push_back(r->request_id);
            r->sent_time = now;
            table.Add(r);
        }
    }

    CBufferPool pool_;
    uint32_t startFree_ = 0;
};

TEST(HashMap2Bucket, ThirtyTwoIdsShareABucket) {
    EXPECT_EQ(0u, CHashMap2::BucketOf(0));
    EXPECT_EQ(0u, CHashMap2::BucketOf(31));
    EXPECT_EQ(1u, CHashMap2::BucketOf(32));
    EXPECT_EQ(1u, CHashMap2::BucketOf(63));
    EXPECT_EQ(1023u, CHashMap2::BucketOf(32767));
    EXPECT_EQ(0u, CHashMap2::BucketOf(32768));
    EXPECT_EQ(0x3FFu, CHashMap2::BucketOf(0xFFFFFFFFu));
}

TEST_F(HashMap2Test, WithoutTableNothingIsTracked) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CHashMap2 table(pool_);
    table.SetLogger(log.Logger());
    send_data_t* r = NewRecord(pool_, 7);
    EXPECT_FALSE(table.Add(r));
    EXPECT_EQ(1u, log.Count("HashMap:Add NULL table"));
    EXPECT_EQ(0u, table.Count());
    EXPECT_EQ(nullptr, table.Remove(7));
    pool_.Release(r);
    ASSERT_EQ(0u, table.Create());
    EXPECT_EQ(1u, log.Count("HashMap:table created"));
    EXPECT_TRUE(table.HasTable());
}

TEST_F(HashMap2Test, RemoveFindsIdsAcrossAndWithinBuckets) {
    CHashMap2 table(pool_);
    ASSERT_EQ(0u, table.Create());
    // 0..40 span two buckets; 32768 shares bucket 0 with 0..31.
    std::vector<send_data_t*> records;
    for (uint32_t id : {0u, 5u, 31u, 32u, 40u, 32768u}) records.push_back(Track(table, id, 100));
    EXPECT_EQ(6u, table.Count());
    EXPECT_EQ(records[5], table.Remove(32768));
    EXPECT_EQ(records[0], table.Remove(0));
    EXPECT_EQ(nullptr, table.Remove(0));
    EXPECT_EQ(nullptr, table.Remove(33));
    EXPECT_EQ(records[2], table.Remove(31));  // the tail of bucket 0
    EXPECT_EQ(records[1], table.Remove(5));
    EXPECT_EQ(2u, table.Count());
    // Bucket 0 is empty again and takes new entries at its tail.
    send_data_t* again = Track(table, 1, 100);
    EXPECT_EQ(again, table.Remove(1));
    for (send_data_t* r : {records[0], records[1], records[2], records[5], again}) pool_.Release(r);
    table.Empty();
    EXPECT_EQ(0u, table.Count());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(HashMap2Test, DuplicateIdIsLoggedAndTheOlderRemovedFirst) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CHashMap2 table(pool_);
    table.SetLogger(log.Logger());
    ASSERT_EQ(0u, table.Create());
    send_data_t* older = Track(table, 77, 100);
    EXPECT_EQ(0u, log.Count("HashMap:found packet for id[77]"));
    send_data_t* newer = Track(table, 77, 101);
    EXPECT_EQ(1u, log.Count("HashMap:found packet for id[77]"));
    EXPECT_EQ(2u, table.Count());
    EXPECT_EQ(older, table.Remove(77));
    EXPECT_EQ(newer, table.Remove(77));
    pool_.Release(older);
    pool_.Release(newer);
}

TEST_F(HashMap2Test, ResentNoSoonerThanTimeOutPlusOneSeconds) {
    CHashMap2 table(pool_);
    CDataQueue queue(L"SendQ", 100, pool_);
    ASSERT_EQ(0u, table.Create());
    int64_t now = 1000000;
    const bx::SecondsClock clock = [&] { return now; };
    send_data_t* r = Track(table, 42, now);

    // Exactly TimeOut (10) seconds old: not yet.
    now += 10;
    table.Scan(queue, 10, 3, clock);
    EXPECT_EQ(0u, queue.Count());
    EXPECT_EQ(1u, table.Count());
    EXPECT_EQ(0u, r->send_count);

    // TimeOut + 1: queued at the tail, out of the table, send count 1.
    now += 1;
    table.Scan(queue, 10, 3, clock);
    ASSERT_EQ(1u, queue.Count());
    EXPECT_EQ(0u, table.Count());
    EXPECT_EQ(1u, r->send_count);
    EXPECT_EQ(42u, r->request_id);
    queue.Dequeue();
    pool_.Release(r);
}

TEST_F(HashMap2Test, DeletedAfterRetriesSendings) {
    bx::test::LogCapture log(bx::test::CaseFile(".log"));
    CHashMap2 table(pool_);
    table.SetLogger(log.Logger());
    CDataQueue queue(L"SendQ", 100, pool_);
    ASSERT_EQ(0u, table.Create());
    int64_t now = 5000;
    const bx::SecondsClock clock = [&] { return now; };
    Track(table, 9, now);
    // Scans every 2 seconds as the retransmit thread does; record when the
    // scan hands the notification back for sending.
    std::vector<int64_t> sendTimes{now};
    for (int step = 0; step < 40; ++step) {
        now += 2;
        table.Scan(queue, 10, 3, clock);
        if (queue.Count() > 0) {
            sendTimes.push_back(now);
            Resend(queue, table, now);
        }
    }
    // First sending plus 3 retries, each at least 11 seconds after the one
    // before; then deleted at the first scan that finds the 4th sending more
    // than 10 seconds old.
    ASSERT_EQ(4u, sendTimes.size());
    for (size_t i = 1; i < sendTimes.size(); ++i) EXPECT_GE(sendTimes[i] - sendTimes[i - 1], 11);
    EXPECT_EQ(0u, table.Count());
    EXPECT_EQ(1u, table.Deleted());
    EXPECT_EQ(1u, log.Count("HVN Retransmit:No Response for reqstId:'9'.SendCount:'4'.Requst Deleted."));
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(HashMap2Test, RetriesZeroDeletesAtTheFirstTimeout) {
    CHashMap2 table(pool_);
    CDataQueue queue(L"SendQ", 100, pool_);
    ASSERT_EQ(0u, table.Create());
    int64_t now = 200;
    const bx::SecondsClock clock = [&] { return now; };
    Track(table, 3, now);
    now += 10;
    table.Scan(queue, 10, 0, clock);
    EXPECT_EQ(1u, table.Count());
    now += 1;
    table.Scan(queue, 10, 0, clock);
    EXPECT_EQ(0u, queue.Count());
    EXPECT_EQ(0u, table.Count());
    EXPECT_EQ(1u, table.Deleted());
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(HashMap2Test, ScanStopsAtTheFirstYoungEntryOfABucket) {
    CHashMap2 table(pool_);
    CDataQueue queue(L"SendQ", 100, pool_);
    ASSERT_EQ(0u, table.Create());
    int64_t now = 100;
    const bx::SecondsClock clock = [&] { return now; };
    // Bucket 0: old, young. Bucket 1: old, old.
    Track(table, 1, 50);
    Track(table, 2, 99);
    Track(table, 33, 50);
    Track(table, 34, 60);
    table.Scan(queue, 10, 3, clock);
    std::vector<uint32_t> queued;
    Resend(queue, table, now, &queued);
    EXPECT_EQ((std::vector<uint32_t>{1, 33, 34}), queued);
    EXPECT_EQ(4u, table.Count());
    table.Empty();
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

TEST_F(HashMap2Test, EmptyReturnsEveryRecordAndFreesTheTable) {
    {
        CHashMap2 table(pool_);
        ASSERT_EQ(0u, table.Create());
        for (uint32_t id = 0; id < 3000; ++id) Track(table, id * 7, 10);
        EXPECT_EQ(3000u, table.Count());
        table.Empty();
        EXPECT_EQ(0u, table.Count());
        EXPECT_FALSE(table.HasTable());
        EXPECT_EQ(startFree_, pool_.FreeCount());
        // Destroying a table that holds records returns them too.
        ASSERT_EQ(0u, table.Create());
        for (uint32_t id = 0; id < 25; ++id) Track(table, id, 10);
    }
    EXPECT_EQ(startFree_, pool_.FreeCount());
}

}  // namespace
