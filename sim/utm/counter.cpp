#include "sim/utm/counter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "sim/utm/peer.h"

namespace utm {
namespace {

constexpr size_t kBatch = 64;          // datagrams per recvmmsg
constexpr size_t kMaxDatagram = 2048;  // the agent's datagrams are far shorter
constexpr double kPrintEvery = 0.01;   // seconds between "count" lines

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

double MonotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t Nanoseconds(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec; }

// CLOCK_REALTIME less CLOCK_MONOTONIC, now.
int64_t RealtimeAhead() {
    timespec realtime, monotonic;
    clock_gettime(CLOCK_REALTIME, &realtime);
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    return Nanoseconds(realtime) - Nanoseconds(monotonic);
}

// The kernel's receive time of a datagram (SCM_TIMESTAMPNS), in ns of
// CLOCK_REALTIME; -1 when the message carries none.
int64_t ReceiveTime(msghdr& header) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return Nanoseconds(ts);
        }
    }
    return -1;
}

}  // namespace

CountCheck CheckDatagram(const uint8_t* data, size_t n, const Cipher& cipher, uint8_t* work) {
    CountCheck c;
    if (n < kFixedBytes) return c;
    const uint8_t* clear = data;
    if (data[0] != 0) {
        // Header and TLVs lie behind the IV, encrypted in whole blocks.
        if ((n - kIvBytes) % 8 != 0) return c;
        std::memcpy(work, data, kIvBytes);
        cipher.Decrypt(data + kIvBytes, work + kIvBytes, n - kIvBytes, data);
        clear = work;
    }
    const uint16_t length = Be16(clear + 10);
    if (clear[8] != kVersion || Be32(clear + 16) != kSignature) return c;
    const size_t expected = data[0] != 0 ? (kFixedBytes + length + 15) & ~size_t(7) : kFixedBytes + length;
    if (n != expected) return c;
    c.requestId = Be32(clear + 12);

    bool reset = false;
    unsigned seen = 0;  // Prot/op 1, Port 2, IP 4
    size_t at = kFixedBytes;
    const size_t end = kFixedBytes + length;
    while (at < end) {
        if (end - at < kTlvHeaderBytes) return c;
        const uint16_t type = Be16(clear + at);
        const uint16_t valueLength = Be16(clear + at + 2);
        if (end - at - kTlvHeaderBytes < valueLength) return c;
        const uint8_t* value = clear + at + kTlvHeaderBytes;
        if (type == kTlvSessionId && valueLength == 5) {
            c.hasSession = true;
            c.connectionType = value[0];
            c.sessionId = Be32(value + 1);
        } else if (type == kTlvReset) {
            reset = true;
        } else if (type == kTlvProtOp && valueLength == 1) {
            c.protOp = value[0];
            seen |= 1;
        } else if (type == kTlvPort && valueLength == 2) {
            c.port = Be16(value);
            seen |= 2;
        } else if (type == kTlvIp && valueLength == 4 && !(seen & 4)) {
            c.ip = Be32(value);
            seen |= 4;
        }
        at += kTlvHeaderBytes + valueLength;
    }
    c.hasTuple = seen == 7;
    if (clear[9] != kNotification)
        c.verdict = CountVerdict::Other;
    else
        c.verdict = reset ? CountVerdict::Reset : CountVerdict::Notification;
    return c;
}

size_t BuildAck(const CountCheck& check, uint8_t out[kAckMaxBytes]) {
    std::memset(out, 0, kAckMaxBytes);
    out[8] = kVersion;
    out[9] = kResponse;
    out[10] = 0;
    out[11] = check.hasSession ? 9 : 0;
    PutBe32(out + 12, check.requestId);
    PutBe32(out + 16, kSignature);
    if (!check.hasSession) return kFixedBytes;
    out[20] = 0;
    out[21] = kTlvSessionId;
    out[22] = 0;
    out[23] = 5;
    out[24] = check.connectionType;
    PutBe32(out + 25, check.sessionId);
    return kAckMaxBytes;
}

Counter::Counter(const CountOptions& opts, FILE* output) : options(opts), out(output), cipher(opts.key) {}

Counter::~Counter() {
    if (arrivals) fclose(arrivals);
}

bool Counter::Open(std::string& error) {
    if (!endpoint.Create(error)) return false;
    const int sock = endpoint.Socket();
    if (options.receiveBufferBytes) {
        // SO_RCVBUFFORCE passes rmem_max when run as root; SO_RCVBUF is capped by it.
        const int size = static_cast<int>(options.receiveBufferBytes);
        if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 &&
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            error = std::string("setsockopt SO_RCVBUF: ") + strerror(errno);
            return false;
        }
    }
    int actual = 0;
    socklen_t actualLen = sizeof actual;
    getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &actual, &actualLen);
    receiveBuffer = static_cast<uint32_t>(actual);
    if (!options.arrivalsPath.empty()) {
        const int on = 1;
        if (setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
            error = std::string("setsockopt SO_TIMESTAMPNS: ") + strerror(errno);
            return false;
        }
        arrivals = fopen(options.arrivalsPath.c_str(), "wb");
        if (!arrivals) {
            error = options.arrivalsPath + ": " + strerror(errno);
            return false;
        }
        setvbuf(arrivals, nullptr, _IOFBF, 1 << 20);
    }
    if (!endpoint.Bind(options.listenAddress, options.listenPort, error)) return false;
    if (options.agentPort == 0) options.agentPort = endpoint.BoundPort();
    return true;
}

void Counter::RecordArrival(const CountCheck& check, uint64_t monotonicNs) {
    if (!arrivals || !check.hasTuple) return;
    const Arrival a{monotonicNs, check.ip, check.port, check.protOp, 0};
    fwrite(&a, sizeof a, 1, arrivals);
}

void Counter::Stop() { endpoint.Wake(); }

void Counter::PrintTotals(const char* word, const char* reason) {
    if (arrivals) fflush(arrivals);
    fprintf(out, "%s t=%.3f%s%s rx=%llu notifications=%llu acked=%llu resets=%llu other=%llu bad=%llu ackerrors=%llu\n",
            word, MonotonicSeconds() - startSeconds, reason ? " reason=" : "", reason ? reason : "",
            static_cast<unsigned long long>(totals.received), static_cast<unsigned long long>(totals.notifications),
            static_cast<unsigned long long>(totals.acked), static_cast<unsigned long long>(totals.resets),
            static_cast<unsigned long long>(totals.other), static_cast<unsigned long long>(totals.bad),
            static_cast<unsigned long long>(totals.ackErrors));
    fflush(out);
}

int Counter::Run() {
    startSeconds = MonotonicSeconds();
    fprintf(out, "listening t=0.000 addr=%s:%u agent-port=%u mode=count answer=%s rcvbuf=%u\n",
            IpText(options.listenAddress).c_str(), endpoint.BoundPort(), options.agentPort,
            options.silent ? "silent" : "ack", receiveBuffer);
    fflush(out);

    std::vector<uint8_t> buffers(kBatch * kMaxDatagram);
    std::vector<uint8_t> work(kMaxDatagram);
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    sockaddr_in sources[kBatch];
    // Room for each datagram's receive time (--arrivals only).
    alignas(cmsghdr) char controls[kBatch][CMSG_SPACE(sizeof(timespec))];
    uint8_t acks[kBatch][kAckMaxBytes];
    mmsghdr ackMessages[kBatch];
    iovec ackVectors[kBatch];
    sockaddr_in ackTargets[kBatch];

    const double deadline = options.timeout > 0 ? startSeconds + options.timeout : 0;
    double lastPrint = startSeconds;
    uint64_t printedReceived = 0;
    const char* reason = nullptr;
    while (!reason) {
        const double now = MonotonicSeconds();
        if (totals.received != printedReceived && now - lastPrint >= kPrintEvery) {
            PrintTotals("count", nullptr);
            printedReceived = totals.received;
            lastPrint = now;
        }
        int waitMs = static_cast<int>(kPrintEvery * 1000);
        if (deadline > 0) {
            const double left = deadline - now;
            if (left <= 0) {
                reason = "timeout";
                break;
            }
            waitMs = std::min(waitMs, static_cast<int>(std::ceil(left * 1000)));
        }
        pollfd fds[2] = {{endpoint.Socket(), POLLIN, 0}, {endpoint.WakeFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            reason = "error";
            break;
        }
        if (fds[1].revents) {
            reason = "signal";
            break;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        for (;;) {
            for (size_t i = 0; i < kBatch; ++i) {
                vectors[i] = {buffers.data() + i * kMaxDatagram, kMaxDatagram};
                messages[i] = {};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                messages[i].msg_hdr.msg_name = &sources[i];
                messages[i].msg_hdr.msg_namelen = sizeof sources[i];
                if (arrivals) {
                    messages[i].msg_hdr.msg_control = controls[i];
                    messages[i].msg_hdr.msg_controllen = sizeof controls[i];
                }
            }
            const int got = recvmmsg(endpoint.Socket(), messages, kBatch, MSG_DONTWAIT, nullptr);
            if (got <= 0) break;  // EAGAIN: all taken; other errors: poll again
            // A datagram without its receive time (none is expected) gets the
            // time it was taken.
            const int64_t realtimeAhead = arrivals ? RealtimeAhead() : 0;
            const int64_t batchTime = static_cast<int64_t>(MonotonicSeconds() * 1e9);
            unsigned acksToSend = 0;
            for (int i = 0; i < got; ++i) {
                ++totals.received;
                const uint8_t* data = buffers.data() + static_cast<size_t>(i) * kMaxDatagram;
                const size_t n = messages[i].msg_len;
                const CountCheck check = (messages[i].msg_hdr.msg_flags & MSG_TRUNC)
                                             ? CountCheck{}
                                             : CheckDatagram(data, n, cipher, work.data());
                switch (check.verdict) {
                    case CountVerdict::Notification:
                        ++totals.notifications;
                        if (arrivals) {
                            const int64_t received = ReceiveTime(messages[i].msg_hdr);
                            RecordArrival(check,
                                          static_cast<uint64_t>(received < 0 ? batchTime : received - realtimeAhead));
                        }
                        if (!options.silent) {
                            const size_t len = BuildAck(check, acks[acksToSend]);
                            ackVectors[acksToSend] = {acks[acksToSend], len};
                            ackTargets[acksToSend] = sources[i];
                            ackTargets[acksToSend].sin_port = htons(options.agentPort);
                            ackMessages[acksToSend] = {};
                            ackMessages[acksToSend].msg_hdr.msg_iov = &ackVectors[acksToSend];
                            ackMessages[acksToSend].msg_hdr.msg_iovlen = 1;
                            ackMessages[acksToSend].msg_hdr.msg_name = &ackTargets[acksToSend];
                            ackMessages[acksToSend].msg_hdr.msg_namelen = sizeof ackTargets[acksToSend];
                            ++acksToSend;
                        }
                        break;
                    case CountVerdict::Reset:
                        ++totals.resets;
                        break;
                    case CountVerdict::Other:
                        ++totals.other;
                        break;
                    case CountVerdict::Bad:
                        ++totals.bad;
                        break;
                }
            }
            unsigned sent = 0;
            for (int attempts = 0; sent < acksToSend && attempts < 100; ++attempts) {
                const int r = sendmmsg(endpoint.Socket(), ackMessages + sent, acksToSend - sent, 0);
                if (r < 0) {
                    if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS) continue;
                    break;
                }
                sent += static_cast<unsigned>(r);
            }
            totals.acked += sent;
            totals.ackErrors += acksToSend - sent;
            if (options.count && totals.received >= options.count) {
                reason = "count";
                break;
            }
        }
    }
    PrintTotals("end", reason);
    if (std::strcmp(reason, "error") == 0) return kExitFailure;
    if (std::strcmp(reason, "timeout") == 0 && options.count) return kExitShort;
    return kExitOk;
}

}  // namespace utm
