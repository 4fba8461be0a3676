// Builds the datagrams the agent sends to the appliance: connection, logoff
// and resend notifications, the reset request and ping answers.
//
// Only the dispatcher thread builds notifications; a builder holds no state
// of its own besides its references, so it is cheap to keep for the life of
// the connection manager.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "agent/identity/session_users.h"
#include "agent/identity/user_to_id.h"
#include "agent/protocol/user_classifier.h"
#include "agent/records/send_data.h"
#include "agent/settings/log_impl.h"

namespace bx {
// Notifications are built in a buffer of this size (cleared before each build).
constexpr size_t kBuildBufferSize = 8192;
// Reset requests and ping answers are built in a buffer of at least this size.
constexpr size_t kSmallBuildBufferSize = 1024;
// Longest UTF-8 name put into a notification; account and domain names are
// far shorter, so this only keeps the build inside its buffer.
constexpr size_t kMaxNameBytes = 2048;
}  // namespace bx

class CHVNPacketBuilder : public CLogImpl {
public:
    // requestCounter: the manager's request-id counter, shared with reset
    // requests; each new id is its current value, then it is incremented.
    CHVNPacketBuilder(CUserToID& users, CUserClassifier& classifier, std::atomic<uint32_t>& requestCounter);
    CHVNPacketBuilder(const CHVNPacketBuilder&) = delete;
    CHVNPacketBuilder& operator=(const CHVNPacketBuilder&) = delete;

    // A notification of kind 3 (connection), 4 (logoff) or 5 (resend) into
    // `buffer` (kBuildBufferSize bytes). Returns the length before encryption
    // (IV, header and TLVs); `encrypt` tells whether names were included and
    // the datagram must be encrypted. A first sending (send count 0) takes a
    // new request id and stores it in the record.
    size_t BuildNotification(send_data_t& record, uint8_t* buffer, bool& encrypt);

    // The reset request (24 bytes) into `buffer` (kSmallBuildBufferSize bytes),
    // with the next request id.
    size_t BuildResetRequest(uint8_t* buffer);

    // The answer to a ping with `requestId` into `buffer` (kSmallBuildBufferSize
    // bytes): the agent's version and the host's addresses, in clear.
    size_t BuildPingAnswer(uint32_t requestId, uint8_t* buffer);

private:
    uint32_t NextRequestId() { return counter_.fetch_add(1, std::memory_order_relaxed); }

    // Steps of BuildNotification. Whether the names go in: until the
    // appliance has acknowledged the session (a user's connection first
    // records the session's user; a logoff's first sending forgets it).
    bool NamesNeeded(const send_data_t& record, const std::wstring& user, const std::wstring& domain, bool nonUser);
    // The IV: random with names (they are encrypted), zero without.
    void WriteIv(uint8_t* buffer, bool withNames);

    CUserToID& users_;
    CUserClassifier& classifier_;
    std::atomic<uint32_t>& counter_;
};
