// Benchmarks are Google Benchmark functions; a bench program also declares the
// figures it prints once every benchmark has run, one line each:
//   <name>: <value> <unit> (target <target>)
// A figure is a counter of one benchmark (items_per_second unless named), or
// the ratio of that counter between a benchmark and its baseline from the same
// run. Link bench programs against bx_bench_main (see bench/CMakeLists.txt).
#pragma once
#include <string>

namespace bx::bench {

// value = counter of `bench`, printed with `unit`.
int Figure(const std::string& name, const std::string& bench, const std::string& unit, const std::string& target,
           const std::string& counter = "items_per_second");

// value = counter of `bench` / counter of `baseline`, printed as "x".
int Ratio(const std::string& name, const std::string& bench, const std::string& baseline, const std::string& target,
          const std::string& counter = "items_per_second");

}  // namespace bx::bench

#define BX_CONCAT_(a, b) a##b
#define BX_CONCAT(a, b) BX_CONCAT_(a, b)
// At namespace scope: BX_FIGURE(bx::bench::Ratio("x_vs_y", "BM_X", "BM_Y", ">= 1.0x"));
#define BX_FIGURE(call) static int BX_CONCAT(bx_figure_, __LINE__) = (call)
