// Acknowledgement datagrams parsed per second on one core, as the listener
// handles them: a new CHVNProtocolParser per datagram (its construction reads
// the logging and appliance settings and builds the DES key schedule), then
// Parse. Verbose logging is off, as shipped, so a good acknowledgement writes
// no line. The parts are measured on their own as well.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "BXLogger.h"
#include "agent/protocol/protocol_parser.h"
#include "agent/settings/settings_reader.h"
#include "bench/figures.h"
#include "platform/settings_store.h"

namespace {

// Response, request id 42, SessionId TLV (User, session 7).
const uint8_t kAck[] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x09, 0x00, 0x00, 0x00,
    0x2A, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07,
};

// A configured agent: every value the parser's construction reads is stored.
void StoreSettings() {
    using namespace bx::settings;
    Key key;
    CreateKey(bx::kSettingsKeyPath, Access::Set, key);
    auto dword = [&key](const wchar_t* name, uint32_t v) {
        uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        key.SetValue(name, kTypeDword, b, 4);
    };
    auto text = [&key](const wchar_t* name, const wchar_t* t) {
        std::vector<uint8_t> bytes = bx::StoredBytesFromText(t);
        key.SetValue(name, kTypeString, bytes.data(), static_cast<uint32_t>(bytes.size()));
    };
    dword(L"port", 4500);
    text(L"ip", L"198.18.0.2");
    text(L"key", L"0123456789abcdef");
    dword(L"TimeOut", 10);
    dword(L"Retries", 3);
    dword(L"verbose", 0);
    dword(L"QueueSizeSendQueue", 50000);
}

struct Logger {
    Logger() { log.Init(); }
    ~Logger() { log.Cleanup(); }
    CBXLogger log;
};

void BM_ParseAckNewParser(benchmark::State& state) {
    StoreSettings();
    Logger logger;
    for (auto _ : state) {
        CHVNProtocolParser parser(&logger.log);
        if (parser.Parse(kAck, sizeof kAck, L"UTM Resp: ") != 0 || parser.SessionId() != 7) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(parser.RequestId());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseAckNewParser)->MinTime(1.0);

// The parts: parsing alone (one parser reused), and the settings reads.
void BM_ParseAckOnly(benchmark::State& state) {
    StoreSettings();
    Logger logger;
    CHVNProtocolParser parser(&logger.log);
    for (auto _ : state) {
        benchmark::DoNotOptimize(parser.Parse(kAck, sizeof kAck, L"UTM Resp: "));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseAckOnly);

void BM_ConfigurationConstruction(benchmark::State& state) {
    StoreSettings();
    for (auto _ : state) {
        CHVNConfiguration config;
        benchmark::DoNotOptimize(config.KeySchedule().roundKeys[0][0]);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ConfigurationConstruction);

void BM_ReadDwordSetting(benchmark::State& state) {
    StoreSettings();
    for (auto _ : state) benchmark::DoNotOptimize(bx::SettingsReader(bx::kSettingsKeyPath).Dword(L"TimeOut", 10));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadDwordSetting);

void BM_ReadStringSetting(benchmark::State& state) {
    StoreSettings();
    std::wstring text;
    for (auto _ : state) {
        bx::SettingsReader(bx::kSettingsKeyPath).String(L"key", text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadStringSetting);

void BM_DesSetKey(benchmark::State& state) {
    const uint8_t key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    bx::DesKeySchedule schedule;
    for (auto _ : state) {
        bx::DesSetKey(key, schedule);
        benchmark::DoNotOptimize(schedule.roundKeys[0][0]);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DesSetKey);

}  // namespace

BX_FIGURE(bx::bench::Figure("parse_per_s", "BM_ParseAckNewParser", "per s", ">= 1e6"));
