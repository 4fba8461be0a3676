#include "agent/protocol/packet_builder.h"

#include <cstring>
#include <string>
#include <vector>

#include "agent/crypto/iv_random.h"
#include "agent/protocol/wire.h"
#include "platform/errors.h"
#include "platform/host_facts.h"
#include "platform/utf8.h"
#include "platform/version_info.h"

namespace {

using namespace bx::wire;

// Appends TLVs behind the header; the caller sizes the buffer so that they fit.
class TlvWriter {
public:
    explicit TlvWriter(uint8_t* datagram) : datagram_(datagram), at_(datagram + kOffsetTlvArea) {}

    uint8_t* Add(uint16_t type, uint16_t length) {
        Put16(at_, type);
        Put16(at_ + 2, length);
        uint8_t* value = at_ + kTlvHeaderSize;
        at_ = value + length;
        return value;
    }
    void Add8(uint16_t type, uint8_t value) { *Add(type, 1) = value; }
    void Add32(uint16_t type, uint32_t value) { Put32(Add(type, 4), value); }
    // A 16-bit value that is already in network order in memory.
    void AddNetwork16(uint16_t type, uint16_t networkOrder) { std::memcpy(Add(type, 2), &networkOrder, 2); }
    void AddText(uint16_t type, const std::string& text) {
        std::memcpy(Add(type, static_cast<uint16_t>(text.size())), text.data(), text.size());
    }
    void AddHostAddresses() {
        std::vector<uint32_t> addresses;
        bx::host::LocalIpv4Addresses(addresses);
        if (addresses.size() > kMaxHostIps) addresses.resize(kMaxHostIps);
        Add8(kTlvNumIps, static_cast<uint8_t>(addresses.size()));
        for (uint32_t address : addresses) Add32(kTlvIp, address);
    }

    // Writes the TLV area's length into the header; returns the datagram length.
    size_t Finish() {
        size_t tlvBytes = static_cast<size_t>(at_ - (datagram_ + kOffsetTlvArea));
        Put16(datagram_ + kOffsetLength, static_cast<uint16_t>(tlvBytes));
        return kOffsetTlvArea + tlvBytes;
    }

private:
    uint8_t* datagram_;
    uint8_t* at_;
};

void WriteHeader(uint8_t* datagram, uint8_t messageType, uint32_t requestId) {
    datagram[kOffsetVersion] = kVersion;
    datagram[kOffsetMessageType] = messageType;
    Put32(datagram + kOffsetRequestId, requestId);
    Put32(datagram + kOffsetSignature, kSignature);
}

std::string Utf8Name(const std::wstring& name) {
    std::string text = bx::Utf8FromWide(name);
    if (text.size() > bx::kMaxNameBytes) text.resize(bx::kMaxNameBytes);
    return text;
}

// The connection's protocol and operation, its local port and address (or
// the host's addresses), and the remote end when it has one.
void AddConnectionTlvs(TlvWriter& tlv, const send_data_t& record) {
    tlv.Add8(kTlvProtOp, static_cast<uint8_t>(record.operation << 4 | record.protocol));
    tlv.AddNetwork16(kTlvPort, record.local_port);
    if (record.local_ip != 0) {
        tlv.Add8(kTlvNumIps, 1);
        tlv.Add32(kTlvIp, record.local_ip);
    } else {
        tlv.AddHostAddresses();
    }
    if (record.remote_ip != 0) {
        tlv.Add32(kTlvDestIp, record.remote_ip);
        tlv.AddNetwork16(kTlvDestPort, record.remote_port);
    }
}

}  // namespace

CHVNPacketBuilder::CHVNPacketBuilder(CUserToID& users, CUserClassifier& classifier,
                                     std::atomic<uint32_t>& requestCounter)
    : users_(users), classifier_(classifier), counter_(requestCounter) {}

bool CHVNPacketBuilder::NamesNeeded(const send_data_t& record, const std::wstring& user, const std::wstring& domain,
                                    bool nonUser) {
    if (nonUser) return true;
    if (record.kind == bx::kKindConnection) users_.Update(record.session_id, user, domain, record.sid);
    const bool known = users_.Known(record.session_id);
    // The session's user logged off: whoever is given its id next is
    // reported with names (retransmissions of the logoff leave that user be).
    if (record.kind == bx::kKindLogoff && record.send_count == 0) users_.Remove(record.session_id);
    if (known) {
        LogDebug(L"HVNPkt: UTM knows SessionID for:'%ls@%ls'", user.c_str(), domain.c_str());
        return false;
    }
    LogDebug(L"HVNPkt: No Ack Rcvd from UTM for:'%ls@%ls'", user.c_str(), domain.c_str());
    return true;
}

void CHVNPacketBuilder::WriteIv(uint8_t* buffer, bool withNames) {
    if (withNames) {
        buffer[kOffsetIvFlag] = kIvFlagRandom;
        for (size_t i = 1; i < kIvSize; ++i) buffer[i] = static_cast<uint8_t>(bx::NextIvRandom() & 0xFF);
        LogDebug(L"HVNPkt: Adding Random IV.");
    } else {
        LogDebug(L"HVNPkt: Adding NULL IV.");
    }
}

size_t CHVNPacketBuilder::BuildNotification(send_data_t& record, uint8_t* buffer, bool& encrypt) {
    // Only the IV and the header are cleared: the TLVs write every byte they
    // hold, and encryption pads with zeros itself. Clearing the whole buffer,
    // 8 KiB and mostly cold, cost more than the rest of the building.
    std::memset(buffer, 0, kOffsetTlvArea);

    const bool connection = record.kind == bx::kKindConnection;
    const std::wstring& user = connection ? record.sid.AccountName() : record.user;
    const std::wstring& domain = connection ? record.sid.Domain() : record.domain;
    const bool nonUser = classifier_.IsNonUserConnection(record);
    const bool domainUser = classifier_.IsDomainUser(record, nonUser);

    const bool withNames = NamesNeeded(record, user, domain, nonUser);
    WriteIv(buffer, withNames);

    if (record.send_count == 0) record.request_id = NextRequestId();
    WriteHeader(buffer, kMsgNotification, record.request_id);

    TlvWriter tlv(buffer);
    if (withNames) {
        tlv.AddText(kTlvUserName, Utf8Name(user));
        tlv.AddText(domainUser ? kTlvDomainName : kTlvServerName, Utf8Name(domain));
    }
    if (record.kind == bx::kKindConnection || record.kind == bx::kKindResend) AddConnectionTlvs(tlv, record);
    if (record.kind == bx::kKindLogoff) tlv.Add(kTlvUserLoggedOut, 0);

    uint8_t* session = tlv.Add(kTlvSessionId, kLenSessionId);
    session[0] = nonUser ? kConnectionNonUser : kConnectionUser;
    Put32(session + 1, record.session_id);
    LogDebug(L"HVNPkt: Adding SessionID TLV for User:'%ls' SessionID:'%d'", user.c_str(),
             static_cast<int>(record.session_id));

    encrypt = withNames;
    return tlv.Finish();
}

size_t CHVNPacketBuilder::BuildResetRequest(uint8_t* buffer) {
    std::memset(buffer, 0, bx::kSmallBuildBufferSize);
    LogDebug(L"HVNPkt: Adding NULL IV.");
    WriteHeader(buffer, kMsgNotification, NextRequestId());
    TlvWriter tlv(buffer);
    tlv.Add(kTlvReset, 0);
    return tlv.Finish();
}

size_t CHVNPacketBuilder::BuildPingAnswer(uint32_t requestId, uint8_t* buffer) {
    std::memset(buffer, 0, bx::kSmallBuildBufferSize);
    LogDebug(L"HVNPkt: Adding NULL IV.");
    WriteHeader(buffer, kMsgResponse, requestId);
    std::string version = "Version: ";
    bx::host::ProductVersion product;
    if (bx::host::GetProductVersion(product)) {
        version += std::to_string(product.parts[0]) + "." + std::to_string(product.parts[1]) + "." +
                   std::to_string(product.parts[2]) + "." + std::to_string(product.parts[3]);
    }
    TlvWriter tlv(buffer);
    tlv.AddText(kTlvPing, version);
    tlv.AddHostAddresses();
    return tlv.Finish();
}
