// e2e_native_records_per_s: driver records per second through the Snooper's
// record handling and the connection manager to the appliance peer, natively
// and in one process. The matching figure of e2e_wine_records_per_s (scripts/
// bench.d/e2e_wine), which takes the same records from snoopctl through the
// driver stand-in and the agent service under Wine: here a feeder thread hands
// them to the in-process device, the service thread's loop handles each
// completed read and issues the next, the manager builds, sends and tracks the
// notifications, and the peer (sim/utm in a network namespace of
// tests/e2e/peer.sh) receives them and answers. The clock runs from the first
// record fed until the peer has printed the last notification.
//
// Run by scripts/bench.d/e2e_wine, beside the Wine figure. Needs root (the
// namespace); without it the figure is reported as not measured.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "agent/settings/settings_reader.h"
#include "agent/snoop/snoop_device_inprocess.h"
#include "agent/snoop/snooper.h"
#include "bench/agent_feed.h"
#include "bench/figures.h"
#include "platform/event.h"
#include "platform/posix/account_table.h"
#include "platform/settings_store.h"
#include "platform/udp_socket.h"

namespace {

using namespace bx::bench;

constexpr uint32_t kPairs = 10000;  // one open and one clean-up each
constexpr uint32_t kRecords = 2 * kPairs;
// Records fed ahead of what the peer has received: what its socket buffer
// (the system's default, about 200 small datagrams) holds with room to spare.
constexpr uint64_t kWindow = 128;
const wchar_t kUserSid[] = L"S-1-5-21-100-200-300-1001";
const char kKey[] = "0123456789ABCDEF";

// Counts the notifications the peer printed, reading its output as it grows.
class PeerOutput {
public:
    explicit PeerOutput(std::string path) : path_(std::move(path)) {}
    uint64_t Notifications() {
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset_));
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t lastLine = chunk.rfind('\n');
        if (lastLine == std::string::npos) return count_;
        chunk.resize(lastLine + 1);  // whole lines only
        offset_ += chunk.size();
        for (size_t at = chunk.find(" notif="); at != std::string::npos; at = chunk.find(" notif=", at + 1)) ++count_;
        return count_;
    }

private:
    std::string path_;
    uint64_t offset_ = 0;
    uint64_t count_ = 0;
};

void BM_E2ENative(benchmark::State& state) {
    const std::string dir = BX_E2E_BENCH_DIR;
    const std::string peerSh = BX_PEER_SCRIPT;
    std::system(Quiet(peerSh + " up " + dir).c_str());
    std::string skip = ReadWhole(dir + "/skip");
    std::string env = ReadWhole(dir + "/net.env");
    if (!skip.empty() || env.empty()) {
        state.SkipWithError(skip.empty() ? "no peer network" : skip.c_str());
        return;
    }
    const std::string peerIp = EnvValue(env, "PEER_IP");
    const uint16_t port = FreeUdpPort();

    // The agent's settings (the in-memory store of this platform).
    bx::settings::DeleteKeyTree(bx::kSettingsKeyPath);
    {
        bx::settings::Key key;
        bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key);
        SetString(key, L"ip", std::wstring(peerIp.begin(), peerIp.end()));
        SetDword(key, L"port", port);
        SetString(key, L"key", L"0123456789ABCDEF");
        SetDword(key, L"verbose", 0);
    }
    bx::accounts::SetTableAccount(kUserSid, bx::accounts::Account{L"alice", L"CORP", bx::accounts::SidType::User});
    const CSid sid = CSid::FromString(kUserSid);

    std::system(Quiet(peerSh + " start " + dir + " appliance " + BX_UTM_PROGRAM + " --listen " + peerIp + ":" +
                      std::to_string(port) + " --key " + kKey)
                    .c_str());
    PeerOutput peer(dir + "/appliance.out");

    bx::snoopdev::ResetInProcessDevice();
    bx::sync::Event readDone;
    readDone.Create(bx::sync::ResetMode::Auto);
    uint64_t expected = 0;
    {
        Snooper snooper;
        snooper.SetReadEvent(readDone);
        if (snooper.Initialise() != 0) {
            state.SkipWithError("the snooper did not start");
        } else {
            snooper.OpenDevice();
            for (auto _ : state) {
                const auto start = std::chrono::steady_clock::now();
                // The peer reads more slowly than the agent sends, and a UDP
                // datagram that finds the peer's receive buffer full is lost:
                // the feeder stays at most kWindow records ahead of the peer.
                const uint64_t base = expected;
                std::thread feeder([&] {
                    for (uint32_t i = 0; i < kRecords; ++i) {
                        while (base + i >= peer.Notifications() + kWindow)
                            std::this_thread::sleep_for(std::chrono::microseconds(100));
                        snoop_event_t record = Record(i / 2, i % 2 == 0, sid);
                        while (bx::snoopdev::InjectSnoopRecord(record) != 0) std::this_thread::yield();
                    }
                });
                for (uint32_t i = 0; i < kRecords; ++i) {
                    if (readDone.Wait(60000) != bx::sync::kWaitObject0) break;
                    snooper.HandleEvent();
                    snooper.ReadSnoopEvents();
                }
                feeder.join();
                expected += kRecords;
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (peer.Notifications() < expected && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                if (peer.Notifications() < expected) {
                    state.SkipWithError("the peer did not receive every notification");
                    break;
                }
                state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            snooper.CancelRead(0);
            snooper.ConnectionManager().Stop();
            snooper.CloseDevice();
            snooper.SocketsCleanup();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(expected));
    std::system(Quiet(peerSh + " down " + dir).c_str());
    bx::settings::DeleteKeyTree(bx::kSettingsKeyPath);
}
BENCHMARK(BM_E2ENative)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BX_FIGURE(bx::bench::Figure("e2e_native_records_per_s", "BM_E2ENative", "records/s", "none yet"));
