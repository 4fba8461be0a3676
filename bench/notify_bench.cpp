// Notifications built per second: in clear for an acknowledged session, and
// with names and encrypted (as the dispatcher sends them) for a new one.
// Verbose logging off, as shipped.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "agent/crypto/des.h"
#include "agent/protocol/packet_builder.h"
#include "bench/figures.h"
#include "platform/posix/account_table.h"

namespace {

const wchar_t* const kAlice = L"S-1-5-21-1-2-3-1001";

struct Setup {
    Setup() {
        bx::accounts::SetTableAccount(kAlice, {L"alice", L"CORP", bx::accounts::SidType::User});
        const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
        bx::DesSetKey(key, schedule);
    }
    send_data_t Record() const {
        send_data_t record;
        record.kind = bx::kKindConnection;
        record.operation = bx::kOperationOpen;
        record.protocol = bx::kProtocolTcp;
        record.local_ip = 0xC0A8010A;
        record.local_port = 0x00C0;
        record.remote_ip = 0x5DB8D822;
        record.remote_port = 0xBB01;
        record.sid = CSid::FromString(kAlice);
        record.session_id = 2;
        return record;
    }
    SessionMap sessions;
    CUserToID users;
    CUserClassifier classifier{sessions};
    std::atomic<uint32_t> counter{1};
    CHVNPacketBuilder builder{users, classifier, counter};
    bx::DesKeySchedule schedule;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(bx::kBuildBufferSize);
};

void BM_NotifyBuildClear(benchmark::State& state) {
    Setup s;
    s.users.Update(2, L"alice", L"CORP", s.Record().sid);
    s.users.MarkKnown(2);
    send_data_t record = s.Record();
    bool encrypt = true;
    for (auto _ : state) {
        record.send_count = 0;
        size_t n = s.builder.BuildNotification(record, s.buffer.data(), encrypt);
        benchmark::DoNotOptimize(n);
    }
    if (encrypt) state.SkipWithError("the acknowledged session was sent with names");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotifyBuildClear)->MinTime(1.0);

void BM_NotifyBuildEncrypt(benchmark::State& state) {
    Setup s;
    send_data_t record = s.Record();
    bool encrypt = false;
    for (auto _ : state) {
        record.send_count = 0;
        size_t n = s.builder.BuildNotification(record, s.buffer.data(), encrypt);
        n = bx::DesEncryptDatagram(s.buffer.data(), n, s.buffer.size(), s.schedule);
        benchmark::DoNotOptimize(n);
    }
    if (!encrypt) state.SkipWithError("names were left out");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotifyBuildEncrypt)->MinTime(1.0);

}  // namespace

BX_FIGURE(bx::bench::Figure("notify_build_clear_per_s", "BM_NotifyBuildClear", "per s", ">= 2000000"));
BX_FIGURE(bx::bench::Figure("notify_build_encrypt_per_s", "BM_NotifyBuildEncrypt", "per s", ">= 500000"));
