// The appliance peer's counting mode (utm --count-only): receives the agent's
// datagrams in batches, checks each header, acknowledges every notification
// and counts, without describing or printing datagrams. It exists so that a
// benchmark measures the agent, not the peer: the printing peer decodes and
// writes one line per datagram and reads more slowly than the agent sends.
//
// Only a datagram under a random IV (one that carries names: the first of each
// session until it is acknowledged) is decrypted, because its header and its
// SessionId lie behind the IV; clear datagrams are read in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/utm/udp_endpoint.h"
#include "sim/utm/wire.h"

namespace utm {

// What the header check found in one datagram.
enum class CountVerdict {
    Notification,  // a whole notification: acknowledged
    Reset,         // the agent's reset request: counted, not acknowledged
    Other,         // a whole datagram of another message type (a ping answer): counted only
    Bad,           // a broken header or layout: counted only
};

struct CountCheck {
    CountVerdict verdict = CountVerdict::Bad;
    uint32_t requestId = 0;
    bool hasSession = false;
    uint8_t connectionType = 0;
    uint32_t sessionId = 0;
    // The connection it names, when it carries Prot/op, Port and an IP.
    bool hasTuple = false;
    uint8_t protOp = 0;
    uint16_t port = 0;  // host order
    uint32_t ip = 0;    // its first IP TLV, host order
};

// One notification as the counting peer received it, written to the file of
// --arrivals: 16 bytes each, in the host's byte order. A benchmark on the
// same host matches it by its connection to the moment it fed the driver
// record, and reads the difference as the agent's latency: both sides read
// CLOCK_MONOTONIC, which a network namespace does not change.
struct Arrival {
    // When the datagram reached the peer's socket: the kernel's receive
    // time (SO_TIMESTAMPNS), so that the peer's own wake-up is not counted;
    // turned from CLOCK_REALTIME into CLOCK_MONOTONIC by their difference,
    // read anew for every batch.
    uint64_t monotonicNs;
    uint32_t ip;  // the first IP TLV, host order
    uint16_t port;  // the Port TLV, host order
    uint8_t protOp;
    uint8_t reserved;
};
static_assert(sizeof(Arrival) == 16, "the --arrivals record is 16 bytes");

// Checks one datagram of n bytes: length at least IV and header, version 2,
// signature 0xDEADBEEF, a TLV area that lies inside the datagram (clear: the
// datagram is exactly 20 + length bytes; random IV: (20 + length + 15) & ~7,
// as the agent sends it) and TLVs that tile it. `work` holds at least n bytes
// (the decrypted copy of a datagram under a random IV).
// Prot/op, Port and the first IP are read when present.
CountCheck CheckDatagram(const uint8_t* data, size_t n, const Cipher& cipher, uint8_t* work);

// The acknowledgement of a checked notification, as the printing peer sends
// it: NULL IV, a Response with its request id and, when it carried one, its
// SessionId TLV. Writes 29 bytes (20 without a session) and returns the count.
constexpr size_t kAckMaxBytes = 29;
size_t BuildAck(const CountCheck& check, uint8_t out[kAckMaxBytes]);

struct CountTotals {
    uint64_t received = 0;       // datagrams
    uint64_t notifications = 0;  // whole notifications (retransmissions included)
    uint64_t acked = 0;          // acknowledgements sent
    uint64_t resets = 0;
    uint64_t other = 0;
    uint64_t bad = 0;
    uint64_t ackErrors = 0;  // acknowledgements that sendmmsg did not take
};

struct CountOptions {
    uint32_t listenAddress = 0;  // host order
    uint16_t listenPort = 0;
    uint16_t agentPort = 0;  // 0: the listen port
    Key key{};
    bool silent = false;              // count but acknowledge nothing
    uint32_t receiveBufferBytes = 0;  // 0: the system's default
    double timeout = 0;               // seconds; 0: none
    uint64_t count = 0;               // stop after this many datagrams; 0: no limit
    std::string arrivalsPath;         // "": no arrival records
};

class Counter {
public:
    Counter(const CountOptions& options, FILE* out);
    ~Counter();
    Counter(const Counter&) = delete;
    Counter& operator=(const Counter&) = delete;

    bool Open(std::string& error);
    uint16_t Port() const { return endpoint.BoundPort(); }

    // Receives until count, timeout or Stop(). Prints "listening", then a
    // "count" line whenever the totals have changed (at most every 10 ms),
    // and "end"; the arrival records are flushed before each of those lines,
    // so a reader that saw a count finds every arrival it counted. Returns an
    // exit code of peer.h.
    int Run();
    void Stop();  // async-signal-safe

    const CountTotals& Totals() const { return totals; }

private:
    void PrintTotals(const char* word, const char* reason);
    void RecordArrival(const CountCheck& check, uint64_t monotonicNs);

    CountOptions options;
    FILE* out;
    Cipher cipher;
    UdpEndpoint endpoint;
    FILE* arrivals = nullptr;
    uint32_t receiveBuffer = 0;
    double startSeconds = 0;
    CountTotals totals;
};

}  // namespace utm
