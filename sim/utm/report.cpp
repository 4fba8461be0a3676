#include "sim/utm/report.h"

#include <algorithm>
#include <cstdio>

namespace utm {
namespace {

bool BareChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == ':' || c == '/' || c == ',' || c == '@' || c == '+' || c == '-';
}

// Length of the valid UTF-8 sequence starting at s[i] (2 to 4 bytes), or 0.
size_t Utf8Sequence(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((at(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (at(i + k) & 0x3F);
    }
    // Reject over-long forms, surrogates and values past U+10FFFF.
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return len;
}

const char* kHexDigits = "0123456789abcdef";
// Longer datagrams show their first bytes only, followed by "...".
constexpr size_t kHexLimit = 4096;

std::string ProtoText(uint8_t protocol) {
    if (protocol == kProtoTcp) return "tcp";
    if (protocol == kProtoUdp) return "udp";
    return std::to_string(protocol);
}

std::string OpText(uint8_t operation) {
    if (operation == kOpOpen) return "open";
    if (operation == kOpClose) return "close";
    return std::to_string(operation);
}

std::string TypeText(uint8_t type) {
    switch (type) {
        case kNotification:
            return "notification";
        case kRequest:
            return "request";
        case kResponse:
            return "response";
        default:
            return "unknown:" + std::to_string(type);
    }
}

std::string ErrorText(uint8_t code) {
    switch (code) {
        case kErrUnknownSessionId:
            return "unknown-session";
        case kErrConnectionNotFound:
            return "connection-not-found";
        case kErrDestinationRouteLocal:
            return "route-local";
        default:
            return std::to_string(code);
    }
}

// Lists of repeated items (IPs, subnets, odd TLVs) stop after this many
// entries with ",...", so that hostile datagrams keep their lines short.
constexpr size_t kListLimit = 32;

template <typename T, typename F>
std::string List(const std::vector<T>& items, F text) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i == kListLimit) return out + ",...";
        if (i) out += ',';
        out += text(items[i]);
    }
    return out;
}

std::string TlvList(const Decoded& d, const std::vector<TlvRef>& list) {
    return List(list, [&d](const TlvRef& t) {
        return std::to_string(t.type) + ':' + std::to_string(t.length) + ':' +
               HexText(d.clear.data() + t.offset, t.length);
    });
}

class Fields {
public:
    void Add(const char* key, const std::string& value) {
        if (!text.empty()) text += ' ';
        text += key;
        text += '=';
        text += QuoteValue(value);
    }
    void Add(const char* key, uint64_t value) { Add(key, std::to_string(value)); }
    std::string text;
};

}  // namespace

std::string QuoteValue(const std::string& value) {
    bool bare = !value.empty();
    for (unsigned char c : value) bare = bare && BareChar(c);
    if (bare) return value;
    std::string out = "\"";
    for (size_t i = 0; i < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t len = c >= 0x80 ? Utf8Sequence(value, i) : 0) {
            out.append(value, i, len);
            i += len;
        } else {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0xF];
            ++i;
        }
    }
    out += '"';
    return out;
}

std::string HexText(const uint8_t* data, size_t n) {
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += kHexDigits[data[i] >> 4];
        out += kHexDigits[data[i] & 0xF];
    }
    return out;
}

std::string DescribeDatagram(const Decoded& d, bool withHex) {
    Fields f;
    f.Add("len", d.received);
    if (d.received > kIvBytes) f.Add("iv", d.ivRandom ? "random" : "clear");
    f.Add("status", d.status == DecodeStatus::Ok           ? "ok"
                    : d.status == DecodeStatus::UnknownTlv ? "unknown-tlv"
                                                           : "malformed");
    if (d.status == DecodeStatus::Malformed) f.Add("malformed", d.malformed);
    if (d.hasHeader) {
        f.Add("ver", d.version);
        f.Add("type", TypeText(d.msgType));
        f.Add("id", d.requestId);
        char sig[16];
        snprintf(sig, sizeof sig, "0x%08x", d.signature);
        f.Add("sig", sig);
        f.Add("tlvlen", d.tlvLength);
        if (d.received >= kFixedBytes + d.tlvLength) {
            f.Add("extra", d.extra);
            if (d.ivRandom) f.Add("cipherpad", d.agentLength && d.tailZero ? "ok" : "unusual");
        }
        f.Add("kind", KindOf(d));
    }
    if (d.userName) f.Add("user", *d.userName);
    if (d.domainName) f.Add("domain", *d.domainName);
    if (d.serverName) f.Add("server", *d.serverName);
    if (d.protOp) {
        f.Add("proto", ProtoText(*d.protOp & 0x0F));
        f.Add("op", OpText(*d.protOp >> 4));
    }
    if (d.port) f.Add("port", *d.port);
    if (d.numIps) f.Add("nips", *d.numIps);
    if (!d.ips.empty()) f.Add("ips", List(d.ips, IpText));
    if (d.destIp) f.Add("dst", IpText(*d.destIp));
    if (d.destPort) f.Add("dport", *d.destPort);
    if (d.session) {
        f.Add("session", d.session->id);
        const uint8_t type = d.session->connectionType;
        f.Add("conntype", type == 0 ? std::string("user") : type == 1 ? std::string("nonuser") : std::to_string(type));
    }
    if (d.errorCode) f.Add("errind", ErrorText(*d.errorCode));
    if (!d.subnets.empty())
        f.Add("subnet", List(d.subnets, [](const AddressPair& p) { return IpText(p.first) + '/' + IpText(p.second); }));
    if (!d.ranges.empty())
        f.Add("range", List(d.ranges, [](const AddressPair& p) { return IpText(p.first) + '-' + IpText(p.second); }));
    std::string flags;
    if (d.loggedOut) flags += "logoff";
    if (d.reset) flags += std::string(flags.empty() ? "" : ",") + "reset";
    if (d.ping) flags += std::string(flags.empty() ? "" : ",") + "ping";
    if (!flags.empty()) f.Add("flags", flags);
    if (!d.pingText.empty()) f.Add("pingtext", d.pingText);
    if (!d.unknown.empty()) f.Add("unknown", TlvList(d, d.unknown));
    if (!d.oddLength.empty()) f.Add("oddlen", TlvList(d, d.oddLength));
    if (!d.duplicates.empty()) f.Add("dup", List(d.duplicates, [](uint16_t t) { return std::to_string(t); }));
    if (withHex || d.status == DecodeStatus::Malformed) {
        const size_t shown = std::min(d.clear.size(), kHexLimit);
        f.Add("hex", HexText(d.clear.data(), shown) + (shown < d.clear.size() ? "..." : ""));
    }
    return f.text;
}

}  // namespace utm
