// CBufferPool: segment growth, marks, the spare, record reuse, settings from
// the SendDataPool key, and concurrent use.
#include "agent/records/buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "BXLogger.h"
#include "tests/support/settings_fixture.h"

namespace {

using bx::BufferPoolSettings;

class Pool : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        bx::test::ClearKey(bx::kSendDataPoolKeyPath);
    }
    void TearDown() override {
        bx::test::ClearKey(bx::kSendDataPoolKeyPath);
        SettingsTest::TearDown();
    }

    // Takes n records, each prepared.
    static std::vector<send_data_t*> Take(CBufferPool& pool, size_t n) {
        std::vector<send_data_t*> records;
        for (size_t i = 0; i < n; ++i) {
            void* storage = pool.Allocate();
            if (!storage) break;
            records.push_back(CBufferPool::Prepare(storage));
        }
        return records;
    }
    static void Give(CBufferPool& pool, std::vector<send_data_t*>& records, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) pool.Release(records[i]);
    }
};

TEST(SendData, InitialValues) {
    send_data_t record;
    EXPECT_EQ(2u, record.operation);
    EXPECT_EQ(0u, record.protocol);
    EXPECT_EQ(0u, record.local_ip);
    EXPECT_EQ(0xFFFFu, record.local_port);
    EXPECT_EQ(0u, record.request_id);
    EXPECT_EQ(0u, record.remote_ip);
    EXPECT_EQ(0u, record.remote_port);
    EXPECT_TRUE(record.sid.IsEmpty());
    EXPECT_EQ(0u, record.kind);
    EXPECT_TRUE(record.user.empty());
    EXPECT_TRUE(record.domain.empty());
    EXPECT_EQ(0xFFFFFFFFu, record.session_id);
    EXPECT_EQ(0, record.sent_time);
    EXPECT_EQ(0u, record.send_count);
    EXPECT_EQ(0u, record.reply_port);
}

TEST_F(Pool, DefaultsHold3000RecordsBeforeGrowingAndStopAt51Segments) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create());
    BufferPoolSettings s = pool.Settings();
    EXPECT_EQ(1000u, s.objectsPerSegment);
    EXPECT_EQ(3u, s.segmentsStart);
    EXPECT_EQ(1u, s.lowMark);
    EXPECT_EQ(50u, s.highMark);
    EXPECT_EQ(333u, pool.SpareThreshold());
    EXPECT_EQ(3u, pool.SegmentCount());
    EXPECT_EQ(3000u, pool.FreeCount());

    auto records = Take(pool, 3000);
    ASSERT_EQ(3000u, records.size());
    EXPECT_EQ(3u, pool.SegmentCount());
    EXPECT_EQ(0u, pool.FreeCount());
    auto more = Take(pool, 1);
    ASSERT_EQ(1u, more.size());
    EXPECT_EQ(4u, pool.SegmentCount());
    EXPECT_EQ(999u, pool.FreeCount());

    auto rest = Take(pool, 60000);
    EXPECT_EQ(51000u - 3001u, rest.size());
    EXPECT_EQ(51u, pool.SegmentCount());
    EXPECT_EQ(nullptr, pool.Allocate());

    // One record back, and one can be had again; none after it.
    pool.Release(rest.back());
    rest.pop_back();
    EXPECT_NE(nullptr, pool.Allocate());
    EXPECT_EQ(nullptr, pool.Allocate());
    pool.DestroyAll();
    EXPECT_EQ(0u, pool.SegmentCount());
    EXPECT_EQ(0u, pool.FreeCount());
}

TEST_F(Pool, NewSegmentHandsOutItsLastSlotFirstAndRecordsAreAligned) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({4, 1, 1, 5}));
    const size_t stride = CBufferPool::ObjectSize() + 4;
    auto records = Take(pool, 4);
    ASSERT_EQ(4u, records.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(records[i]) % 16);
        if (i) {
            EXPECT_EQ(reinterpret_cast<uint8_t*>(records[i - 1]) - stride, reinterpret_cast<uint8_t*>(records[i]));
        }
    }
    // The slot index in front of each record counts down from the last slot.
    for (size_t i = 0; i < 4; ++i) {
        uint32_t index;
        std::memcpy(&index, reinterpret_cast<uint8_t*>(records[i]) - 4, 4);
        EXPECT_EQ(3u - i, index);
    }
    Give(pool, records, 0, 4);
}

TEST_F(Pool, ReleasedRecordIsReusedFirstAndFullSegmentsStayAside) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({3, 2, 2, 5}));
    // Fill the tail segment: it moves to the head; the next records come
    // from the other segment.
    auto first = Take(pool, 3);
    auto second = Take(pool, 2);
    std::set<send_data_t*> firstSet(first.begin(), first.end());
    for (auto* r : second) EXPECT_EQ(0u, firstSet.count(r));
    // A record released in the full segment moves that segment to the tail:
    // it is the next one handed out.
    pool.Release(first[1]);
    EXPECT_EQ(static_cast<void*>(first[1]), pool.Allocate());
    // Then the other segment again.
    void* next = pool.Allocate();
    EXPECT_EQ(0u, firstSet.count(static_cast<send_data_t*>(next)));
    EXPECT_EQ(0u, pool.FreeCount());
}

TEST_F(Pool, LowMarkKeepsEmptySegments) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({10, 1, 1, 5}));
    auto records = Take(pool, 10);
    Give(pool, records, 0, 10);
    // The only segment is entirely free, but the pool is at its low mark.
    EXPECT_EQ(1u, pool.SegmentCount());
    EXPECT_EQ(10u, pool.FreeCount());
    EXPECT_FALSE(pool.HasSpare());
}

TEST_F(Pool, SpareRules) {
    // 10 objects per segment: spare threshold 3.
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({10, 1, 1, 5}));
    EXPECT_EQ(3u, pool.SpareThreshold());
    auto a = Take(pool, 10);
    auto b = Take(pool, 10);
    auto c = Take(pool, 10);
    ASSERT_EQ(3u, pool.SegmentCount());
    ASSERT_EQ(0u, pool.FreeCount());

    // The first segment to become entirely free above the low mark becomes
    // the spare and leaves the list.
    Give(pool, b, 0, 10);
    EXPECT_TRUE(pool.HasSpare());
    EXPECT_EQ(2u, pool.SegmentCount());
    EXPECT_EQ(0u, pool.FreeCount());

    // Another one entirely free while the spare is held is freed at once.
    Give(pool, c, 0, 10);
    EXPECT_TRUE(pool.HasSpare());
    EXPECT_EQ(1u, pool.SegmentCount());
    EXPECT_EQ(0u, pool.FreeCount());

    // Releases that find up to 3 free objects keep the spare; the one that
    // finds more than 3 drops it.
    Give(pool, a, 0, 4);
    EXPECT_TRUE(pool.HasSpare());
    EXPECT_EQ(4u, pool.FreeCount());
    Give(pool, a, 4, 5);
    EXPECT_FALSE(pool.HasSpare());
    EXPECT_EQ(5u, pool.FreeCount());
    Give(pool, a, 5, 10);
    EXPECT_EQ(1u, pool.SegmentCount());  // the low mark
    EXPECT_EQ(10u, pool.FreeCount());
}

TEST_F(Pool, SpareIsUsedBeforeANewSegment) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({2, 1, 1, 5}));
    auto a = Take(pool, 2);
    auto b = Take(pool, 2);
    Give(pool, b, 0, 2);
    ASSERT_TRUE(pool.HasSpare());
    // The spare comes back into the list when nothing is free.
    auto again = Take(pool, 1);
    EXPECT_FALSE(pool.HasSpare());
    EXPECT_EQ(2u, pool.SegmentCount());
    EXPECT_TRUE(again[0] == b[0] || again[0] == b[1]);
}

TEST_F(Pool, RecordReusedManyTimesStartsWithInitialValues) {
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create({4, 1, 1, 2}));
    void* storage = nullptr;
    for (int use = 0; use < 200; ++use) {
        void* raw = pool.Allocate();
        if (storage) {
            ASSERT_EQ(storage, raw);  // the same slot comes back each time
        }
        storage = raw;
        send_data_t* r = CBufferPool::Prepare(raw);
        EXPECT_EQ(2u, r->operation);
        EXPECT_EQ(0xFFFFu, r->local_port);
        EXPECT_EQ(0u, r->request_id);
        EXPECT_TRUE(r->sid.IsEmpty());
        EXPECT_TRUE(r->user.empty());
        EXPECT_TRUE(r->domain.empty());
        EXPECT_EQ(0xFFFFFFFFu, r->session_id);
        EXPECT_EQ(0u, r->send_count);
        EXPECT_EQ(0, r->sent_time);
        r->operation = bx::kOperationOpen;
        r->protocol = bx::kProtocolTcp;
        r->local_ip = 0x0A000001;
        r->local_port = 0x5000;
        r->request_id = 77 + use;
        r->remote_ip = 0x0A000002;
        r->remote_port = 0x1600;
        r->sid = CSid::FromString(L"S-1-5-21-1-2-3-1000");
        r->kind = bx::kKindLogoff;
        r->user = std::wstring(100 + use, L'u');  // heap-allocated, released with the record
        r->domain = L"CORP";
        r->session_id = 3;
        r->sent_time = 1700000000;
        r->send_count = 2;
        r->reply_port = 4000;
        pool.Release(r);
    }
    EXPECT_EQ(4u, pool.FreeCount());
}

TEST_F(Pool, SettingsComeFromTheSendDataPoolKey) {
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"NumberOfObjectsInSegment", 10);
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"NumberOfSegmentsStart", 2);
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"numberofsegmentslowmark", 2);
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"NumberOfSegmentsHighMark", 4);
    CBufferPool pool;
    ASSERT_EQ(0u, pool.Create());
    BufferPoolSettings s = pool.Settings();
    EXPECT_EQ(10u, s.objectsPerSegment);
    EXPECT_EQ(2u, s.segmentsStart);
    EXPECT_EQ(2u, s.lowMark);
    EXPECT_EQ(4u, s.highMark);
    EXPECT_EQ(20u, pool.FreeCount());
    auto records = Take(pool, 100);
    EXPECT_EQ(50u, records.size());  // high mark + 1 segments
    EXPECT_EQ(5u, pool.SegmentCount());
    Give(pool, records, 0, records.size());
    EXPECT_EQ(2u, pool.SegmentCount());
}

TEST_F(Pool, ZeroObjectsPerSegmentUsesTheDefaultAndIsReported) {
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"NumberOfObjectsInSegment", 0);
    bx::test::SetDword(bx::kSendDataPoolKeyPath, L"NumberOfSegmentsStart", 0);
    const char* path = "buffer_pool_zero_objects.log";
    std::remove(path);
    CBXLogger logger;
    ASSERT_EQ(0u, logger.Init());
    ASSERT_EQ(0u, logger.AddFile(L"buffer_pool_zero_objects.log", 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    {
        CBufferPool pool;
        ASSERT_EQ(0u, pool.Create());  // before its owner has a logger
        EXPECT_EQ(1000u, pool.Settings().objectsPerSegment);
        EXPECT_EQ(333u, pool.SpareThreshold());
        EXPECT_EQ(0u, pool.SegmentCount());
        // Empty at start, it grows on demand and hands out records.
        ASSERT_NE(nullptr, pool.Allocate());
        EXPECT_EQ(1u, pool.SegmentCount());
        EXPECT_EQ(999u, pool.FreeCount());
        pool.SetLogger(&logger);
        pool.SetLogger(&logger);
    }
    ASSERT_EQ(0u, logger.Cleanup());
    std::string log = bx::test::ReadFileText(path);
    EXPECT_EQ(1u, bx::test::CountOf(log, "SendDataPool: NumberOfObjectsInSegment is 0, using 1000 objects per segment"))
        << log;
    std::remove(path);
}

TEST_F(Pool, FourThreadsKeepTheCountsExact) {
    CBufferPool pool;
    // Small segments so that growth, the spare and shrinking all happen.
    ASSERT_EQ(0u, pool.Create({8, 1, 1, 50}));
    constexpr int kThreads = 4;
    constexpr int kRounds = 4000;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&pool, &failures, t] {
            std::vector<send_data_t*> held;
            for (int round = 0; round < kRounds; ++round) {
                // Hold up to 24 records at a time, in waves.
                size_t want = static_cast<size_t>((round * 7 + t * 5) % 25);
                while (held.size() < want) {
                    void* storage = pool.Allocate();
                    if (!storage) {
                        ++failures[t];
                        break;
                    }
                    send_data_t* r = CBufferPool::Prepare(storage);
                    r->session_id = static_cast<uint32_t>(t);
                    r->user = L"user-of-thread";
                    held.push_back(r);
                }
                while (held.size() > want) {
                    // Each record still carries what its own thread wrote.
                    if (held.back()->session_id != static_cast<uint32_t>(t)) ++failures[t];
                    pool.Release(held.back());
                    held.pop_back();
                }
            }
            for (auto* r : held) pool.Release(r);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;
    // Every record is back: each listed segment entirely free.
    EXPECT_EQ(pool.SegmentCount() * 8u, pool.FreeCount());
    EXPECT_GE(pool.SegmentCount(), 1u);
    // And the pool can hand all of them out again, up to its limit.
    auto all = Take(pool, 1000);
    EXPECT_EQ(51u * 8u, all.size());
    Give(pool, all, 0, all.size());
}

}  // namespace
