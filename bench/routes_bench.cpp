// The snooper asks the connection manager whether a connection's remote
// address is a local route on every open the driver reports, so the look-up
// sits on the service thread's path of each connection. Measured with both
// tables at their maximum (4,096 subnets and 4,096 ranges): subnets of every
// prefix length from /1 to /32 (the most distinct masks contiguous masks can
// give), overlapping and disjoint ranges, and probes that mostly miss (a
// connection to the internet walks every mask and the ranges).
//
// Target: 1000 ns. The agent's whole CPU cost per connection is held to
// 10 us (agent_cpu_us_per_connection); a look-up within a tenth of that
// leaves the budget to the work that has to be done.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "agent/appliance/local_routes.h"
#include "bench/figures.h"

namespace {

void FillTables(CLocalRoutes& routes) {
    std::mt19937 random(4096);
    // Private and carrier networks, as an appliance teaches them, cycled
    // through every prefix length.
    for (uint32_t i = 0; routes.Subnets().size() < bx::kMaxLocalRoutes; ++i) {
        const uint32_t prefix = 1 + i % 32;
        const uint32_t mask = ~0u << (32 - prefix);
        const uint32_t network = (10u << 24 | static_cast<uint32_t>(random() & 0x00FFFFFF)) & mask;
        routes.AddSubnet(network, mask);
    }
    while (routes.Ranges().size() < bx::kMaxLocalRoutes) {
        const uint32_t first = 172u << 24 | 16u << 16 | static_cast<uint32_t>(random() & 0x000FFFFF);
        routes.AddRange(first, first + static_cast<uint32_t>(random() % 4096));
    }
}

void BM_LocalRouteLookup(benchmark::State& state) {
    CLocalRoutes routes;
    FillTables(routes);
    std::mt19937 random(7);
    std::vector<uint32_t> probes(4096);
    for (size_t i = 0; i < probes.size(); ++i)
        probes[i] = i % 8 == 0 ? (172u << 24 | 16u << 16 | static_cast<uint32_t>(random() & 0x000FFFFF))
                               : static_cast<uint32_t>(random());
    size_t next = 0;
    uint64_t lookups = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(routes.IsLocalRoute(probes[next]));
        next = (next + 1) % probes.size();
        ++lookups;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    state.counters["ns"] =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / lookups;
    state.SetItemsProcessed(static_cast<int64_t>(lookups));
}
BENCHMARK(BM_LocalRouteLookup);

}  // namespace

BX_FIGURE(bx::bench::Figure("local_route_lookup_ns", "BM_LocalRouteLookup", "ns", "<= 1000 ns", "ns"));
