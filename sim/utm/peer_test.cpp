// The appliance peer over real UDP on loopback: options, answers, the
// peer's own datagrams, stopping by count, time-out, request and signal, and
// the utm program itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/utm/peer.h"
#include "sim/utm/wire.h"
#include "tests/support/hex.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

using utm::test::FromHex;

// A notification in clear (the session is known, so no names): TCP open
// from 127.0.0.1:49152 to 93.184.216.34:443, session 3, with request id `id`.
Bytes Notification(uint32_t id) {
    char head[64];
    snprintf(head, sizeof head, "0000000000000000 02 00 002f %08x deadbeef", id);
    return FromHex(std::string(head) +
                   "0001 0001 01"
                   "0004 0002 c000"
                   "0005 0001 01"
                   "0006 0004 7f000001"
                   "0009 0004 5db8d822"
                   "000a 0002 01bb"
                   "000c 0005 00 00000003");
}

// A UDP socket on 127.0.0.1 standing in for the agent.
class AgentSocket {
public:
    AgentSocket() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~AgentSocket() { close(fd); }
    AgentSocket(const AgentSocket&) = delete;
    AgentSocket& operator=(const AgentSocket&) = delete;

    void SendTo(uint16_t to, const Bytes& b) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(to);
        ASSERT_EQ(sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa),
                  static_cast<ssize_t>(b.size()));
    }

    // The next datagram within the time-out, and its source port.
    std::optional<Bytes> Receive(int timeoutMs = 5000, uint16_t* fromPort = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
        Bytes b(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        if (fromPort) *fromPort = ntohs(from.sin_port);
        b.resize(static_cast<size_t>(n));
        return b;
    }

    int fd;
    uint16_t port;
};

// Reads lines from a descriptor with a time-out.
class LineReader {
public:
    explicit LineReader(int readFd) : fd(readFd) {}
    // The next line, or nullopt at end of file or after the time-out.
    std::optional<std::string> Next(int timeoutMs = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            pending.append(buf, static_cast<size_t>(n));
        }
    }

private:
    int fd;
    std::string pending;
};

// A Peer running on its own thread, its lines read live from a pipe.
class RunningPeer {
public:
    explicit RunningPeer(const std::vector<std::string>& args) {
        std::string error;
        ok = utm::ParseOptions(args, options, error);
        EXPECT_TRUE(ok) << error;
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        readFd = fds[0];
        out = fdopen(fds[1], "w");
        peer = std::make_unique<utm::Peer>(options, out);
        ok = ok && peer->Open(error);
        EXPECT_TRUE(ok) << error;
        reader = std::make_unique<LineReader>(readFd);
        thread = std::thread([this] {
            exitCode = ok ? peer->Run() : -1;
            fclose(out);  // end of file for the reader
        });
    }
    ~RunningPeer() {
        Finish();
        close(readFd);
    }
    // Stops the peer (if still running) and returns its exit code.
    int Finish() {
        if (thread.joinable()) {
            peer->Stop();
            thread.join();
        }
        return exitCode;
    }
    // Waits for the run to end by itself.
    int Join() {
        if (thread.joinable()) thread.join();
        return exitCode;
    }
    std::string Line() {
        std::optional<std::string> l = reader->Next();
        EXPECT_TRUE(l) << "no line from the peer";
        return l.value_or("");
    }
    uint16_t Port() const { return peer->Port(); }

    utm::Options options;
    bool ok = false;

private:
    int readFd = -1;
    FILE* out = nullptr;
    std::unique_ptr<utm::Peer> peer;
    std::unique_ptr<LineReader> reader;
    std::thread thread;
    int exitCode = -1;
};

bool Has(const std::string& line, const std::string& field) {
    return (" " + line + " ").find(" " + field + " ") != std::string::npos;
}

#define EXPECT_FIELD(line, field) EXPECT_TRUE(Has(line, field)) << "missing '" << (field) << "' in: " << (line)
#define EXPECT_NO_FIELD(line, key) \
    EXPECT_EQ((" " + (line)).find(" " key "="), std::string::npos) << "unexpected " key " in: " << (line)

std::string Arg(uint16_t port) { return std::to_string(port); }

TEST(UtmOptions, ReadNaturallyAndKeepWhatTheySay) {
    utm::Options o;
    std::string error;
    ASSERT_TRUE(utm::ParseOptions({"--listen",
                                   "198.18.0.2:4500",
                                   "--key",
                                   "0123456789ABCDEF",
                                   "--answer",
                                   "ack,silent,unknown-session",
                                   "--agent-port",
                                   "4501",
                                   "--agent",
                                   "198.18.0.1",
                                   "--ping",
                                   "--ping-after",
                                   "2",
                                   "--reset-after",
                                   "3",
                                   "--teach-subnet",
                                   "10.0.0.0/8",
                                   "--teach-subnet",
                                   "10.1.0.0/255.255.0.0",
                                   "--teach-range",
                                   "10.1.2.3-10.1.2.9",
                                   "--teach-after",
                                   "1",
                                   "--encrypt-replies",
                                   "--count",
                                   "5",
                                   "--timeout",
                                   "2.5",
                                   "--hex",
                                   "--reuse-address"},
                                  o, error))
        << error;
    EXPECT_EQ(o.listenAddress, 0xC6120002u);
    EXPECT_EQ(o.listenPort, 4500);
    EXPECT_EQ(o.key, (utm::Key{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(o.answers,
              (std::vector<utm::Answer>{utm::Answer::Ack, utm::Answer::Silent, utm::Answer::UnknownSession}));
    EXPECT_EQ(o.agentPort, 4501);
    EXPECT_TRUE(o.agentGiven);
    EXPECT_EQ(o.agentAddress, 0xC6120001u);
    EXPECT_TRUE(o.pingAtStart);
    EXPECT_FALSE(o.resetAtStart);
    EXPECT_EQ(o.pingAfter, std::vector<uint64_t>{2});
    EXPECT_EQ(o.resetAfter, std::vector<uint64_t>{3});
    ASSERT_EQ(o.teachSubnets.size(), 2u);
    EXPECT_EQ(o.teachSubnets[0].first, 0x0A000000u);
    EXPECT_EQ(o.teachSubnets[0].second, 0xFF000000u);
    EXPECT_EQ(o.teachSubnets[1].first, 0x0A010000u);
    EXPECT_EQ(o.teachSubnets[1].second, 0xFFFF0000u);
    ASSERT_EQ(o.teachRanges.size(), 1u);
    EXPECT_EQ(o.teachRanges[0].first, 0x0A010203u);
    EXPECT_EQ(o.teachRanges[0].second, 0x0A010209u);
    EXPECT_EQ(o.teachAfter, 1u);
    EXPECT_TRUE(o.encryptReplies);
    EXPECT_EQ(o.count, 5u);
    EXPECT_DOUBLE_EQ(o.timeout, 2.5);
    EXPECT_TRUE(o.hex);
    EXPECT_TRUE(o.reuseAddress);

    // name=value works as well; a bare port listens on every address.
    ASSERT_TRUE(utm::ParseOptions({"--listen=4500", "--key=ab", "--teach-subnet=0.0.0.0/0"}, o, error)) << error;
    EXPECT_EQ(o.listenAddress, 0u);
    EXPECT_EQ(o.listenPort, 4500);
    EXPECT_EQ(o.key, (utm::Key{0xAB, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(o.answers, std::vector<utm::Answer>{utm::Answer::Ack});  // the default
    EXPECT_EQ(o.teachSubnets.at(0).second, 0u);
    ASSERT_TRUE(utm::ParseOptions({"--listen", "1.2.3.4:1", "--key", "0123456789ABCDEF00"}, o, error));
    EXPECT_TRUE(o.keyCut);
    ASSERT_TRUE(utm::ParseOptions({"--help"}, o, error));
    EXPECT_TRUE(o.help);
}

TEST(UtmOptions, MistakesAreNamed) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{}, "--listen ADDR:PORT is required"},
        {{"--listen", "1.2.3.4"}, "--listen: '1.2.3.4' is not ADDR:PORT"},
        {{"--listen", "1.2.3.4:65536"}, "--listen: '1.2.3.4:65536' is not ADDR:PORT"},
        {{"--listen", "host:4500"}, "--listen: 'host:4500' is not ADDR:PORT"},
        {{"--listen"}, "--listen needs a value"},
        {{"--listen", "1.2.3.4:5", "--answer", "ack,nack"},
         "--answer: 'ack,nack' is not a list of ack, silent, unknown-session, not-found, route-local"},
        {{"--listen", "1.2.3.4:5", "--answer", ""},
         "--answer: '' is not a list of ack, silent, unknown-session, not-found, route-local"},
        {{"--listen", "1.2.3.4:5", "--teach-subnet", "10.0.0.0/33"},
         "--teach-subnet: '10.0.0.0/33' is not NET/BITS or NET/MASK"},
        {{"--listen", "1.2.3.4:5", "--teach-subnet", "10.0.0.0"},
         "--teach-subnet: '10.0.0.0' is not NET/BITS or NET/MASK"},
        {{"--listen", "1.2.3.4:5", "--teach-range", "10.0.0.1"}, "--teach-range: '10.0.0.1' is not FIRST-LAST"},
        {{"--listen", "1.2.3.4:5", "--ping-after", "0"}, "--ping-after: '0' is not a number from 1 up"},
        {{"--listen", "1.2.3.4:5", "--ping=3"}, "--ping takes no value"},
        {{"--listen", "1.2.3.4:5", "--count", "-1"}, "--count: '-1' is not a number from 1 up"},
        {{"--listen", "1.2.3.4:5", "--timeout", "soon"}, "--timeout: 'soon' is not a positive number of seconds"},
        {{"--listen", "1.2.3.4:5", "--timeout", "0"}, "--timeout: '0' is not a positive number of seconds"},
        {{"--listen", "1.2.3.4:5", "--agent-port", "0"}, "--agent-port: '0' is not a port from 1 to 65535"},
        {{"--listen", "1.2.3.4:5", "--agent", "localhost"}, "--agent: 'localhost' is not a dotted IPv4 address"},
        {{"--listen", "1.2.3.4:5", "--silent"}, "unknown option '--silent'"},
    };
    for (const auto& c : cases) {
        utm::Options o;
        std::string error;
        EXPECT_FALSE(utm::ParseOptions(c.args, o, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(UtmPeer, AtStartAfterTheFirstDatagramThenAcknowledges) {
    AgentSocket agent;
    RunningPeer peer({"--listen", "127.0.0.1:0", "--agent-port", Arg(agent.port), "--reset", "--ping", "--teach-subnet",
                      "10.0.0.0/8", "--teach-range", "10.1.2.3-10.1.2.9"});
    ASSERT_TRUE(peer.ok);
    const std::string listening = peer.Line();
    EXPECT_EQ(listening.rfind("listening ", 0), 0u) << listening;
    EXPECT_FIELD(listening, "addr=127.0.0.1:" + Arg(peer.Port()));
    EXPECT_FIELD(listening, "agent-port=" + Arg(agent.port));
    EXPECT_FIELD(listening, "key=0000000000000000");
    EXPECT_FIELD(listening, "answer=ack");

    // The agent's first datagram, its reset request, is not answered, but
    // it tells the peer where the agent is: the at-start datagrams follow,
    // from the peer's own port, reset then ping then the routes.
    agent.SendTo(peer.Port(), FromHex("0000000000000000 02000004 00000001 deadbeef 000f0000"));
    const struct {
        const char* hex;
        const char* sent;
    } expected[] = {
        {"0000000000000000 02 01 0004 00000001 deadbeef 000f 0000", "sent=reset"},
        {"0000000000000000 02 01 0004 00000002 deadbeef 0010 0000", "sent=ping"},
        {"0000000000000000 02 02 0011 00000000 deadbeef 000d 0001 04 0007 0008 0a000000 ff000000", "sent=subnet"},
        {"0000000000000000 02 02 0011 00000000 deadbeef 000d 0001 04 0008 0008 0a010203 0a010209", "sent=range"},
    };
    for (const auto& e : expected) {
        uint16_t fromPort = 0;
        const std::optional<Bytes> got = agent.Receive(5000, &fromPort);
        ASSERT_TRUE(got) << e.sent;
        EXPECT_EQ(*got, FromHex(e.hex)) << e.sent;
        EXPECT_EQ(fromPort, peer.Port()) << "a ping must come from the port that its answer goes to";
    }
    const std::string rxReset = peer.Line();
    EXPECT_EQ(rxReset.rfind("rx seq=1 t=", 0), 0u) << rxReset;
    EXPECT_FIELD(rxReset, "from=127.0.0.1:" + Arg(agent.port));
    EXPECT_FIELD(rxReset, "kind=reset");
    EXPECT_NO_FIELD(rxReset, "answer");
    for (const auto& e : expected) {
        const std::string tx = peer.Line();
        EXPECT_EQ(tx.rfind("tx t=", 0), 0u) << tx;
        EXPECT_FIELD(tx, "to=127.0.0.1:" + Arg(agent.port));
        EXPECT_FIELD(tx, e.sent);
    }

    // A notification is acknowledged with its SessionId.
    agent.SendTo(peer.Port(), Notification(42));
    const std::optional<Bytes> ack = agent.Receive();
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, FromHex("0000000000000000 02 02 0009 0000002a deadbeef 000c 0005 00 00000003"));
    const std::string rx = peer.Line();
    EXPECT_EQ(rx.rfind("rx seq=2 ", 0), 0u) << rx;
    for (const char* f : {"iv=clear", "status=ok", "type=notification", "id=42", "kind=connection", "proto=tcp",
                          "op=open", "port=49152", "nips=1", "ips=127.0.0.1", "dst=93.184.216.34", "dport=443",
                          "session=3", "conntype=user", "notif=1", "answer=ack"})
        EXPECT_FIELD(rx, f);
    EXPECT_NO_FIELD(rx, "repeat");
    const std::string tx = peer.Line();
    EXPECT_FIELD(tx, "sent=ack");
    EXPECT_FIELD(tx, "type=response");
    EXPECT_FIELD(tx, "id=42");
    EXPECT_FIELD(tx, "session=3");

    // The agent's ping answer is printed and not answered; the at-start
    // datagrams are not sent twice.
    agent.SendTo(peer.Port(), FromHex("0000000000000000 02 02 0014 00000002 deadbeef"
                                      "0010 0010 56657273696f6e3a20312e302e302e30"));
    const std::string pingAnswer = peer.Line();
    EXPECT_FIELD(pingAnswer, "kind=ping-answer");
    EXPECT_FIELD(pingAnswer, "pingtext=\"Version: 1.0.0.0\"");
    EXPECT_FALSE(agent.Receive(200));

    EXPECT_EQ(peer.Finish(), utm::kExitOk);
    const std::string end = peer.Line();
    EXPECT_EQ(end.rfind("end t=", 0), 0u) << end;
    for (const char* f : {"reason=signal", "rx=3", "notifications=1", "tx=5", "malformed=0"}) EXPECT_FIELD(end, f);
}

TEST(UtmPeer, AnswerListActionsAfterNotificationsAndCount) {
    AgentSocket agent;
    RunningPeer peer({"--listen", "127.0.0.1:0", "--agent-port", Arg(agent.port), "--answer",
                      "ack,silent,unknown-session", "--ping-after", "2", "--reset-after", "3", "--count", "4"});
    ASSERT_TRUE(peer.ok);
    peer.Line();  // listening

    agent.SendTo(peer.Port(), Notification(10));
    std::optional<Bytes> got = agent.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, FromHex("0000000000000000 02 02 0009 0000000a deadbeef 000c 0005 00 00000003"));

    // Second: silence, then a ping that carries the notification's id.
    agent.SendTo(peer.Port(), Notification(11));
    got = agent.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, FromHex("0000000000000000 02 01 0004 0000000b deadbeef 0010 0000"));

    // Third, the agent's resend of 11: "Unknown SessionID" handing the
    // connection back, then a reset request with the same id.
    agent.SendTo(peer.Port(), Notification(11));
    got = agent.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, FromHex("0000000000000000 02 02 0034 0000000b deadbeef"
                            "0001 0001 01"
                            "0004 0002 c000"
                            "0005 0001 01"
                            "0006 0004 7f000001"
                            "0009 0004 5db8d822"
                            "000a 0002 01bb"
                            "000c 0005 00 00000003"
                            "000d 0001 01"));
    got = agent.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, FromHex("0000000000000000 02 01 0004 0000000b deadbeef 000f 0000"));

    // Fourth: the last answer repeats, and the count ends the run.
    agent.SendTo(peer.Port(), Notification(12));
    got = agent.Receive();
    ASSERT_TRUE(got);
    ASSERT_GE(got->size(), 25u);
    EXPECT_EQ((*got)[21], utm::kTlvProtOp);  // the connection handed back: unknown-session again
    EXPECT_EQ((*got)[24], 0x01);
    EXPECT_EQ(peer.Join(), utm::kExitOk);

    std::vector<std::string> lines;
    for (std::string l = peer.Line(); !l.empty(); l = peer.Line()) {
        lines.push_back(l);
        if (l.rfind("end ", 0) == 0) break;
    }
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_FIELD(lines[0], "notif=1");
    EXPECT_FIELD(lines[0], "answer=ack");
    EXPECT_FIELD(lines[1], "sent=ack");
    EXPECT_FIELD(lines[2], "answer=silent");
    EXPECT_FIELD(lines[3], "sent=ping");
    EXPECT_FIELD(lines[3], "id=11");
    EXPECT_FIELD(lines[4], "notif=3");
    EXPECT_FIELD(lines[4], "repeat=1");
    EXPECT_FIELD(lines[4], "answer=unknown-session");
    EXPECT_FIELD(lines[5], "sent=unknown-session");
    EXPECT_FIELD(lines[5], "errind=unknown-session");
    EXPECT_FIELD(lines[6], "sent=reset");
    EXPECT_FIELD(lines[7], "answer=unknown-session");
    EXPECT_FIELD(lines[8], "sent=unknown-session");
    for (const char* f : {"reason=count", "rx=4", "notifications=4", "tx=5"}) EXPECT_FIELD(lines[9], f);
}

TEST(UtmPeer, TimeoutEndsTheRun) {
    {
        RunningPeer peer({"--listen", "127.0.0.1:0", "--timeout", "0.2", "--count", "3"});
        ASSERT_TRUE(peer.ok);
        EXPECT_EQ(peer.Join(), utm::kExitShort) << "fewer datagrams than --count";
        peer.Line();
        EXPECT_FIELD(peer.Line(), "reason=timeout");
    }
    {
        RunningPeer peer({"--listen", "127.0.0.1:0", "--timeout", "0.2"});
        ASSERT_TRUE(peer.ok);
        EXPECT_EQ(peer.Join(), utm::kExitOk);
    }
}

TEST(UtmPeer, KnownAgentAndEncryptedReplies) {
    AgentSocket agent;
    const utm::Key key{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    RunningPeer peer({"--listen", "127.0.0.1:0", "--agent", "127.0.0.1", "--agent-port", Arg(agent.port), "--ping",
                      "--encrypt-replies", "--key", "0123456789abcdef"});
    ASSERT_TRUE(peer.ok);
    // With --agent the ping goes out before anything arrives.
    std::optional<Bytes> got = agent.Receive();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 32u);  // 24 clear bytes encrypted: (24 + 15) & ~7
    EXPECT_EQ((*got)[0], 1);
    utm::Decoded d = utm::Decode(got->data(), got->size(), utm::Cipher(key));
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok);
    EXPECT_TRUE(d.ping);
    EXPECT_EQ(d.msgType, utm::kRequest);
    EXPECT_EQ(d.requestId, 1u);
    EXPECT_TRUE(d.agentLength && d.tailZero);

    agent.SendTo(peer.Port(), Notification(77));
    got = agent.Receive();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 40u);
    d = utm::Decode(got->data(), got->size(), utm::Cipher(key));
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok);
    EXPECT_EQ(d.requestId, 77u);
    ASSERT_TRUE(d.session);
    EXPECT_EQ(d.session->id, 3u);

    peer.Line();  // listening
    const std::string tx = peer.Line();
    EXPECT_FIELD(tx, "sent=ping");
    EXPECT_FIELD(tx, "iv=random");
    EXPECT_FIELD(tx, "cipherpad=ok");
}

TEST(UtmPeer, MalformedIsCountedAndNotAnswered) {
    AgentSocket agent;
    RunningPeer peer({"--listen", "127.0.0.1:0", "--agent-port", Arg(agent.port)});
    ASSERT_TRUE(peer.ok);
    peer.Line();
    agent.SendTo(peer.Port(), FromHex("0102030405"));
    const std::string rx = peer.Line();
    EXPECT_FIELD(rx, "status=malformed");
    EXPECT_FIELD(rx, "hex=0102030405");
    EXPECT_NO_FIELD(rx, "answer");
    EXPECT_FALSE(agent.Receive(200));

    // An unknown TLV in a notification is shown, and the notification answered.
    agent.SendTo(peer.Port(), FromHex("0000000000000000 02 00 0010 00000005 deadbeef"
                                      "0063 0003 abcdef 000c 0005 00 00000009"));
    ASSERT_TRUE(agent.Receive());
    const std::string rx2 = peer.Line();
    EXPECT_FIELD(rx2, "status=unknown-tlv");
    EXPECT_FIELD(rx2, "unknown=99:3:abcdef");
    EXPECT_FIELD(rx2, "answer=ack");
    peer.Line();  // tx
    EXPECT_EQ(peer.Finish(), utm::kExitOk);
    EXPECT_FIELD(peer.Line(), "malformed=1");
}

TEST(UtmPeer, ReuseAddressSharesAPortWhoseOwnerAllowsIt) {
    AgentSocket owner;
    const int on = 1;
    ASSERT_EQ(setsockopt(owner.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), 0);
    const std::string listen = "127.0.0.1:" + Arg(owner.port);
    {
        utm::Options o;
        std::string error;
        ASSERT_TRUE(utm::ParseOptions({"--listen", listen}, o, error));
        utm::Peer peer(o, stdout);
        EXPECT_FALSE(peer.Open(error));
        EXPECT_EQ(error, "bind " + listen + ": Address already in use");
    }
    utm::Options o;
    std::string error;
    ASSERT_TRUE(utm::ParseOptions({"--listen", listen, "--reuse-address"}, o, error));
    utm::Peer peer(o, stdout);
    EXPECT_TRUE(peer.Open(error)) << error;
    EXPECT_EQ(peer.Port(), owner.port);
}

// The program itself: live lines on a pipe, answers, SIGTERM, exit codes.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int outPipe[2], errPipe[2];
        EXPECT_EQ(pipe(outPipe), 0);
        EXPECT_EQ(pipe(errPipe), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        posix_spawn_file_actions_addclose(&actions, errPipe[0]);
        std::vector<std::string> all{UTM_PROGRAM};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, UTM_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        outFd = outPipe[0];
        errFd = errPipe[0];
        out = std::make_unique<LineReader>(outFd);
        err = std::make_unique<LineReader>(errFd);
    }
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            Wait();
        }
        close(outFd);
        close(errFd);
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid = -1;
    int outFd = -1, errFd = -1;
    std::unique_ptr<LineReader> out, err;
};

TEST(UtmProgram, LinesLiveAnswersAndSigterm) {
    AgentSocket agent;
    Program utmProgram({"--listen", "127.0.0.1:0", "--agent-port", Arg(agent.port)});
    const std::optional<std::string> listening = utmProgram.out->Next();
    ASSERT_TRUE(listening);
    const size_t at = listening->find("addr=127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << *listening;
    const uint16_t port = static_cast<uint16_t>(std::stoi(listening->substr(at + 15)));

    agent.SendTo(port, Notification(5));
    ASSERT_TRUE(agent.Receive());
    const std::optional<std::string> rx = utmProgram.out->Next();
    ASSERT_TRUE(rx);
    EXPECT_FIELD(*rx, "answer=ack");
    ASSERT_TRUE(utmProgram.out->Next());  // tx

    kill(utmProgram.pid, SIGTERM);
    const std::optional<std::string> end = utmProgram.out->Next();
    ASSERT_TRUE(end);
    EXPECT_FIELD(*end, "reason=signal");
    EXPECT_EQ(utmProgram.Wait(), 0);
}

TEST(UtmProgram, CountStopsItAndBadOptionsExitTwo) {
    {
        AgentSocket agent;
        Program utmProgram({"--listen", "127.0.0.1:0", "--count", "1", "--answer", "silent"});
        const std::optional<std::string> listening = utmProgram.out->Next();
        ASSERT_TRUE(listening);
        const uint16_t port =
            static_cast<uint16_t>(std::stoi(listening->substr(listening->find("addr=127.0.0.1:") + 15)));
        agent.SendTo(port, Notification(1));
        EXPECT_EQ(utmProgram.Wait(), 0);
    }
    {
        Program utmProgram({"--listen", "127.0.0.1:0", "--answer", "maybe"});
        EXPECT_EQ(utmProgram.Wait(), utm::kExitUsage);
        const std::optional<std::string> message = utmProgram.err->Next();
        ASSERT_TRUE(message);
        EXPECT_EQ(*message,
                  "utm: --answer: 'maybe' is not a list of ack, silent, unknown-session, not-found, "
                  "route-local");
    }
    {
        // The port is taken: a clear message and exit code 1.
        AgentSocket taken;
        Program utmProgram({"--listen", "127.0.0.1:" + Arg(taken.port)});
        EXPECT_EQ(utmProgram.Wait(), utm::kExitFailure);
        const std::optional<std::string> message = utmProgram.err->Next();
        ASSERT_TRUE(message);
        EXPECT_EQ(*message, "utm: bind 127.0.0.1:" + Arg(taken.port) + ": Address already in use");
    }
}

TEST(UtmProgram, CountOnlyAcknowledgesAtTheAgentPortAndEndsWithTotals) {
    AgentSocket agent;
    Program utmProgram(
        {"--listen", "127.0.0.1:0", "--count-only", "--agent-port", Arg(agent.port), "--receive-buffer", "1048576"});
    const std::optional<std::string> listening = utmProgram.out->Next();
    ASSERT_TRUE(listening);
    EXPECT_FIELD(*listening, "mode=count");
    EXPECT_FIELD(*listening, "answer=ack");
    EXPECT_FIELD(*listening, "agent-port=" + Arg(agent.port));
    const size_t at = listening->find("addr=127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << *listening;
    const uint16_t port = static_cast<uint16_t>(std::stoi(listening->substr(at + 15)));

    agent.SendTo(port, Notification(5));
    const std::optional<Bytes> ack = agent.Receive();
    ASSERT_TRUE(ack);
    EXPECT_EQ(*ack, FromHex("0000000000000000 02 02 0009 00000005 deadbeef 000c 0005 00 00000003"));
    const std::optional<std::string> count = utmProgram.out->Next();
    ASSERT_TRUE(count);
    EXPECT_EQ(count->rfind("count t=", 0), 0u) << *count;
    EXPECT_FIELD(*count, "notifications=1");

    kill(utmProgram.pid, SIGTERM);
    const std::optional<std::string> end = utmProgram.out->Next();
    ASSERT_TRUE(end);
    EXPECT_FIELD(*end, "reason=signal");
    EXPECT_FIELD(*end, "rx=1");
    EXPECT_FIELD(*end, "acked=1");
    EXPECT_EQ(utmProgram.Wait(), 0);
}

}  // namespace
