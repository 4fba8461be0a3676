// CConnectionCacheMgr's response handling: a datagram from the appliance,
// parsed, answered (ping), acted on (reset, unknown session, local route) or
// matched with its request; the listener thread calls HandleResponse.
#include <cstring>
#include <utility>

#include "agent/appliance/conn_cache_mgr.h"
#include "agent/protocol/protocol_parser.h"
#include "agent/protocol/wire.h"
#include "platform/dotted_quad.h"
#include "platform/errors.h"

namespace {

const wchar_t* ProtocolText(uint8_t protocol) {
    switch (protocol) {
        case bx::wire::kProtocolTcp:
            return L"TCP";
        case bx::wire::kProtocolUdp:
            return L"UDP";
        default:
            return L"Uknown";
    }
}

const wchar_t* OperationText(uint8_t operation) {
    switch (operation) {
        case bx::wire::kOperationOpen:
            return L"OPEN";
        case bx::wire::kOperationClose:
            return L"CLOSE";
        default:
            return L"Uknown";
    }
}

// The record keeps ports as the driver reports them: the two bytes in network
// order as they lie in memory. The parser gives host-order numbers.
uint16_t NetworkOrder16(uint16_t hostOrder) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
    uint16_t stored;
    std::memcpy(&stored, bytes, sizeof stored);
    return stored;
}

}  // namespace

// ---- Responses --------------------------------------------------------------

uint32_t CConnectionCacheMgr::HandleResponse(const uint8_t* bytes, size_t count, uint16_t senderPort) {
    CHVNProtocolParser parser(*this, config_, Logger());
    const uint32_t parsed = parser.Parse(bytes, count, L"UTM Resp: ");
    if (parsed != 0) {
        LogError(L"UTM Resp: Failed to parse the response from the UTM");
        ++parseFailures_;
        return parsed;
    }

    if (parser.IsPresent(bx::wire::kBitPing)) {
        LogInfo(L"UTM Resp: recvd ping request from UTM. enqueing Response");
        send_data_t* record = NewRecord();
        if (!record) {
            LogError(L"Failed to allocate memory for Ping Response ");
            return 0;
        }
        record->kind = bx::kKindPingResponse;
        record->request_id = parser.RequestId();
        record->reply_port = senderPort;
        queue_.Enqueue(record, true);
        return 0;
    }

    if (parser.IsPresent(bx::wire::kBitReset)) {
        LogInfo(L"UTM Resp: recvd Reset request from UTM.");
        users_.RemoveAll();
        return 0;
    }

    // Any other datagram acknowledges the notification with its request id.
    if (send_data_t* acknowledged = connMgr_.Table().Remove(parser.RequestId())) pool_.Release(acknowledged);

    const bool errorIndication = parser.IsUsable(bx::wire::kBitErrorIndication);
    if (errorIndication && parser.ErrorCode() == bx::wire::kErrorUnknownSessionId) return HandleUnknownSession(parser);

    ++responsesProcessed_;
    if (parser.IsUsable(bx::wire::kBitSessionId)) users_.MarkKnown(parser.SessionId());
    if (errorIndication && parser.ErrorCode() == bx::wire::kErrorDestinationRouteLocal) {
        LogInfo(L"UTM Resp: Received ErrorCode: Destination route is Local from UTM.");
        LearnLocalRoute(parser);
    }
    return 0;
}

uint32_t CConnectionCacheMgr::HandleUnknownSession(const CHVNProtocolParser& parser) {
    LogInfo(L"UTM resp: Handling Unknown SessionId...");
    if (!parser.IsUsable(bx::wire::kBitSessionId)) {
        users_.RemoveAll();
        LogError(L"UTM resp: 'Unknown Session ID' Error.");
        return bx::err::kInvalidData;
    }
    const uint32_t sessionId = parser.SessionId();
    CUserInfo info;
    if (users_.Get(sessionId, info) != 0) {
        users_.RemoveAll();
        LogError(L"UTM resp: SessionId '%d' cannot be associated to Username in cache", static_cast<int>(sessionId));
        return bx::err::kInvalidData;
    }
    // Held until it is queued: an exception on the way (a log line or a copy
    // that cannot allocate) gives the record back to the pool.
    CPooledRecord record(pool_, BuildResendRecord(parser));
    if (!record) {
        users_.RemoveAll();
        LogError(L"UTM Resp: Cannot Enqueue Unknown SessionId %d packet again", static_cast<int>(sessionId));
        return bx::err::kInvalidData;
    }
    // The names are this call's own copies: moved, not copied again.
    record->user = std::move(info.user);
    record->domain = std::move(info.domain);
    LogInfo(L"UTM Resp: Enqueuing Unknown SessionId %d packet again", static_cast<int>(sessionId));
    // Every session's next notification carries names again, this one first.
    users_.RemoveAll();
    queue_.Enqueue(record.release(), true);
    return 0;
}

send_data_t* CConnectionCacheMgr::BuildResendRecord(const CHVNProtocolParser& parser) {
    CPooledRecord held(pool_, NewRecord());
    if (!held) {
        LogError(L"Failed to allocate memory for dataStruct on 'Unknown UserId error'");
        return nullptr;
    }
    send_data_t* record = held.get();
    record->kind = bx::kKindResend;
    LogDebug(L"Extracting data from UTM response for resending..");
    if (parser.IsUsable(bx::wire::kBitProtOp)) {
        record->operation = parser.Operation();
        record->protocol = parser.Protocol();
        LogDebug(L"protocol tlv: Prot/OP '%ls/%ls' Extracted from UTM response:", ProtocolText(parser.Protocol()),
                 OperationText(parser.Operation()));
    }
    if (parser.IsUsable(bx::wire::kBitPort)) {
        record->local_port = NetworkOrder16(parser.Port());
        LogDebug(L"Port tlv Port:'%u' Extracted from UTM response", static_cast<unsigned>(parser.Port()));
    }
    if (parser.IsUsable(bx::wire::kBitIp) && !parser.Ips().empty()) {
        record->local_ip = parser.Ips().front();
        LogDebug(L"IP tlv IP:'%ls' Extracted from UTM response", bx::DottedQuad(record->local_ip).c_str());
    }
    if (parser.IsUsable(bx::wire::kBitDestIp)) {
        record->remote_ip = parser.DestIp();
        LogDebug(L"Dest IP tlv IP:'%ls' Extracted from UTM response", bx::DottedQuad(record->remote_ip).c_str());
    }
    if (parser.IsUsable(bx::wire::kBitDestPort)) {
        record->remote_port = NetworkOrder16(parser.DestPort());
        LogDebug(L"Dest Port tlv Port:'%u' Extracted from UTM response", static_cast<unsigned>(parser.DestPort()));
    }
    if (parser.IsUsable(bx::wire::kBitSessionId)) {
        record->session_id = parser.SessionId();
        LogDebug(L"SessionId tlv:'%d' Extracted from UTM response", static_cast<int>(parser.SessionId()));
    }
    return held.release();
}

void CConnectionCacheMgr::LearnLocalRoute(const CHVNProtocolParser& parser) {
    if (parser.IsUsable(bx::wire::kBitSubnet)) {
        LogInfo(L"UTM:resp Inserting subnet tlv to table");
        LogInfo(L"UTM:resp Recvd subnet tlv:SubNet: N/w:'%ls' Mask:'%ls'",
                bx::DottedQuad(parser.SubnetNetwork()).c_str(), bx::DottedQuad(parser.SubnetMask()).c_str());
        routes_.AddSubnet(parser.SubnetNetwork(), parser.SubnetMask());
    }
    if (parser.IsUsable(bx::wire::kBitIpRange)) {
        LogInfo(L"UTM:resp Inserting range tlv to table");
        LogInfo(L"UTM:resp Recvd range tlv:IP Start:'%ls' IP End:'%ls'", bx::DottedQuad(parser.RangeStart()).c_str(),
                bx::DottedQuad(parser.RangeEnd()).c_str());
        routes_.AddRange(parser.RangeStart(), parser.RangeEnd());
    }
}
