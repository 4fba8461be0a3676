// The appliance's side of the agent-appliance datagram format: decoding what
// the agent sends and building what the appliance answers.
//
// This is a second, independent implementation of the format (its own byte
// handling, OpenSSL's DES instead of the agent's), so that the appliance peer
// cross-checks the agent's bytes instead of agreeing with them by construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace utm {

constexpr size_t kIvBytes = 8;
constexpr size_t kHeaderBytes = 12;                      // version, type, length, request id, signature
constexpr size_t kFixedBytes = kIvBytes + kHeaderBytes;  // where the TLV area starts
constexpr size_t kTlvHeaderBytes = 4;                    // type, length
constexpr uint8_t kVersion = 2;
constexpr uint32_t kSignature = 0xDEADBEEFu;

enum MsgType : uint8_t { kNotification = 0, kRequest = 1, kResponse = 2 };

enum TlvType : uint16_t {
    kTlvProtOp = 1,
    kTlvUserName = 2,
    kTlvDomainName = 3,
    kTlvPort = 4,
    kTlvNumIps = 5,
    kTlvIp = 6,
    kTlvSubnet = 7,
    kTlvIpRange = 8,
    kTlvDestIp = 9,
    kTlvDestPort = 10,
    kTlvServerName = 11,
    kTlvSessionId = 12,
    kTlvErrorIndication = 13,
    kTlvUserLoggedOut = 14,
    kTlvReset = 15,
    kTlvPing = 16,
};

// Error Indication codes.
enum ErrorCode : uint8_t {
    kErrUnknownSessionId = 1,
    kErrConnectionNotFound = 2,
    kErrDestinationRouteLocal = 4,
};

// Prot/op value: low nibble protocol, high nibble operation.
constexpr uint8_t kProtoTcp = 1;
constexpr uint8_t kProtoUdp = 2;
constexpr uint8_t kOpOpen = 0;
constexpr uint8_t kOpClose = 1;

using Key = std::array<uint8_t, 8>;

// The shared key text to the 8 key bytes, by the agent's rule: at most the
// first 16 characters count; two characters per byte from the left, the first
// of a pair the high half; 0-9, a-f, A-F are digits and any other character
// counts as 0xF; an odd last character is ignored; missing bytes are zero.
// Returns false when the text was longer than 16 characters (and was cut).
bool KeyFromText(const std::string& text, Key& key);

// Single DES in CBC mode (OpenSSL's block function).
class Cipher {
public:
    explicit Cipher(const Key& key);
    // n must be a multiple of 8; in and out may be the same buffer.
    void Encrypt(const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[kIvBytes]) const;
    void Decrypt(const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[kIvBytes]) const;

private:
    alignas(8) unsigned char schedule[128];
};

// A TLV as found in a datagram; offset is where its value starts in
// Decoded::clear.
struct TlvRef {
    uint16_t type;
    uint16_t length;
    size_t offset;
};

struct SessionField {
    uint8_t connectionType;  // 0 user, non-zero non-user
    uint32_t id;
};

struct AddressPair {  // a subnet (network, mask) or a range (first, last), host order
    uint32_t first;
    uint32_t second;
};

enum class DecodeStatus {
    Ok,          // the whole layout was read and every TLV type is known
    UnknownTlv,  // the layout is whole but holds TLV types outside the vocabulary
    Malformed,   // the layout is broken; fields read before the fault are kept
};

// Everything one datagram says. Addresses are host order; values of repeated
// single-valued TLVs are the last one met (as the agent reads them), and the
// repeat is listed in duplicates.
struct Decoded {
    size_t received = 0;
    DecodeStatus status = DecodeStatus::Ok;
    std::string malformed;  // why, when status is Malformed

    // The datagram with everything behind the IV decrypted when the IV flag
    // is set; the raw bytes when it is clear.
    std::vector<uint8_t> clear;
    bool ivRandom = false;

    bool hasHeader = false;
    uint8_t version = 0;
    uint8_t msgType = 0;
    uint16_t tlvLength = 0;
    uint32_t requestId = 0;
    uint32_t signature = 0;
    size_t extra = 0;          // bytes received behind the TLV area
    bool tailZero = false;     // encrypted datagrams: the last 8 bytes are zero
    bool agentLength = false;  // encrypted datagrams: length is (20 + tlvLength + 15) & ~7

    std::vector<TlvRef> tlvs;  // every TLV in order of arrival

    std::optional<uint8_t> protOp;
    std::optional<std::string> userName;
    std::optional<std::string> domainName;
    std::optional<std::string> serverName;
    std::optional<uint16_t> port;
    std::optional<uint8_t> numIps;
    std::vector<uint32_t> ips;
    std::vector<AddressPair> subnets;
    std::vector<AddressPair> ranges;
    std::optional<uint32_t> destIp;
    std::optional<uint16_t> destPort;
    std::optional<SessionField> session;
    std::optional<uint8_t> errorCode;
    bool loggedOut = false;
    bool reset = false;
    bool ping = false;
    std::string pingText;  // the Ping TLV's value, if it carries one

    std::vector<TlvRef> unknown;       // TLV types outside the vocabulary
    std::vector<TlvRef> oddLength;     // known types whose length is not their layout's
    std::vector<uint16_t> duplicates;  // single-valued types met more than once
};

// Decodes n received bytes. Never reads outside data[0..n), never throws on
// any input.
Decoded Decode(const uint8_t* data, size_t n, const Cipher& cipher);

// What a decoded datagram is, in the peer's words: "reset", "ping",
// "ping-answer", "logoff", "connection", "response" or "other".
const char* KindOf(const Decoded& d);

// True when the datagram is a notification the appliance answers: a whole
// layout of message type Notification that is not the agent's reset request.
bool IsNotification(const Decoded& d);

// Builds one datagram: header, then the TLVs in the order they are added.
class Builder {
public:
    Builder(uint8_t msgType, uint32_t requestId);

    Builder& Tlv(uint16_t type, const uint8_t* value, size_t length);
    Builder& Tlv(uint16_t type, const std::vector<uint8_t>& value) { return Tlv(type, value.data(), value.size()); }
    Builder& Flag(uint16_t type) { return Tlv(type, nullptr, 0); }
    Builder& U8(uint16_t type, uint8_t value);
    Builder& U16(uint16_t type, uint16_t value);
    Builder& U32(uint16_t type, uint32_t value);
    Builder& Pair(uint16_t type, uint32_t first, uint32_t second);
    Builder& Text(uint16_t type, const std::string& utf8);
    Builder& Session(uint8_t connectionType, uint32_t id);

    // NULL IV, everything in clear: 20 + TLV bytes.
    std::vector<uint8_t> Clear() const;
    // The given IV (its first byte should be non-zero), everything behind it
    // encrypted the way the agent does it: the clear bytes completed with
    // zeros to whole blocks, then 8 zero bytes; (20 + TLV bytes + 15) & ~7.
    std::vector<uint8_t> Encrypted(const Cipher& cipher, const uint8_t iv[kIvBytes]) const;

private:
    std::vector<uint8_t> bytes;  // IV, header and TLVs, the IV zero
};

// The appliance's datagrams. Answers to a notification carry its request id.
// Acknowledgement: a Response with the notification's SessionId (none when
// the notification carried none).
Builder AckAnswer(const Decoded& notification);
// "Unknown SessionID": a Response with Error Indication 1 that hands back the
// notification's connection (Prot/op, Port, IPs, Dest IP, Dest Port) and
// SessionId, from which the agent builds its resend with names.
Builder UnknownSessionAnswer(const Decoded& notification);
// "Connection Not Found" (code 2) and "Destination route is Local" (code 4)
// answers with the notification's SessionId and no route tables.
Builder ErrorAnswer(const Decoded& notification, uint8_t code);
// Requests of the appliance's own.
Builder PingRequest(uint32_t requestId);
Builder ResetRequest(uint32_t requestId);
// Local routes: a Response with "Destination route is Local" and one Subnet
// (network, mask) or IP Range (first, last, inclusive) TLV.
Builder SubnetRoute(uint32_t requestId, uint32_t network, uint32_t mask);
Builder RangeRoute(uint32_t requestId, uint32_t first, uint32_t last);

// Dotted-quad text of a host-order address.
std::string IpText(uint32_t address);
// Strict dotted quad (four groups of 1-3 digits, each at most 255) to a
// host-order address.
bool ParseIp(const std::string& text, uint32_t& address);

}  // namespace utm
