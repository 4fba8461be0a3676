// Acknowledgement datagrams parsed per second on one core, on the listener's
// path: the connection manager reads its logging and appliance settings once
// at start, and for every datagram it receives makes a CHVNProtocolParser
// from those (no settings read, no key schedule) and parses. Verbose logging
// is off, as shipped, so a good acknowledgement writes no line. The parse
// alone (one parser reused) is measured beside it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "BXLogger.h"
#include "agent/protocol/protocol_parser.h"
#include "agent/settings/hvn_configuration.h"
#include "agent/settings/log_impl.h"
#include "agent/settings/settings_reader.h"
#include "bench/figures.h"
#include "platform/settings_store.h"

namespace {

// Response, request id 42, SessionId TLV (User, session 7).
const uint8_t kAck[] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x02, 0x00, 0x09, 0x00, 0x00, 0x00,
    0x2A, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07,
};

// A configured agent: the values the manager reads at start.
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
}

// What the connection manager holds: its logger, its logging settings and
// its appliance settings, each made once.
struct Listener {
    Listener() { log.Init(); }
    ~Listener() { log.Cleanup(); }
    CBXLogger log;
    CLogImpl logging;
    CHVNConfiguration config;
};

void BM_ParseAckListenerPath(benchmark::State& state) {
    StoreSettings();
    Listener listener;
    for (auto _ : state) {
        CHVNProtocolParser parser(listener.logging, listener.config, &listener.log);
        if (parser.Parse(kAck, sizeof kAck, L"UTM Resp: ") != 0 || parser.SessionId() != 7) {
            state.SkipWithError("parse failed");
            break;
        }
        benchmark::DoNotOptimize(parser.RequestId());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseAckListenerPath)->MinTime(1.0);

void BM_ParseAckOnly(benchmark::State& state) {
    StoreSettings();
    Listener listener;
    CHVNProtocolParser parser(listener.logging, listener.config, &listener.log);
    for (auto _ : state) benchmark::DoNotOptimize(parser.Parse(kAck, sizeof kAck, L"UTM Resp: "));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ParseAckOnly);

}  // namespace

BX_FIGURE(bx::bench::Figure("parse_per_s", "BM_ParseAckListenerPath", "per s", ">= 1e6"));
