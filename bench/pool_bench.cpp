// Send-data records from CBufferPool (Allocate + Prepare + Release) against
// new/delete of a send_data_t, on one thread and on four sharing one pool.
// Each iteration takes a batch of records, touches them as a producer would,
// and gives them all back, so that the pool's segments and the heap both see
// records held at the same time.
#include <benchmark/benchmark.h>

#include <array>

#include "agent/records/buffer_pool.h"
#include "bench/figures.h"

namespace {

constexpr int kBatch = 32;

CBufferPool& SharedPool() {
    static CBufferPool* pool = [] {
        auto* p = new CBufferPool;
        p->Create();  // the defaults: 1000 records per segment, 3 to start
        return p;
    }();
    return *pool;
}

void Fill(send_data_t* record, int i) {
    record->operation = bx::kOperationOpen;
    record->protocol = bx::kProtocolTcp;
    record->local_port = static_cast<uint16_t>(i);
    record->session_id = static_cast<uint32_t>(i);
    record->kind = bx::kKindConnection;
}

void BM_PoolRecords(benchmark::State& state) {
    CBufferPool& pool = SharedPool();
    std::array<send_data_t*, kBatch> records{};
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            send_data_t* record = CBufferPool::Prepare(pool.Allocate());
            Fill(record, i);
            records[i] = record;
        }
        benchmark::DoNotOptimize(records.data());
        for (int i = 0; i < kBatch; ++i) pool.Release(records[i]);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_NewDeleteRecords(benchmark::State& state) {
    std::array<send_data_t*, kBatch> records{};
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            send_data_t* record = new send_data_t;  // initialised as Prepare does
            Fill(record, i);
            records[i] = record;
        }
        benchmark::DoNotOptimize(records.data());
        for (int i = 0; i < kBatch; ++i) delete records[i];
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// The same work under distinct names, so that the figures can tell the
// four-thread runs apart.
void BM_PoolRecords4Threads(benchmark::State& state) { BM_PoolRecords(state); }
void BM_NewDeleteRecords4Threads(benchmark::State& state) { BM_NewDeleteRecords(state); }

}  // namespace

BENCHMARK(BM_PoolRecords);
BENCHMARK(BM_NewDeleteRecords);
BENCHMARK(BM_PoolRecords4Threads)->Threads(4)->UseRealTime();
BENCHMARK(BM_NewDeleteRecords4Threads)->Threads(4)->UseRealTime();

BX_FIGURE(bx::bench::Ratio("pool_vs_new_delete", "BM_PoolRecords", "BM_NewDeleteRecords", "reported"));
BX_FIGURE(bx::bench::Ratio("pool_vs_new_delete_4threads", "BM_PoolRecords4Threads", "BM_NewDeleteRecords4Threads",
                           "reported"));
