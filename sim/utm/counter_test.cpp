// The peer's counting mode: the header check on hand-written datagrams, the
// acknowledgement's bytes, its options, and a Counter over real UDP on
// loopback (acknowledging, and silent).
#include "sim/utm/counter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/utm/peer.h"
#include "sim/utm/wire.h"
#include "tests/support/hex.h"

namespace {

using Bytes = std::vector<uint8_t>;
using utm::CountVerdict;
using utm::test::FromHex;

const utm::Key kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// TCP open 127.0.0.1:49152 -> 93.184.216.34:443, session 3, in clear.
const char kClearOpen[] =
    "0000000000000000 02 00 002f 0000002a deadbeef"
    "0001 0001 01  0004 0002 c000  0005 0001 01  0006 0004 7f000001"
    "0009 0004 5db8d822  000a 0002 01bb  000c 0005 00 00000003";

utm::CountCheck Check(const Bytes& d, const utm::Key& key = kKey) {
    const utm::Cipher cipher(key);
    Bytes work(d.size() + 8);
    return utm::CheckDatagram(d.data(), d.size(), cipher, work.data());
}

struct CheckCase {
    const char* what;
    std::string hex;
    CountVerdict verdict;
};

TEST(CountCheck, SortsHandWrittenDatagrams) {
    const std::string open = kClearOpen;
    const CheckCase cases[] = {
        {"clear open", open, CountVerdict::Notification},
        {"reset request", "0000000000000000 02 00 0004 00000001 deadbeef 000f 0000", CountVerdict::Reset},
        {"ping answer (a response)", "0000000000000000 02 02 0005 00000007 deadbeef 0010 0001 41", CountVerdict::Other},
        {"no TLVs", "0000000000000000 02 00 0000 00000009 deadbeef", CountVerdict::Notification},
        {"19 bytes", "0000000000000000 02 00 0000 00000009 deadbe", CountVerdict::Bad},
        {"version 3", "0000000000000000 03 00 0004 00000001 deadbeef 000f 0000", CountVerdict::Bad},
        {"signature", "0000000000000000 02 00 0004 00000001 deadbeee 000f 0000", CountVerdict::Bad},
        {"length one too many", "0000000000000000 02 00 0005 00000001 deadbeef 000f 0000", CountVerdict::Bad},
        {"a byte behind the TLVs", "0000000000000000 02 00 0004 00000001 deadbeef 000f 0000 00", CountVerdict::Bad},
        {"TLV past the area", "0000000000000000 02 00 0004 00000001 deadbeef 000f 0001", CountVerdict::Bad},
        {"half a TLV header", "0000000000000000 02 00 0002 00000001 deadbeef 000f", CountVerdict::Bad},
        {"random IV, 7 bytes behind it", "0100000000000000 02 00 0000 0000", CountVerdict::Bad},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Check(FromHex(c.hex)).verdict, c.verdict);
    }
}

TEST(CountCheck, ReadsRequestIdAndSessionOfAClearNotification) {
    const utm::CountCheck c = Check(FromHex(kClearOpen));
    ASSERT_EQ(c.verdict, CountVerdict::Notification);
    EXPECT_EQ(c.requestId, 0x2Au);
    EXPECT_TRUE(c.hasSession);
    EXPECT_EQ(c.connectionType, 0);
    EXPECT_EQ(c.sessionId, 3u);
}

TEST(CountCheck, DecryptsANotificationWithNamesAndRefusesItUnderAnotherKey) {
    // Built and encrypted by the printing peer's own code, as the agent sends it.
    utm::Builder b(utm::kNotification, 77);
    b.Text(utm::kTlvUserName, "alice").Text(utm::kTlvDomainName, "CORP").U8(utm::kTlvProtOp, 0x01);
    b.Session(1, 0x01020304);
    const utm::Cipher cipher(kKey);
    const uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes d = b.Encrypted(cipher, iv);

    const utm::CountCheck c = Check(d);
    ASSERT_EQ(c.verdict, CountVerdict::Notification);
    EXPECT_EQ(c.requestId, 77u);
    EXPECT_TRUE(c.hasSession);
    EXPECT_EQ(c.connectionType, 1);
    EXPECT_EQ(c.sessionId, 0x01020304u);

    EXPECT_EQ(Check(d, utm::Key{}).verdict, CountVerdict::Bad);
}

TEST(CountAck, HasTheResponseBytesThePrintingPeerSends) {
    const utm::CountCheck c = Check(FromHex(kClearOpen));
    uint8_t ack[utm::kAckMaxBytes];
    const size_t n = utm::BuildAck(c, ack);
    EXPECT_EQ(Bytes(ack, ack + n), FromHex("0000000000000000 02 02 0009 0000002a deadbeef 000c 0005 00 00000003"));
    // The same bytes as the printing peer's acknowledgement of that notification.
    const utm::Cipher cipher(kKey);
    const Bytes clearOpen = FromHex(kClearOpen);
    EXPECT_EQ(Bytes(ack, ack + n), utm::AckAnswer(utm::Decode(clearOpen.data(), clearOpen.size(), cipher)).Clear());

    utm::CountCheck noSession;
    noSession.verdict = CountVerdict::Notification;
    noSession.requestId = 0x01020304;
    const size_t m = utm::BuildAck(noSession, ack);
    EXPECT_EQ(Bytes(ack, ack + m), FromHex("0000000000000000 02 02 0000 01020304 deadbeef"));
}

TEST(CountOptions, CountOnlyTakesItsOwnOptionsAndRefusesThePrintingPeersActions) {
    utm::Options o;
    std::string error;
    ASSERT_TRUE(utm::ParseOptions({"--listen", "127.0.0.1:0", "--count-only", "--answer", "silent", "--receive-buffer",
                                   "8388608", "--count", "10"},
                                  o, error))
        << error;
    EXPECT_TRUE(o.countOnly);
    EXPECT_EQ(o.receiveBuffer, 8388608u);
    EXPECT_EQ(o.answers[0], utm::Answer::Silent);

    const std::vector<std::vector<std::string>> refused = {
        {"--listen", "127.0.0.1:0", "--count-only", "--ping"},
        {"--listen", "127.0.0.1:0", "--count-only", "--answer", "ack,silent"},
        {"--listen", "127.0.0.1:0", "--count-only", "--answer", "unknown-session"},
        {"--listen", "127.0.0.1:0", "--count-only", "--hex"},
        {"--listen", "127.0.0.1:0", "--receive-buffer", "0"},
        {"--listen", "127.0.0.1:0", "--arrivals", "/tmp/a"},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args.back());
        EXPECT_FALSE(utm::ParseOptions(args, o, error));
        EXPECT_FALSE(error.empty());
    }
}

// A loopback socket standing in for the agent.
class AgentEnd {
public:
    AgentEnd() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~AgentEnd() { close(fd); }
    void SendTo(uint16_t to, const Bytes& b) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(to);
        ASSERT_EQ(sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa),
                  static_cast<ssize_t>(b.size()));
    }
    std::optional<Bytes> Receive(int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        Bytes b(2048);
        const ssize_t n = recv(fd, b.data(), b.size(), 0);
        if (n < 0) return std::nullopt;
        b.resize(static_cast<size_t>(n));
        return b;
    }
    int fd;
    uint16_t port;
};

struct RunCase {
    bool silent;
};

class CounterOverUdp : public ::testing::TestWithParam<RunCase> {};

TEST_P(CounterOverUdp, AcknowledgesNotificationsOnlyAndCountsEveryDatagram) {
    AgentEnd agent;
    utm::CountOptions options;
    options.listenAddress = INADDR_LOOPBACK;
    options.agentPort = agent.port;
    options.key = kKey;
    options.silent = GetParam().silent;
    options.count = 3;
    options.timeout = 10;
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    utm::Counter counter(options, out);
    std::string error;
    ASSERT_TRUE(counter.Open(error)) << error;
    int code = -1;
    std::thread run([&] { code = counter.Run(); });

    agent.SendTo(counter.Port(), FromHex("0000000000000000 02 00 0004 00000001 deadbeef 000f 0000"));  // reset
    agent.SendTo(counter.Port(), FromHex("0000000000000000 02 00 0004 00000001 deadbee0 000f 0000"));  // bad
    agent.SendTo(counter.Port(), FromHex(kClearOpen));
    const std::optional<Bytes> ack = agent.Receive(GetParam().silent ? 300 : 5000);
    run.join();

    EXPECT_EQ(code, utm::kExitOk);
    if (GetParam().silent) {
        EXPECT_FALSE(ack) << "a silent counter answered";
    } else {
        ASSERT_TRUE(ack);
        EXPECT_EQ(*ack, FromHex("0000000000000000 02 02 0009 0000002a deadbeef 000c 0005 00 00000003"));
        EXPECT_FALSE(agent.Receive(200)) << "the reset or the bad datagram was answered";
    }
    const utm::CountTotals& t = counter.Totals();
    EXPECT_EQ(t.received, 3u);
    EXPECT_EQ(t.notifications, 1u);
    EXPECT_EQ(t.resets, 1u);
    EXPECT_EQ(t.bad, 1u);
    EXPECT_EQ(t.acked, GetParam().silent ? 0u : 1u);
    EXPECT_EQ(t.ackErrors, 0u);

    // The last line is the totals, as a benchmark reads them.
    std::rewind(out);
    std::string text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, out)) text += buf;
    std::fclose(out);
    EXPECT_EQ(text.rfind("listening ", 0), 0u) << text;
    const std::string acked = GetParam().silent ? "acked=0" : "acked=1";
    EXPECT_NE(text.find("end t="), std::string::npos) << text;
    EXPECT_NE(text.find(" reason=count rx=3 notifications=1 " + acked + " resets=1 other=0 bad=1 ackerrors=0\n"),
              std::string::npos)
        << text;
}

uint64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST(CounterArrivals, RecordsEachNotificationsConnectionAndWhenItArrived) {
    char path[] = "/tmp/utm-arrivals-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    AgentEnd agent;
    utm::CountOptions options;
    options.listenAddress = INADDR_LOOPBACK;
    options.agentPort = agent.port;
    options.key = kKey;
    options.count = 2;
    options.timeout = 10;
    options.arrivalsPath = path;
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    {
        utm::Counter counter(options, out);
        std::string error;
        ASSERT_TRUE(counter.Open(error)) << error;
        std::thread run([&] { counter.Run(); });
        agent.SendTo(counter.Port(), FromHex("0000000000000000 02 00 0004 00000001 deadbeef 000f 0000"));  // reset
        const uint64_t before = MonotonicNs();
        agent.SendTo(counter.Port(), FromHex(kClearOpen));
        const bool acked = agent.Receive(5000).has_value();
        const uint64_t after = MonotonicNs();
        run.join();
        ASSERT_TRUE(acked);

        FILE* in = std::fopen(path, "rb");
        ASSERT_NE(in, nullptr);
        utm::Arrival a[2];
        const size_t n = std::fread(a, sizeof a[0], 2, in);
        std::fclose(in);
        ASSERT_EQ(n, 1u) << "one record: the reset names no connection";
        EXPECT_EQ(a[0].ip, 0x7F000001u);
        EXPECT_EQ(a[0].port, 49152u);
        EXPECT_EQ(a[0].protOp, 0x01);
        EXPECT_GE(a[0].monotonicNs, before);
        EXPECT_LE(a[0].monotonicNs, after);
    }
    std::fclose(out);
    std::remove(path);
}

INSTANTIATE_TEST_SUITE_P(AckAndSilent, CounterOverUdp, ::testing::Values(RunCase{false}, RunCase{true}),
                         [](const auto& info) { return std::string(info.param.silent ? "Silent" : "Ack"); });

}  // namespace
