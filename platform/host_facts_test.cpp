// Host facts through the real platform calls (natively, and under Wine in the
// windows flavour).
#include "platform/host_facts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

namespace bx::host {
namespace {

TEST(HostFacts, LocalAddressesFollowTheRules) {
    std::vector<uint32_t> addresses = {1, 2, 3};  // stale content is replaced
    ASSERT_EQ(0u, LocalIpv4Addresses(addresses));
    EXPECT_LE(addresses.size(), kMaxLocalAddresses);
    std::set<uint32_t> seen;
    for (uint32_t a : addresses) {
        EXPECT_NE(kLoopbackAddress, a);
        EXPECT_NE(0u, a);
        EXPECT_LT(a >> 28, 0xEu) << "multicast or reserved address " << std::hex << a;
        EXPECT_TRUE(seen.insert(a).second) << "listed twice: " << std::hex << a;
    }
}

TEST(HostFacts, ComputerNameIsThere) {
    std::wstring name = L"stale";
    ASSERT_EQ(0u, ComputerName(name));
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(std::wstring::npos, name.find(L'\0'));
}

TEST(HostFacts, ClocksCountMillisecondsAndUnixSeconds) {
    const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
    const uint64_t seconds = SecondsSince1970();
    const uint64_t after = static_cast<uint64_t>(std::time(nullptr));
    EXPECT_GE(seconds + 1, before);
    EXPECT_LE(seconds, after + 1);

    // The tick count moves in milliseconds: a 200 ms sleep advances it by
    // about 200 (bounds wide enough for a loaded machine; unsigned difference
    // so that a wrap-around in between does not matter).
    const uint32_t t0 = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint32_t elapsed = TickCount() - t0;
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 20000u);
}

TEST(HostFacts, PauseLastsWhatItWasAskedOrIsNotMade) {
    using Clock = std::chrono::steady_clock;
    for (const uint32_t asked : {200u, 2000u}) {
        const auto start = Clock::now();
        const bool paused = PauseMicroseconds(asked);
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
#ifdef _WIN32
        // Without a high-resolution timer fine enough (Wine's fires about
        // 1 ms late) no pause is made, at once.
        if (!paused) {
            EXPECT_LT(elapsed, 1000) << asked;
            continue;
        }
#endif
        ASSERT_TRUE(paused) << asked;
        EXPECT_GE(elapsed, static_cast<long long>(asked) * 9 / 10) << "asked " << asked << " us";
    }
}

TEST(HostFacts, ExecutableDirectoryHoldsThisProgram) {
    std::wstring dir = L"stale";
    ASSERT_EQ(0u, ExecutableDirectory(dir));
    ASSERT_FALSE(dir.empty());
    const wchar_t last = dir.back();
    EXPECT_TRUE(last != L'/' && last != L'\\') << "no trailing separator";
    namespace fs = std::filesystem;
#ifdef _WIN32
    const fs::path program = fs::path(dir) / L"platform_test.exe";
#else
    const fs::path program = fs::path(dir) / L"platform_test";
#endif
    EXPECT_TRUE(fs::exists(program)) << program.string();
}

TEST(HostFacts, ThreadIdDiffersBetweenThreads) {
    const uint32_t mine = CurrentThreadId();
    EXPECT_EQ(mine, CurrentThreadId());
    uint32_t other = mine;
    std::thread([&other] { other = CurrentThreadId(); }).join();
    EXPECT_NE(mine, other);
}

}  // namespace
}  // namespace bx::host
