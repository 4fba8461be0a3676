// UDP sockets on loopback through the real socket API (Winsock under Wine):
// datagrams and their senders, time-outs, cut datagrams, ending a blocked
// receive, host-name resolution.
#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace bx::net {
namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

class UdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, Startup()); }
    void TearDown() override { Cleanup(); }

    // A socket bound to 127.0.0.1 at a port the system picks.
    static void OpenBound(UdpSocket& s, uint16_t& port) {
        ASSERT_EQ(0u, s.Create());
        ASSERT_EQ(0u, s.Bind(kLoopback, 0));
        ASSERT_EQ(0u, s.LocalPort(port));
        ASSERT_NE(0, port);
    }
};

TEST_F(UdpSocketTest, DatagramArrivesWithItsSender) {
    UdpSocket receiver, sender;
    uint16_t receiverPort = 0, senderPort = 0;
    OpenBound(receiver, receiverPort);
    OpenBound(sender, senderPort);
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(5000));

    const uint8_t payload[5] = {0x00, 0x0A, 0x1A, 0xFF, 0x0D};
    ASSERT_EQ(0u, sender.SendTo(payload, sizeof payload, kLoopback, receiverPort));
    uint8_t buffer[1024];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    ASSERT_EQ(0u, receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort));
    ASSERT_EQ(sizeof payload, received);
    EXPECT_EQ(0, std::memcmp(buffer, payload, sizeof payload));
    EXPECT_EQ(kLoopback, from);
    EXPECT_EQ(senderPort, fromPort);

    // An empty datagram is a datagram of length 0, not an error.
    ASSERT_EQ(0u, sender.SendTo(payload, 0, kLoopback, receiverPort));
    ASSERT_EQ(0u, receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort));
    EXPECT_EQ(0u, received);
}

TEST_F(UdpSocketTest, UnboundSenderGetsAPortOnFirstSend) {
    UdpSocket receiver, sender;
    uint16_t receiverPort = 0;
    OpenBound(receiver, receiverPort);
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(5000));
    ASSERT_EQ(0u, sender.Create());
    const char text[] = "ping";
    ASSERT_EQ(0u, sender.SendTo(text, 4, kLoopback, receiverPort));
    uint16_t senderPort = 0;
    ASSERT_EQ(0u, sender.LocalPort(senderPort));
    char buffer[16];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    ASSERT_EQ(0u, receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort));
    EXPECT_EQ(senderPort, fromPort);
}

// Datagrams that arrive while nobody reads wait in the receive buffer: 400
// answers of the appliance's size, more than the system's default buffer holds
// (256 here), all arrive. 1 MiB is more than an unprivileged process gets on a
// stock Linux (net.core.rmem_max), which still holds about 500 of them.
TEST_F(UdpSocketTest, ReceiveBufferHoldsABurstNobodyReads) {
    UdpSocket receiver, sender;
    ASSERT_EQ(0u, receiver.Create());
    ASSERT_EQ(0u, receiver.SetReceiveBuffer(1u << 20));
    ASSERT_EQ(0u, receiver.Bind(kLoopback, 0));
    uint16_t receiverPort = 0, senderPort = 0;
    ASSERT_EQ(0u, receiver.LocalPort(receiverPort));
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(200));
    OpenBound(sender, senderPort);
    constexpr int kBurst = 400;
    const uint8_t answer[29] = {};
    for (int i = 0; i < kBurst; ++i) ASSERT_EQ(0u, sender.SendTo(answer, sizeof answer, kLoopback, receiverPort));
    int got = 0;
    uint8_t buffer[64];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    while (receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort) == 0) ++got;
    EXPECT_EQ(kBurst, got);
}

TEST_F(UdpSocketTest, ReceiveWaitingTakesWhatWaitsAndNeverWaits) {
    UdpSocket receiver, sender;
    uint16_t receiverPort = 0, senderPort = 0;
    OpenBound(receiver, receiverPort);
    OpenBound(sender, senderPort);
    uint8_t buffer[16];
    size_t received = 99;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    // No time-out is set: a receive that waited would never return.
    EXPECT_TRUE(IsNothingWaiting(receiver.ReceiveWaiting(buffer, sizeof buffer, received, from, fromPort)));
    EXPECT_EQ(0u, received);
    const uint8_t datagrams[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (const auto& d : datagrams) ASSERT_EQ(0u, sender.SendTo(d, sizeof d, kLoopback, receiverPort));
    for (const auto& d : datagrams) {
        // Loopback delivery is not instant on every platform.
        uint32_t error = 0;
        for (int i = 0; i < 500; ++i) {
            error = receiver.ReceiveWaiting(buffer, sizeof buffer, received, from, fromPort);
            if (!IsNothingWaiting(error)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(0u, error);
        EXPECT_EQ(std::vector<uint8_t>(d, d + 3), std::vector<uint8_t>(buffer, buffer + received));
        EXPECT_EQ(senderPort, fromPort);
    }
    EXPECT_TRUE(IsNothingWaiting(receiver.ReceiveWaiting(buffer, sizeof buffer, received, from, fromPort)));
}

TEST_F(UdpSocketTest, ReceiveTimesOut) {
    UdpSocket receiver;
    uint16_t port = 0;
    OpenBound(receiver, port);
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(100));
    uint8_t buffer[16];
    size_t received = 99;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    const uint32_t error = receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort);
    EXPECT_TRUE(IsReceiveTimeout(error)) << error;
    EXPECT_FALSE(IsMessageTooLong(error));
    EXPECT_EQ(0u, received);
}

TEST_F(UdpSocketTest, LongDatagramIsCutAndReported) {
    UdpSocket receiver, sender;
    uint16_t receiverPort = 0, senderPort = 0;
    OpenBound(receiver, receiverPort);
    OpenBound(sender, senderPort);
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(5000));
    uint8_t big[1500];
    for (size_t i = 0; i < sizeof big; ++i) big[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(0u, sender.SendTo(big, sizeof big, kLoopback, receiverPort));
    uint8_t buffer[1024];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    const uint32_t error = receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort);
    EXPECT_TRUE(IsMessageTooLong(error)) << error;
    EXPECT_EQ(sizeof buffer, received);
    EXPECT_EQ(0, std::memcmp(buffer, big, sizeof buffer));
    // The next datagram is whole again.
    ASSERT_EQ(0u, sender.SendTo(big, 10, kLoopback, receiverPort));
    ASSERT_EQ(0u, receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort));
    EXPECT_EQ(10u, received);
}

TEST_F(UdpSocketTest, ShutdownEndsABlockedReceive) {
    UdpSocket receiver;
    uint16_t port = 0;
    OpenBound(receiver, port);
    // A receive time-out far longer than the test waits.
    ASSERT_EQ(0u, receiver.SetReceiveTimeout(60000));
    std::atomic<bool> returned{false};
    std::thread blocked([&] {
        uint8_t buffer[64];
        size_t received = 0;
        uint32_t from = 0;
        uint16_t fromPort = 0;
        receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load());
    receiver.Shutdown();
    const auto start = std::chrono::steady_clock::now();
    while (!returned.load() && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(returned.load()) << "the receive did not end after Shutdown";
    blocked.join();
    // Receiving afterwards fails at once or reads nothing.
    uint8_t buffer[8];
    size_t received = 0;
    uint32_t from = 0;
    uint16_t fromPort = 0;
    receiver.ReceiveFrom(buffer, sizeof buffer, received, from, fromPort);
    EXPECT_EQ(0u, received);
    receiver.Close();
    EXPECT_FALSE(receiver.IsOpen());
}

TEST_F(UdpSocketTest, SecondBindOfAPortFails) {
    UdpSocket first, second;
    uint16_t port = 0;
    OpenBound(first, port);
    ASSERT_EQ(0u, second.Create());
    EXPECT_NE(0u, second.Bind(kLoopback, port));
}

// The agent's listener: a local user's socket cannot bind its port, on the
// same or a more specific address, even asking for address reuse.
TEST_F(UdpSocketTest, ExclusivePortCannotBeTakenByAnotherSocket) {
    UdpSocket listener;
    uint16_t port = 0;
    ASSERT_EQ(0u, listener.Create());
    ASSERT_EQ(0u, listener.SetExclusiveAddress());
    ASSERT_EQ(0u, listener.Bind(kAnyAddress, 0));
    ASSERT_EQ(0u, listener.LocalPort(port));
    for (uint32_t address : {kLoopback, kAnyAddress}) {
        UdpSocket thief;
        ASSERT_EQ(0u, thief.Create());
        ASSERT_EQ(0u, thief.SetReuseAddress(true));
        EXPECT_NE(0u, thief.Bind(address, port)) << std::hex << address;
    }
}

TEST_F(UdpSocketTest, CallsOnAClosedSocketFail) {
    UdpSocket s;
    EXPECT_FALSE(s.IsOpen());
    EXPECT_NE(0u, s.SetReceiveTimeout(10));
    EXPECT_NE(0u, s.SendTo("x", 1, kLoopback, 9));
    ASSERT_EQ(0u, s.Create());
    EXPECT_TRUE(s.IsOpen());
    s.Close();
    EXPECT_FALSE(s.IsOpen());
    s.Close();
}

TEST_F(UdpSocketTest, ResolvesHostNames) {
    uint32_t address = 0;
    ASSERT_EQ(0u, ResolveHostName(L"localhost", address));
    EXPECT_EQ(kLoopback, address);
    ASSERT_EQ(0u, ResolveHostName(L"127.0.0.1", address));
    EXPECT_EQ(kLoopback, address);
    // Names that would need a name server are not tried: this machine has
    // none to ask.
}

}  // namespace
}  // namespace bx::net
