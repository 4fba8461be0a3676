#include "sim/utm/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "sim/utm/report.h"

namespace utm {
namespace {

double MonotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

bool ParsePort(const std::string& text, uint16_t& port) {
    uint64_t v;
    if (!ParseUnsigned(text, 65535, v)) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

// "ADDR:PORT" or "PORT" (any address).
bool ParseEndpoint(const std::string& text, uint32_t& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        address = 0;
        return ParsePort(text, port);
    }
    return ParseIp(text.substr(0, colon), address) && ParsePort(text.substr(colon + 1), port);
}

// "NET/BITS" or "NET/MASK".
bool ParseSubnet(const std::string& text, AddressPair& subnet) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || !ParseIp(text.substr(0, slash), subnet.first)) return false;
    const std::string mask = text.substr(slash + 1);
    uint64_t bits;
    if (mask.find('.') == std::string::npos) {
        if (!ParseUnsigned(mask, 32, bits)) return false;
        subnet.second = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
        return true;
    }
    return ParseIp(mask, subnet.second);
}

bool ParseRange(const std::string& text, AddressPair& range) {
    const size_t dash = text.find('-');
    return dash != std::string::npos && ParseIp(text.substr(0, dash), range.first) &&
           ParseIp(text.substr(dash + 1), range.second);
}

bool ParseAnswer(const std::string& text, Answer& answer) {
    static const struct {
        const char* name;
        Answer answer;
    } names[] = {{"ack", Answer::Ack},
                 {"silent", Answer::Silent},
                 {"unknown-session", Answer::UnknownSession},
                 {"not-found", Answer::NotFound},
                 {"route-local", Answer::RouteLocal}};
    for (const auto& n : names) {
        if (text == n.name) {
            answer = n.answer;
            return true;
        }
    }
    return false;
}

std::string EndpointText(uint32_t address, uint16_t port) { return IpText(address) + ":" + std::to_string(port); }

sockaddr_in SockAddr(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

}  // namespace

const char* AnswerName(Answer a) {
    switch (a) {
        case Answer::Ack:
            return "ack";
        case Answer::Silent:
            return "silent";
        case Answer::UnknownSession:
            return "unknown-session";
        case Answer::NotFound:
            return "not-found";
        case Answer::RouteLocal:
            return "route-local";
    }
    return "?";
}

std::string Usage() {
    return "usage: utm --listen ADDR:PORT [options]\n"
           "An appliance peer: prints every datagram it receives or sends as one line of\n"
           "key=value fields and answers the agent's notifications.\n"
           "  --listen ADDR:PORT     bind here (ADDR 0.0.0.0 for any; PORT 0 picks a free one)\n"
           "  --key HEX              shared key, up to 16 hex digits (default: empty, 8 zero bytes)\n"
           "  --answer LIST          answers to notifications, comma-separated: ack, silent,\n"
           "                         unknown-session, not-found, route-local; the Nth notification\n"
           "                         gets the Nth answer, the last one repeats (default: ack)\n"
           "  --agent-port PORT      the agent's port: answers and the peer's own datagrams go to\n"
           "                         the agent's address at this port (default: the listen port)\n"
           "  --agent ADDR           the agent's address, so that the at-start datagrams go out at\n"
           "                         once (default: the source of the first datagram received)\n"
           "  --ping                 send a ping at start\n"
           "  --ping-after N         send a ping after answering the Nth notification, carrying its\n"
           "                         request id (repeatable)\n"
           "  --reset                send a reset request at start\n"
           "  --reset-after N        send a reset request after answering the Nth notification,\n"
           "                         carrying its request id (repeatable)\n"
           "  --teach-subnet NET/BITS|NET/MASK   teach a local-route subnet (repeatable)\n"
           "  --teach-range FIRST-LAST           teach a local-route range, both ends included\n"
           "                         (repeatable)\n"
           "  --teach-after N        teach after answering the Nth notification (default: at start)\n"
           "  --encrypt-replies      send the peer's datagrams encrypted under a random IV\n"
           "  --count N              stop after receiving N datagrams\n"
           "  --timeout S            stop after S seconds (exit code 3 if --count was not reached)\n"
           "  --hex                  add the decoded bytes as hex= to every line\n"
           "  --reuse-address        set SO_REUSEADDR before binding, to share the port with an\n"
           "                         agent on this host that sets it too (see README.md)\n"
           "  --count-only           counting mode: check each header, acknowledge notifications\n"
           "                         (or not, with --answer silent), print only totals; for\n"
           "                         benchmarks (see README.md)\n"
           "  --receive-buffer BYTES the socket's receive buffer (default: the system's)\n"
           "  --arrivals FILE        counting mode: write a 16-byte record per notification (its\n"
           "                         receive time and connection) to FILE (see README.md)\n"
           "  --help                 this text\n"
           "Notifications are counted as received, retransmissions included. At start means: at\n"
           "once with --agent, else right after the first datagram received. At one moment the\n"
           "peer sends the reset request, then the ping, then the local routes, one datagram each\n"
           "with request id 0 so that they acknowledge none of the agent's notifications. The\n"
           "reset and ping at start carry the peer's own request ids 1, 2, ...\n"
           "Lines: listening, rx (received), tx (sent), end; see README.md beside the program.\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options& o, std::string& error) {
    o = Options{};
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasInlineValue = false;
        const size_t eq = name.find('=');
        if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasInlineValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasInlineValue) return true;
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        const auto bad = [&](const char* what) {
            error = name + ": '" + value + "' is not " + what;
            return false;
        };
        const auto noValue = [&]() {
            if (!hasInlineValue) return true;
            error = name + " takes no value";
            return false;
        };
        uint64_t number;
        if (name == "--listen") {
            if (!takeValue()) return false;
            if (!ParseEndpoint(value, o.listenAddress, o.listenPort)) return bad("ADDR:PORT");
            o.listenGiven = true;
        } else if (name == "--key") {
            if (!takeValue()) return false;
            o.keyText = value;
            o.keyCut = !KeyFromText(value, o.key);
        } else if (name == "--answer") {
            if (!takeValue()) return false;
            o.answers.clear();
            size_t start = 0;
            for (;;) {
                const size_t comma = value.find(',', start);
                Answer a;
                if (!ParseAnswer(value.substr(start, comma - start), a))
                    return bad("a list of ack, silent, unknown-session, not-found, route-local");
                o.answers.push_back(a);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (name == "--agent-port") {
            if (!takeValue()) return false;
            if (!ParsePort(value, o.agentPort) || o.agentPort == 0) return bad("a port from 1 to 65535");
        } else if (name == "--agent") {
            if (!takeValue()) return false;
            if (!ParseIp(value, o.agentAddress)) return bad("a dotted IPv4 address");
            o.agentGiven = true;
        } else if (name == "--ping") {
            if (!noValue()) return false;
            o.pingAtStart = true;
        } else if (name == "--reset") {
            if (!noValue()) return false;
            o.resetAtStart = true;
        } else if (name == "--ping-after" || name == "--reset-after" || name == "--teach-after") {
            if (!takeValue()) return false;
            if (!ParseUnsigned(value, UINT64_MAX, number) || number == 0) return bad("a number from 1 up");
            if (name == "--ping-after")
                o.pingAfter.push_back(number);
            else if (name == "--reset-after")
                o.resetAfter.push_back(number);
            else
                o.teachAfter = number;
        } else if (name == "--teach-subnet") {
            if (!takeValue()) return false;
            AddressPair p;
            if (!ParseSubnet(value, p)) return bad("NET/BITS or NET/MASK");
            o.teachSubnets.push_back(p);
        } else if (name == "--teach-range") {
            if (!takeValue()) return false;
            AddressPair p;
            if (!ParseRange(value, p)) return bad("FIRST-LAST");
            o.teachRanges.push_back(p);
        } else if (name == "--encrypt-replies") {
            if (!noValue()) return false;
            o.encryptReplies = true;
        } else if (name == "--count") {
            if (!takeValue()) return false;
            if (!ParseUnsigned(value, UINT64_MAX, o.count) || o.count == 0) return bad("a number from 1 up");
        } else if (name == "--timeout") {
            if (!takeValue()) return false;
            char* end = nullptr;
            errno = 0;
            o.timeout = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(o.timeout) || o.timeout <= 0 ||
                o.timeout > 1e9)
                return bad("a positive number of seconds");
        } else if (name == "--reuse-address") {
            if (!noValue()) return false;
            o.reuseAddress = true;
        } else if (name == "--count-only") {
            if (!noValue()) return false;
            o.countOnly = true;
        } else if (name == "--receive-buffer") {
            if (!takeValue()) return false;
            if (!ParseUnsigned(value, 1u << 30, number) || number == 0) return bad("a size from 1 to 2^30 bytes");
            o.receiveBuffer = static_cast<uint32_t>(number);
        } else if (name == "--arrivals") {
            if (!takeValue()) return false;
            if (value.empty()) return bad("a file name");
            o.arrivalsPath = value;
        } else if (name == "--hex") {
            if (!noValue()) return false;
            o.hex = true;
        } else if (name == "--help" || name == "-h") {
            o.help = true;
        } else {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
    }
    if (!o.listenGiven && !o.help) {
        error = "--listen ADDR:PORT is required";
        return false;
    }
    if (!o.arrivalsPath.empty() && !o.countOnly) {
        error = "--arrivals needs --count-only";
        return false;
    }
    if (o.countOnly) {
        // The counting mode checks, acknowledges and counts; nothing else.
        const bool singleAnswer =
            o.answers.size() == 1 && (o.answers[0] == Answer::Ack || o.answers[0] == Answer::Silent);
        if (!singleAnswer || o.agentGiven || o.pingAtStart || o.resetAtStart || !o.pingAfter.empty() ||
            !o.resetAfter.empty() || !o.teachSubnets.empty() || !o.teachRanges.empty() || o.encryptReplies || o.hex ||
            o.reuseAddress) {
            error =
                "--count-only takes only --listen, --key, --answer ack|silent, --agent-port, --count, "
                "--timeout, --receive-buffer and --arrivals";
            return false;
        }
    }
    return true;
}

Peer::Peer(const Options& opts, FILE* output) : options(opts), out(output), cipher(opts.key) {
    if (options.agentPort == 0) options.agentPort = options.listenPort;
}

Peer::~Peer() = default;

bool Peer::Open(std::string& error) {
    if (!endpoint.Create(error)) return false;
    const int on = 1;
    if (options.reuseAddress && setsockopt(endpoint.Socket(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        error = std::string("setsockopt SO_REUSEADDR: ") + strerror(errno);
        return false;
    }
    if (!endpoint.Bind(options.listenAddress, options.listenPort, error)) return false;
    // A listen port of 0 takes a free one; the agent then listens there too.
    if (options.agentPort == 0) options.agentPort = endpoint.BoundPort();
    return true;
}

void Peer::Stop() { endpoint.Wake(); }

std::string Peer::Now() const {
    char text[32];
    snprintf(text, sizeof text, "%.3f", MonotonicSeconds() - startSeconds);
    return text;
}

void Peer::Emit(const std::string& line) {
    fwrite(line.data(), 1, line.size(), out);
    fputc('\n', out);
    fflush(out);
}

int Peer::Run() {
    startSeconds = MonotonicSeconds();
    std::string answers;
    for (Answer a : options.answers) answers += (answers.empty() ? "" : ",") + std::string(AnswerName(a));
    Emit("listening t=" + Now() + " addr=" + EndpointText(options.listenAddress, endpoint.BoundPort()) +
         " agent-port=" + std::to_string(options.agentPort) +
         " key=" + HexText(options.key.data(), options.key.size()) + " answer=" + answers +
         " encrypt=" + (options.encryptReplies ? "yes" : "no"));
    if (options.agentGiven) StartActions(options.agentAddress);

    const double deadline = options.timeout > 0 ? startSeconds + options.timeout : 0;
    const char* reason = nullptr;
    std::vector<uint8_t> buffer(65536);
    while (!reason) {
        int waitMs = -1;
        if (deadline > 0) {
            const double left = deadline - MonotonicSeconds();
            if (left <= 0) {
                reason = "timeout";
                break;
            }
            waitMs = static_cast<int>(std::ceil(std::min(left, 3600.0) * 1000));
        }
        pollfd fds[2] = {{endpoint.Socket(), POLLIN, 0}, {endpoint.WakeFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;  // the handler has written to the pipe if it meant stop
            Emit(std::string("error t=") + Now() + " what=poll error=" + QuoteValue(strerror(errno)));
            reason = "error";
            break;
        }
        if (fds[1].revents) {
            reason = "signal";
            break;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        // Take everything that is waiting, one datagram at a time.
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = recvfrom(endpoint.Socket(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    Emit(std::string("error t=") + Now() + " what=recvfrom error=" + QuoteValue(strerror(errno)));
                break;
            }
            Handle(buffer.data(), static_cast<size_t>(n), Target{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
            if (options.count && received >= options.count) {
                reason = "count";
                break;
            }
        }
    }
    Emit(std::string("end t=") + Now() + " reason=" + reason + " rx=" + std::to_string(received) + " notifications=" +
         std::to_string(notifications) + " tx=" + std::to_string(sent) + " malformed=" + std::to_string(malformed));
    if (std::strcmp(reason, "error") == 0) return kExitFailure;
    if (std::strcmp(reason, "timeout") == 0 && options.count) return kExitShort;
    return kExitOk;
}

void Peer::Handle(const uint8_t* data, size_t n, const Target& from) {
    ++received;
    const Decoded d = Decode(data, n, cipher);
    if (d.status == DecodeStatus::Malformed) ++malformed;
    std::string line = "rx seq=" + std::to_string(received) + " t=" + Now() +
                       " from=" + EndpointText(from.address, from.port) + " " + DescribeDatagram(d, options.hex);
    const bool isNotification = IsNotification(d);
    Answer answer = Answer::Silent;
    if (isNotification) {
        ++notifications;
        const uint32_t before = seenIds[d.requestId]++;
        answer = options.answers[std::min<size_t>(notifications, options.answers.size()) - 1];
        line += " notif=" + std::to_string(notifications);
        if (before) line += " repeat=" + std::to_string(before);
        line += std::string(" answer=") + AnswerName(answer);
    }
    Emit(line);

    if (isNotification) {
        switch (answer) {
            case Answer::Ack:
                Send(AckAnswer(d), "ack", from.address);
                break;
            case Answer::Silent:
                break;
            case Answer::UnknownSession:
                Send(UnknownSessionAnswer(d), "unknown-session", from.address);
                break;
            case Answer::NotFound:
                Send(ErrorAnswer(d, kErrConnectionNotFound), "not-found", from.address);
                break;
            case Answer::RouteLocal:
                Send(ErrorAnswer(d, kErrDestinationRouteLocal), "route-local", from.address);
                break;
        }
    }
    if (!started) StartActions(from.address);
    if (isNotification) AfterActions(notifications, d.requestId, from.address);
}

void Peer::StartActions(uint32_t agentAddress) {
    started = true;
    if (options.resetAtStart) Send(ResetRequest(nextRequestId++), "reset", agentAddress);
    if (options.pingAtStart) Send(PingRequest(nextRequestId++), "ping", agentAddress);
    if (options.teachAfter == 0) SendRoutes(agentAddress);
}

void Peer::AfterActions(uint64_t notification, uint32_t requestId, uint32_t agentAddress) {
    for (uint64_t n : options.resetAfter)
        if (n == notification) Send(ResetRequest(requestId), "reset", agentAddress);
    for (uint64_t n : options.pingAfter)
        if (n == notification) Send(PingRequest(requestId), "ping", agentAddress);
    if (options.teachAfter == notification) SendRoutes(agentAddress);
}

void Peer::SendRoutes(uint32_t agentAddress) {
    // Request id 0: the agent never uses it, so a route answer acknowledges
    // none of its notifications.
    for (const AddressPair& s : options.teachSubnets) Send(SubnetRoute(0, s.first, s.second), "subnet", agentAddress);
    for (const AddressPair& r : options.teachRanges) Send(RangeRoute(0, r.first, r.second), "range", agentAddress);
}

void Peer::Send(const Builder& datagram, const char* what, uint32_t agentAddress) {
    std::vector<uint8_t> bytes;
    if (options.encryptReplies) {
        static std::mt19937 rng{std::random_device{}()};
        uint8_t iv[kIvBytes];
        iv[0] = 1;
        for (size_t i = 1; i < kIvBytes; ++i) iv[i] = static_cast<uint8_t>(rng());
        bytes = datagram.Encrypted(cipher, iv);
    } else {
        bytes = datagram.Clear();
    }
    const sockaddr_in to = SockAddr(agentAddress, options.agentPort);
    const ssize_t n =
        sendto(endpoint.Socket(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const int sendError = n < 0 ? errno : 0;
    std::string line = "tx t=" + Now() + " to=" + EndpointText(agentAddress, options.agentPort) + " sent=" + what +
                       " " + DescribeDatagram(Decode(bytes.data(), bytes.size(), cipher), options.hex);
    if (sendError) {
        line += " error=" + QuoteValue(strerror(sendError));
    } else {
        ++sent;
    }
    Emit(line);
}

}  // namespace utm
