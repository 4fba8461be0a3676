// Test helper: appliance datagrams written by hand (clear, or encrypted as
// the appliance would) for the agent's response handling.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "agent/crypto/des.h"
#include "agent/protocol/wire.h"

namespace bx::test {

class Datagram {
public:
    explicit Datagram(uint32_t requestId, uint8_t messageType = wire::kMsgResponse)
        : bytes_(wire::kIvAndHeaderSize, 0) {
        bytes_[wire::kOffsetVersion] = wire::kVersion;
        bytes_[wire::kOffsetMessageType] = messageType;
        wire::Put32(&bytes_[wire::kOffsetRequestId], requestId);
        wire::Put32(&bytes_[wire::kOffsetSignature], wire::kSignature);
    }

    Datagram& Tlv(uint16_t type, const std::vector<uint8_t>& value) {
        uint8_t head[4];
        wire::Put16(head, type);
        wire::Put16(head + 2, static_cast<uint16_t>(value.size()));
        bytes_.insert(bytes_.end(), head, head + 4);
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        wire::Put16(&bytes_[wire::kOffsetLength], static_cast<uint16_t>(bytes_.size() - wire::kIvAndHeaderSize));
        return *this;
    }
    Datagram& Flag(uint16_t type) { return Tlv(type, {}); }
    Datagram& U8(uint16_t type, uint8_t v) { return Tlv(type, {v}); }
    Datagram& U16(uint16_t type, uint16_t v) {
        return Tlv(type, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    }
    Datagram& U32(uint16_t type, uint32_t v) { return Tlv(type, Be32(v)); }
    Datagram& Pair(uint16_t type, uint32_t a, uint32_t b) {
        std::vector<uint8_t> v = Be32(a), second = Be32(b);
        v.insert(v.end(), second.begin(), second.end());
        return Tlv(type, v);
    }
    Datagram& SessionId(uint32_t id, uint8_t connectionType = wire::kConnectionUser) {
        std::vector<uint8_t> v{connectionType};
        std::vector<uint8_t> idBytes = Be32(id);
        v.insert(v.end(), idBytes.begin(), idBytes.end());
        return Tlv(wire::kTlvSessionId, v);
    }
    Datagram& Error(uint8_t code) { return U8(wire::kTlvErrorIndication, code); }
    Datagram& Text(uint16_t type, const std::string& text) {
        return Tlv(type, std::vector<uint8_t>(text.begin(), text.end()));
    }

    // The clear datagram.
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    // Encrypted under a random-IV flag as the agent encrypts (8 trailing
    // zero bytes included).
    std::vector<uint8_t> Encrypted(const DesKeySchedule& schedule) const {
        std::vector<uint8_t> out(bytes_);
        out[0] = wire::kIvFlagRandom;
        for (size_t i = 1; i < wire::kIvSize; ++i) out[i] = static_cast<uint8_t>(0x11 * i);
        out.resize(DesSentLength(bytes_.size()), 0);
        DesEncryptDatagram(out.data(), bytes_.size(), out.size(), schedule);
        return out;
    }

    static std::vector<uint8_t> Be32(uint32_t v) {
        return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v)};
    }

private:
    std::vector<uint8_t> bytes_;
};

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

}  // namespace bx::test
