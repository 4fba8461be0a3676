#include "sim/utm/wire.h"

// OpenSSL 3 keeps the low-level DES functions but marks them deprecated; they
// need no provider, which the EVP route would (DES lives in "legacy").
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <algorithm>
#include <cstring>

namespace utm {
namespace {

static_assert(sizeof(DES_key_schedule) <= 128, "Cipher::schedule too small");

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void PutBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint8_t HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 0xFF;
}

const DES_key_schedule* Schedule(const unsigned char* storage) {
    return reinterpret_cast<const DES_key_schedule*>(storage);
}

void Cbc(const unsigned char* schedule, const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[kIvBytes],
         int direction) {
    DES_cblock chain;
    std::memcpy(chain, iv, kIvBytes);
    // DES_ncbc_encrypt takes a non-const schedule but does not change it.
    DES_ncbc_encrypt(in, out, static_cast<long>(n), const_cast<DES_key_schedule*>(Schedule(schedule)), &chain,
                     direction);
}

bool SingleValued(uint16_t type) { return type != kTlvIp && type != kTlvSubnet && type != kTlvIpRange; }

// The layout size of each known type's value; -1 for texts of any length.
int LayoutLength(uint16_t type) {
    switch (type) {
        case kTlvProtOp:
            return 1;
        case kTlvUserName:
        case kTlvDomainName:
        case kTlvServerName:
        case kTlvPing:
            return -1;
        case kTlvPort:
        case kTlvDestPort:
            return 2;
        case kTlvNumIps:
        case kTlvErrorIndication:
            return 1;
        case kTlvIp:
        case kTlvDestIp:
            return 4;
        case kTlvSubnet:
        case kTlvIpRange:
            return 8;
        case kTlvSessionId:
            return 5;
        case kTlvUserLoggedOut:
        case kTlvReset:
            return 0;
        default:
            return -2;  // unknown
    }
}

void ReadValue(Decoded& d, const TlvRef& tlv) {
    const uint8_t* v = d.clear.data() + tlv.offset;
    const size_t n = tlv.length;
    const std::string text(reinterpret_cast<const char*>(v), n);
    switch (tlv.type) {
        case kTlvProtOp:
            if (n >= 1) d.protOp = v[0];
            break;
        case kTlvUserName:
            d.userName = text;
            break;
        case kTlvDomainName:
            d.domainName = text;
            break;
        case kTlvServerName:
            d.serverName = text;
            break;
        case kTlvPort:
            if (n >= 2) d.port = Be16(v);
            break;
        case kTlvNumIps:
            if (n >= 1) d.numIps = v[0];
            break;
        case kTlvIp:
            if (n >= 4) d.ips.push_back(Be32(v));
            break;
        case kTlvSubnet:
            if (n >= 8) d.subnets.push_back({Be32(v), Be32(v + 4)});
            break;
        case kTlvIpRange:
            if (n >= 8) d.ranges.push_back({Be32(v), Be32(v + 4)});
            break;
        case kTlvDestIp:
            if (n >= 4) d.destIp = Be32(v);
            break;
        case kTlvDestPort:
            if (n >= 2) d.destPort = Be16(v);
            break;
        case kTlvSessionId:
            if (n >= 5) d.session = SessionField{v[0], Be32(v + 1)};
            break;
        case kTlvErrorIndication:
            if (n >= 1) d.errorCode = v[0];
            break;
        case kTlvUserLoggedOut:
            d.loggedOut = true;
            break;
        case kTlvReset:
            d.reset = true;
            break;
        case kTlvPing:
            d.ping = true;
            d.pingText = text;
            break;
        default:
            break;
    }
}

void SetMalformed(Decoded& d, std::string why) {
    d.status = DecodeStatus::Malformed;
    d.malformed = std::move(why);
}

}  // namespace

bool KeyFromText(const std::string& text, Key& key) {
    key.fill(0);
    const size_t pairs = std::min<size_t>(text.size(), 16) / 2;
    for (size_t i = 0; i < pairs; ++i) {
        const unsigned high = HexDigit(text[2 * i]);
        const unsigned low = HexDigit(text[2 * i + 1]);
        key[i] = static_cast<uint8_t>(((high << 4) + low) & 0xFFu);
    }
    return text.size() <= 16;
}

Cipher::Cipher(const Key& key) : schedule{} {
    DES_cblock k;
    std::memcpy(k, key.data(), key.size());
    // Parity is not checked and weak keys are not refused, as on the agent.
    DES_set_key_unchecked(&k, reinterpret_cast<DES_key_schedule*>(schedule));
}

void Cipher::Encrypt(const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[kIvBytes]) const {
    Cbc(schedule, in, out, n, iv, DES_ENCRYPT);
}

void Cipher::Decrypt(const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[kIvBytes]) const {
    Cbc(schedule, in, out, n, iv, DES_DECRYPT);
}

Decoded Decode(const uint8_t* data, size_t n, const Cipher& cipher) {
    Decoded d;
    d.received = n;
    d.clear.assign(data, data + n);
    if (n <= kIvBytes) {
        SetMalformed(d, "datagram of " + std::to_string(n) + " bytes is not longer than the IV");
        return d;
    }
    d.ivRandom = data[0] != 0;
    if (d.ivRandom) {
        // Everything behind the IV is cipher text. Whole blocks in one go; a
        // last partial block is deciphered as a block completed with zeros,
        // of which only its own bytes are kept.
        const size_t body = n - kIvBytes;
        const size_t whole = body & ~size_t(7);
        cipher.Decrypt(data + kIvBytes, d.clear.data() + kIvBytes, whole, data);
        if (whole < body) {
            uint8_t block[8] = {};
            uint8_t plain[8];
            std::memcpy(block, data + kIvBytes + whole, body - whole);
            const uint8_t* chain = whole ? data + kIvBytes + whole - 8 : data;
            cipher.Decrypt(block, plain, 8, chain);
            std::memcpy(d.clear.data() + kIvBytes + whole, plain, body - whole);
        }
        d.tailZero = n >= 16 && std::all_of(data + n - 8, data + n, [](uint8_t b) { return b == 0; });
    }
    if (n < kFixedBytes) {
        SetMalformed(d, "header cut short: " + std::to_string(n - kIvBytes) + " bytes behind the IV, " +
                            std::to_string(kHeaderBytes) + " needed");
        return d;
    }
    const uint8_t* h = d.clear.data() + kIvBytes;
    d.hasHeader = true;
    d.version = h[0];
    d.msgType = h[1];
    d.tlvLength = Be16(h + 2);
    d.requestId = Be32(h + 4);
    d.signature = Be32(h + 8);

    const size_t declaredEnd = kFixedBytes + d.tlvLength;
    if (declaredEnd > n) {
        SetMalformed(d, "TLV area of " + std::to_string(d.tlvLength) + " bytes runs past the datagram (" +
                            std::to_string(n - kFixedBytes) + " bytes behind the header)");
    } else {
        d.extra = n - declaredEnd;
        if (d.ivRandom) d.agentLength = n == ((declaredEnd + 15) & ~size_t(7));
    }
    // Walk what is there, also when the length field overshoots, so that the
    // line shows how far the datagram makes sense.
    const size_t end = std::min(declaredEnd, n);
    size_t pos = kFixedBytes;
    while (pos < end) {
        if (end - pos < kTlvHeaderBytes) {
            if (d.status != DecodeStatus::Malformed)
                SetMalformed(d, "TLV header at offset " + std::to_string(pos - kFixedBytes) +
                                    " cut short: " + std::to_string(end - pos) + " bytes left");
            break;
        }
        const uint16_t type = Be16(d.clear.data() + pos);
        const uint16_t length = Be16(d.clear.data() + pos + 2);
        if (length > end - pos - kTlvHeaderBytes) {
            if (d.status != DecodeStatus::Malformed)
                SetMalformed(d, "TLV type " + std::to_string(type) + " at offset " + std::to_string(pos - kFixedBytes) +
                                    " declares " + std::to_string(length) + " bytes, " +
                                    std::to_string(end - pos - kTlvHeaderBytes) + " left");
            break;
        }
        const TlvRef tlv{type, length, pos + kTlvHeaderBytes};
        const int layout = LayoutLength(type);
        if (layout == -2) {
            d.unknown.push_back(tlv);
        } else {
            if (layout >= 0 && length != layout) d.oddLength.push_back(tlv);
            if (SingleValued(type) &&
                std::any_of(d.tlvs.begin(), d.tlvs.end(), [type](const TlvRef& t) { return t.type == type; }) &&
                std::find(d.duplicates.begin(), d.duplicates.end(), type) == d.duplicates.end())
                d.duplicates.push_back(type);
            ReadValue(d, tlv);
        }
        d.tlvs.push_back(tlv);
        pos += kTlvHeaderBytes + length;
    }
    if (d.status != DecodeStatus::Malformed && !d.unknown.empty()) d.status = DecodeStatus::UnknownTlv;
    return d;
}

const char* KindOf(const Decoded& d) {
    if (d.reset) return "reset";
    if (d.ping) return d.msgType == kResponse ? "ping-answer" : "ping";
    if (d.loggedOut) return "logoff";
    if (d.protOp) return "connection";
    if (d.hasHeader && d.msgType == kResponse) return "response";
    return "other";
}

bool IsNotification(const Decoded& d) {
    return d.status != DecodeStatus::Malformed && d.hasHeader && d.msgType == kNotification && !d.reset;
}

Builder::Builder(uint8_t msgType, uint32_t requestId) : bytes(kIvBytes, 0) {
    bytes.push_back(kVersion);
    bytes.push_back(msgType);
    PutBe16(bytes, 0);  // TLV length, filled as TLVs are added
    PutBe32(bytes, requestId);
    PutBe32(bytes, kSignature);
}

Builder& Builder::Tlv(uint16_t type, const uint8_t* value, size_t length) {
    PutBe16(bytes, type);
    PutBe16(bytes, static_cast<uint16_t>(length));
    if (length) bytes.insert(bytes.end(), value, value + length);
    const size_t tlvBytes = bytes.size() - kFixedBytes;
    bytes[kIvBytes + 2] = static_cast<uint8_t>(tlvBytes >> 8);
    bytes[kIvBytes + 3] = static_cast<uint8_t>(tlvBytes);
    return *this;
}

Builder& Builder::U8(uint16_t type, uint8_t value) { return Tlv(type, &value, 1); }

Builder& Builder::U16(uint16_t type, uint16_t value) {
    const uint8_t v[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return Tlv(type, v, sizeof v);
}

Builder& Builder::U32(uint16_t type, uint32_t value) {
    std::vector<uint8_t> v;
    PutBe32(v, value);
    return Tlv(type, v);
}

Builder& Builder::Pair(uint16_t type, uint32_t first, uint32_t second) {
    std::vector<uint8_t> v;
    PutBe32(v, first);
    PutBe32(v, second);
    return Tlv(type, v);
}

Builder& Builder::Text(uint16_t type, const std::string& utf8) {
    return Tlv(type, reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size());
}

Builder& Builder::Session(uint8_t connectionType, uint32_t id) {
    std::vector<uint8_t> v{connectionType};
    PutBe32(v, id);
    return Tlv(kTlvSessionId, v);
}

std::vector<uint8_t> Builder::Clear() const { return bytes; }

std::vector<uint8_t> Builder::Encrypted(const Cipher& cipher, const uint8_t iv[kIvBytes]) const {
    const size_t length = bytes.size();
    std::vector<uint8_t> out((length + 15) & ~size_t(7), 0);
    std::copy(bytes.begin(), bytes.end(), out.begin());
    std::memcpy(out.data(), iv, kIvBytes);
    // Cipher text over the clear bytes completed with zeros to whole blocks;
    // the last 8 bytes stay zero.
    cipher.Encrypt(out.data() + kIvBytes, out.data() + kIvBytes, out.size() - 2 * kIvBytes, iv);
    return out;
}

Builder AckAnswer(const Decoded& notification) {
    Builder b(kResponse, notification.requestId);
    if (notification.session) b.Session(notification.session->connectionType, notification.session->id);
    return b;
}

Builder UnknownSessionAnswer(const Decoded& n) {
    Builder b(kResponse, n.requestId);
    if (n.protOp) b.U8(kTlvProtOp, *n.protOp);
    if (n.port) b.U16(kTlvPort, *n.port);
    if (!n.ips.empty()) {
        b.U8(kTlvNumIps, static_cast<uint8_t>(n.ips.size()));
        for (uint32_t ip : n.ips) b.U32(kTlvIp, ip);
    }
    if (n.destIp) b.U32(kTlvDestIp, *n.destIp);
    if (n.destPort) b.U16(kTlvDestPort, *n.destPort);
    if (n.session) b.Session(n.session->connectionType, n.session->id);
    b.U8(kTlvErrorIndication, kErrUnknownSessionId);
    return b;
}

Builder ErrorAnswer(const Decoded& n, uint8_t code) {
    Builder b(kResponse, n.requestId);
    if (n.session) b.Session(n.session->connectionType, n.session->id);
    b.U8(kTlvErrorIndication, code);
    return b;
}

Builder PingRequest(uint32_t requestId) {
    Builder b(kRequest, requestId);
    b.Flag(kTlvPing);
    return b;
}

Builder ResetRequest(uint32_t requestId) {
    Builder b(kRequest, requestId);
    b.Flag(kTlvReset);
    return b;
}

Builder SubnetRoute(uint32_t requestId, uint32_t network, uint32_t mask) {
    Builder b(kResponse, requestId);
    b.U8(kTlvErrorIndication, kErrDestinationRouteLocal);
    b.Pair(kTlvSubnet, network, mask);
    return b;
}

Builder RangeRoute(uint32_t requestId, uint32_t first, uint32_t last) {
    Builder b(kResponse, requestId);
    b.U8(kTlvErrorIndication, kErrDestinationRouteLocal);
    b.Pair(kTlvIpRange, first, last);
    return b;
}

std::string IpText(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

bool ParseIp(const std::string& text, uint32_t& address) {
    uint32_t result = 0;
    size_t pos = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        size_t digits = 0;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        result = (result << 8) | value;
    }
    if (pos != text.size()) return false;
    address = result;
    return true;
}

}  // namespace utm
