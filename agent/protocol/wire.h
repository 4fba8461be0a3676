// Wire constants of the agent-appliance datagrams, shared by the packet
// builder and the response parser.
//
// A datagram is an 8-byte IV, a 12-byte header and a TLV area:
//
//   offset  size  field
//   0       8     IV (byte 0 is the IV flag: 0 = NULL IV, body in clear;
//                 non-zero = random IV, body DES-CBC encrypted)
//   8       1     version (the agent writes 2; not checked on receipt)
//   9       1     message type (0 Notification, 1 Request, 2 Response)
//   10      2     length of the TLV area (bytes behind the header)
//   12      4     request id
//   16      4     signature (0xDEADBEEF; logged, not checked, on receipt)
//   20      ...   TLVs: type (16 bits), value length (16 bits), value
//
// Every integer on the wire is big-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace bx::wire {

// ---- Layout ----------------------------------------------------------------
constexpr size_t kIvSize = 8;
constexpr size_t kHeaderSize = 12;
constexpr size_t kIvAndHeaderSize = kIvSize + kHeaderSize;  // 20: where the TLV area starts
constexpr size_t kTlvHeaderSize = 4;

// Offsets inside the header (counted from its first byte, i.e. datagram - 8).
constexpr size_t kHeaderVersion = 0;
constexpr size_t kHeaderMessageType = 1;
constexpr size_t kHeaderLength = 2;
constexpr size_t kHeaderRequestId = 4;
constexpr size_t kHeaderSignature = 8;

// The same fields as datagram offsets.
constexpr size_t kOffsetIvFlag = 0;
constexpr size_t kOffsetVersion = kIvSize + kHeaderVersion;          // 8
constexpr size_t kOffsetMessageType = kIvSize + kHeaderMessageType;  // 9
constexpr size_t kOffsetLength = kIvSize + kHeaderLength;            // 10
constexpr size_t kOffsetRequestId = kIvSize + kHeaderRequestId;      // 12
constexpr size_t kOffsetSignature = kIvSize + kHeaderSignature;      // 16
constexpr size_t kOffsetTlvArea = kIvAndHeaderSize;                  // 20

constexpr uint8_t kVersion = 2;
constexpr uint32_t kSignature = 0xDEADBEEFu;
// IV flag byte of the agent's random IVs (followed by 7 random bytes).
constexpr uint8_t kIvFlagRandom = 1;

// The listener receives at most this many bytes; an encrypted body is
// deciphered into a work area of the same size.
constexpr size_t kMaxDatagramSize = 1024;
// The reset request: IV, header, one Reset TLV.
constexpr size_t kResetRequestSize = kIvAndHeaderSize + kTlvHeaderSize;  // 24

// ---- Message types ---------------------------------------------------------
constexpr uint8_t kMsgNotification = 0;
constexpr uint8_t kMsgRequest = 1;
constexpr uint8_t kMsgResponse = 2;

// ---- TLV types ---------------------------------------------------------------
constexpr uint16_t kTlvProtOp = 1;            // 1 byte: operation << 4 | protocol
constexpr uint16_t kTlvUserName = 2;          // UTF-8 text, no terminator
constexpr uint16_t kTlvDomainName = 3;        // UTF-8 text, no terminator
constexpr uint16_t kTlvPort = 4;              // 16-bit local port
constexpr uint16_t kTlvNumIps = 5;            // 8-bit count of IP TLVs that follow
constexpr uint16_t kTlvIp = 6;                // 32-bit local address
constexpr uint16_t kTlvSubnet = 7;            // 32-bit network, 32-bit mask
constexpr uint16_t kTlvIpRange = 8;           // 32-bit first, 32-bit last (inclusive)
constexpr uint16_t kTlvDestIp = 9;            // 32-bit remote address
constexpr uint16_t kTlvDestPort = 10;         // 16-bit remote port
constexpr uint16_t kTlvServerName = 11;       // UTF-8 text (the terminal server's name)
constexpr uint16_t kTlvSessionId = 12;        // 1 byte connection type, 32-bit session id
constexpr uint16_t kTlvErrorIndication = 13;  // 1 byte error code
constexpr uint16_t kTlvUserLoggedOut = 14;    // no value
constexpr uint16_t kTlvReset = 15;            // no value
constexpr uint16_t kTlvPing = 16;             // agent's answer: "Version: " + product version
constexpr uint16_t kTlvLastType = kTlvPing;

// Value lengths the agent writes (and the parser's minimum for a usable value).
constexpr uint16_t kLenProtOp = 1;
constexpr uint16_t kLenPort = 2;
constexpr uint16_t kLenNumIps = 1;
constexpr uint16_t kLenIp = 4;
constexpr uint16_t kLenSubnet = 8;
constexpr uint16_t kLenIpRange = 8;
constexpr uint16_t kLenDestIp = 4;
constexpr uint16_t kLenDestPort = 2;
constexpr uint16_t kLenSessionId = 5;
constexpr uint16_t kLenErrorIndication = 1;

// Names longer than this are cut by the parser (and marked unusable).
constexpr size_t kMaxTextBytes = 255;
// The agent lists at most this many of the host's addresses.
constexpr size_t kMaxHostIps = 10;

// ---- Present / unusable bits -------------------------------------------------
// One bit per TLV type: bit = 1 << type (Prot/op 0x2 ... Ping 0x10000).
constexpr uint32_t TlvBit(uint16_t type) { return type <= kTlvLastType ? 1u << type : 0u; }
constexpr uint32_t kBitProtOp = TlvBit(kTlvProtOp);                    // 0x2
constexpr uint32_t kBitUserName = TlvBit(kTlvUserName);                // 0x4
constexpr uint32_t kBitDomainName = TlvBit(kTlvDomainName);            // 0x8
constexpr uint32_t kBitPort = TlvBit(kTlvPort);                        // 0x10
constexpr uint32_t kBitNumIps = TlvBit(kTlvNumIps);                    // 0x20
constexpr uint32_t kBitIp = TlvBit(kTlvIp);                            // 0x40
constexpr uint32_t kBitSubnet = TlvBit(kTlvSubnet);                    // 0x80
constexpr uint32_t kBitIpRange = TlvBit(kTlvIpRange);                  // 0x100
constexpr uint32_t kBitDestIp = TlvBit(kTlvDestIp);                    // 0x200
constexpr uint32_t kBitDestPort = TlvBit(kTlvDestPort);                // 0x400
constexpr uint32_t kBitServerName = TlvBit(kTlvServerName);            // 0x800
constexpr uint32_t kBitSessionId = TlvBit(kTlvSessionId);              // 0x1000
constexpr uint32_t kBitErrorIndication = TlvBit(kTlvErrorIndication);  // 0x2000
constexpr uint32_t kBitUserLoggedOut = TlvBit(kTlvUserLoggedOut);      // 0x4000
constexpr uint32_t kBitReset = TlvBit(kTlvReset);                      // 0x8000
constexpr uint32_t kBitPing = TlvBit(kTlvPing);                        // 0x10000
static_assert(kBitProtOp == 0x2 && kBitSessionId == 0x1000 && kBitPing == 0x10000, "bit layout");

// ---- Values -----------------------------------------------------------------
constexpr uint8_t kProtocolTcp = 1;
constexpr uint8_t kProtocolUdp = 2;
constexpr uint8_t kOperationOpen = 0;
constexpr uint8_t kOperationClose = 1;
constexpr uint8_t ProtOpByte(uint8_t operation, uint8_t protocol) {
    return static_cast<uint8_t>(operation << 4 | (protocol & 0x0F));
}
constexpr uint8_t ProtocolOf(uint8_t protOp) { return protOp & 0x0F; }
constexpr uint8_t OperationOf(uint8_t protOp) { return protOp >> 4; }

// SessionId TLV, first byte.
constexpr uint8_t kConnectionUser = 0;
constexpr uint8_t kConnectionNonUser = 1;

// Error Indication codes.
constexpr uint8_t kErrorUnknownSessionId = 1;       // "Unknown SessionID"
constexpr uint8_t kErrorConnectionNotFound = 2;     // "Connection Not Found"
constexpr uint8_t kErrorDestinationRouteLocal = 4;  // "Destination route is Local"

// ---- Big-endian access ------------------------------------------------------
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(static_cast<uint16_t>(p[0]) << 8 | p[1]); }
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace bx::wire
