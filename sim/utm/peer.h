// The appliance peer: one UDP socket, one line of text per datagram received
// or sent, answers as its options say.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/utm/udp_endpoint.h"
#include "sim/utm/wire.h"

namespace utm {

// How the peer answers a notification.
enum class Answer { Ack, Silent, UnknownSession, NotFound, RouteLocal };

const char* AnswerName(Answer a);

struct Options {
    uint32_t listenAddress = 0;  // host order; 0 is any address
    uint16_t listenPort = 0;
    bool listenGiven = false;
    std::string keyText;
    Key key{};
    bool keyCut = false;
    // The i-th notification gets answers[i - 1]; the last one repeats.
    std::vector<Answer> answers{Answer::Ack};
    uint16_t agentPort = 0;     // 0: the listen port
    uint32_t agentAddress = 0;  // host order
    bool agentGiven = false;
    bool pingAtStart = false;
    bool resetAtStart = false;
    std::vector<uint64_t> pingAfter;  // notification numbers, 1-based
    std::vector<uint64_t> resetAfter;
    std::vector<AddressPair> teachSubnets;  // (network, mask)
    std::vector<AddressPair> teachRanges;   // (first, last)
    uint64_t teachAfter = 0;                // 0: at start
    bool encryptReplies = false;
    uint64_t count = 0;  // 0: no limit
    double timeout = 0;  // seconds; 0: none
    bool hex = false;
    bool reuseAddress = false;   // SO_REUSEADDR before binding
    bool countOnly = false;      // counting mode (counter.h): check, acknowledge, count
    uint32_t receiveBuffer = 0;  // SO_RCVBUF in bytes; 0: the system's default
    std::string arrivalsPath;    // counting mode: a record per notification (counter.h)
    bool help = false;
};

// Parses the command line (without the program name). On failure returns
// false with a message that names the offending option.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
std::string Usage();

// Exit codes of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // socket errors
constexpr int kExitUsage = 2;
constexpr int kExitShort = 3;  // --timeout ended the run before --count datagrams arrived

class Peer {
public:
    Peer(const Options& options, FILE* out);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Creates and binds the socket; false with a message on failure.
    bool Open(std::string& error);
    uint16_t Port() const { return endpoint.BoundPort(); }

    // Receives, prints and answers until --count, --timeout or Stop();
    // returns the exit code.
    int Run();

    // Ends Run(). Async-signal-safe and callable from any thread.
    void Stop();

private:
    struct Target {
        uint32_t address;  // host order
        uint16_t port;
    };

    void Handle(const uint8_t* data, size_t n, const Target& from);
    void StartActions(uint32_t agentAddress);
    void AfterActions(uint64_t notification, uint32_t requestId, uint32_t agentAddress);
    void SendRoutes(uint32_t agentAddress);
    void Send(const Builder& datagram, const char* what, uint32_t agentAddress);
    void Emit(const std::string& line);
    std::string Now() const;

    Options options;
    FILE* out;
    Cipher cipher;
    UdpEndpoint endpoint;
    double startSeconds = 0;

    bool started = false;  // the at-start datagrams have gone out
    uint64_t received = 0;
    uint64_t notifications = 0;
    uint64_t sent = 0;
    uint64_t malformed = 0;
    uint32_t nextRequestId = 1;                      // the peer's own requests
    std::unordered_map<uint32_t, uint32_t> seenIds;  // notification request id -> times seen
};

}  // namespace utm
