// Lines per second through BXLogger's file sink, against a plain
// fprintf+fflush loop that writes the same lines to a file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "BXLogger.h"
#include "bench/figures.h"

namespace {

const char* const kPath = "bench_logger.log";
const wchar_t* const kMessage = L"Id:1234\tHVNPkt: sending notification for session 3 to 198.18.0.2:4500";

void BM_LoggerFile(benchmark::State& state) {
    std::remove(kPath);
    CBXLogger log;
    log.Init();
    log.AddFile(L"bench_logger.log", 0, LOGGER_OUTPUT_FILE_FLAG_APPEND);
    for (auto _ : state) {
        if (log.Log(BXLOG_INFORMATIONAL, L"%s", kMessage) != 0) state.SkipWithError("Log failed");
    }
    log.Cleanup();
    state.SetItemsProcessed(state.iterations());
    std::remove(kPath);
}
BENCHMARK(BM_LoggerFile)->MinTime(1.0);

// The same line: date and time, label, message, written and flushed each time.
void BM_FprintfFlush(benchmark::State& state) {
    std::remove(kPath);
    FILE* f = std::fopen(kPath, "a+");
    std::string message(kMessage, kMessage + wcslen(kMessage));
    for (auto _ : state) {
        time_t now = time(nullptr);
        std::tm t;
        localtime_r(&now, &t);
        std::fprintf(f, "%02d/%02d/%02d:%02d:%02d:%02d\t%s%s\n", t.tm_mon + 1, t.tm_mday, t.tm_year % 100, t.tm_hour,
                     t.tm_min, t.tm_sec, "Informational\t", message.c_str());
        std::fflush(f);
    }
    std::fclose(f);
    state.SetItemsProcessed(state.iterations());
    std::remove(kPath);
}
BENCHMARK(BM_FprintfFlush)->MinTime(1.0);

}  // namespace

BX_FIGURE(bx::bench::Ratio("logger_file_vs_fprintf", "BM_LoggerFile", "BM_FprintfFlush", ">= 0.8x"));
