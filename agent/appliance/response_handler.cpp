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
    ResetIfWaiting();
    CHVNProtocolParser parser(*this, config_, Logger());
    const uint32_t parsed = parser.Parse(bytes, count, L"UTM Resp: ");
    if (parsed != 0) {
        LogError(L"UTM Resp: Failed to parse the response from the UTM");
        ++parseFailures_;
        return parsed;
    }

    if (parser.IsPresent(bx::wire::kBitPing)) {
        AnswerPing(parser, senderPort);
        return 0;
    }

    if (parser.IsPresent(bx::wire::kBitReset)) {
        LogInfo(L"UTM Resp: recvd Reset request from UTM.");
        // A flood of resets would keep every session's names on the wire:
        // the table is emptied at most once a second, a reset in between
        // when that second is over (ListenerHousekeeping).
        if (sessionsReset_ && ticks_() - lastSessionReset_ < bx::kSessionResetIntervalMs) {
            if (!resetWaiting_)
                LogDebug(L"UTM Resp: Reset request waits: the session table was emptied less than a second ago");
            resetWaiting_ = true;
        } else {
            ResetSessions();
        }
        return 0;
    }

    // Any other datagram acknowledges the notification with its request id.
    // The record is held until this answer is handled: it is what an
    // "Unknown SessionID" resends.
    CPooledRecord acknowledged(pool_, connMgr_.Table().Remove(parser.RequestId()));

    const bool errorIndication = parser.IsUsable(bx::wire::kBitErrorIndication);
    if (errorIndication && parser.ErrorCode() == bx::wire::kErrorUnknownSessionId)
        return HandleUnknownSession(parser, acknowledged);

    ++responsesProcessed_;
    if (parser.IsUsable(bx::wire::kBitSessionId)) users_.MarkKnown(parser.SessionId());
    if (errorIndication && parser.ErrorCode() == bx::wire::kErrorDestinationRouteLocal) {
        LogInfo(L"UTM Resp: Received ErrorCode: Destination route is Local from UTM.");
        LearnLocalRoute(parser);
    }
    return 0;
}

void CConnectionCacheMgr::AnswerPing(const CHVNProtocolParser& parser, uint16_t senderPort) {
    // One answer waits at a time: a flood of pings cannot fill the queue
    // ahead of the notifications nor empty the pool. The listener is the only
    // producer of answers, so none can be added between the test and the
    // enqueue.
    if (queue_.PingAnswerWaiting()) {
        ++pingsNotAnswered_;
        LogDebug(L"UTM Resp: recvd ping request from UTM while the answer to an earlier one waits: not answered");
        return;
    }
    LogInfo(L"UTM Resp: recvd ping request from UTM. enqueing Response");
    send_data_t* record = NewRecord();
    if (!record) {
        LogError(L"Failed to allocate memory for Ping Response ");
        return;
    }
    record->kind = bx::kKindPingResponse;
    record->request_id = parser.RequestId();
    record->reply_port = senderPort;
    queue_.Enqueue(record, true);
}

void CConnectionCacheMgr::ResetIfWaiting() {
    if (resetWaiting_ && ticks_() - lastSessionReset_ >= bx::kSessionResetIntervalMs) ResetSessions();
}

void CConnectionCacheMgr::ResetSessions() {
    users_.RemoveAll();
    sessionsReset_ = true;
    resetWaiting_ = false;
    lastSessionReset_ = ticks_();
    ++sessionTableResets_;
}

uint32_t CConnectionCacheMgr::HandleUnknownSession(const CHVNProtocolParser& parser, CPooledRecord& acknowledged) {
    LogInfo(L"UTM resp: Handling Unknown SessionId...");
    // Every session's next notification carries names again, whatever
    // becomes of this answer.
    users_.RemoveAll();
    if (!parser.IsUsable(bx::wire::kBitSessionId)) {
        ++unknownSessionsDropped_;
        LogError(L"UTM resp: 'Unknown Session ID' Error.");
        return bx::err::kInvalidData;
    }
    const uint32_t sessionId = parser.SessionId();
    // Only the agent's own record of a connection it reported in that
    // session is sent again: the notification this answer acknowledged, or
    // what the snooper's address table holds for the connection the answer
    // names. Never names for a connection of the sender's choosing.
    CPooledRecord resend(pool_, acknowledged && acknowledged->session_id == sessionId
                                    ? acknowledged.release()
                                    : ReportedConnection(parser, sessionId));
    if (!resend) return bx::err::kInvalidData;
    resend->send_count = 0;  // a new notification: a new request id
    LogInfo(L"UTM Resp: Enqueuing Unknown SessionId %d packet again", static_cast<int>(sessionId));
    queue_.Enqueue(resend.release(), true);
    return 0;
}

send_data_t* CConnectionCacheMgr::ReportedConnection(const CHVNProtocolParser& parser, uint32_t sessionId) {
    // The connection the answer names: protocol, local port and address.
    const uint8_t protocol = parser.Protocol();
    const bool named = parser.IsUsable(bx::wire::kBitProtOp) &&
                       (protocol == bx::wire::kProtocolTcp || protocol == bx::wire::kProtocolUdp) &&
                       parser.IsUsable(bx::wire::kBitPort) && parser.IsUsable(bx::wire::kBitIp) &&
                       !parser.Ips().empty();
    send_data_t found;
    bool reported = false;
    if (named) {
        LogDebug(L"Extracting data from UTM response for resending..");
        LogDebug(L"protocol tlv: Prot/OP '%ls/%ls' Extracted from UTM response:", ProtocolText(protocol),
                 OperationText(parser.Operation()));
        LogDebug(L"Port tlv Port:'%u' Extracted from UTM response", static_cast<unsigned>(parser.Port()));
        LogDebug(L"IP tlv IP:'%ls' Extracted from UTM response", bx::DottedQuad(parser.Ips().front()).c_str());
        const uint16_t port = NetworkOrder16(parser.Port());
        // A connection on every local address (0.0.0.0) was reported with
        // all of the host's addresses, of which the answer hands back one.
        reported = reported_ && (reported_->FillReported(parser.Ips().front(), port, protocol, sessionId, found) ||
                                 reported_->FillReported(0, port, protocol, sessionId, found));
    }
    if (!reported) {
        ++unknownSessionsDropped_;
        LogError(
            L"UTM resp: 'Unknown SessionID' for a connection this agent did not report in SessionId '%d': nothing is "
            L"sent again",
            static_cast<int>(sessionId));
        return nullptr;
    }
    CPooledRecord record(pool_, NewRecord());
    if (!record) {
        LogError(L"Failed to allocate memory for dataStruct on 'Unknown UserId error'");
        LogError(L"UTM Resp: Cannot Enqueue Unknown SessionId %d packet again", static_cast<int>(sessionId));
        return nullptr;
    }
    *record.get() = std::move(found);  // a SID copy that throws gives the record back
    return record.release();
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
