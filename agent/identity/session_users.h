// Who is logged on to a Windows session: the session queries and the handling
// of the service's session-change notifications.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "agent/identity/session_map.h"
#include "agent/settings/log_impl.h"

namespace bx {

// Session-change event codes of Windows (WTS_SESSION_LOGON, WTS_SESSION_LOGOFF).
constexpr uint32_t kSessionLogon = 5;
constexpr uint32_t kSessionLogoff = 6;

// The user and domain of a session: the domain is queried first, then the
// user; each failure is kept. Names that could not be had are empty.
struct SessionUser {
    std::wstring user;
    std::wstring domain;
    uint32_t domainError = 0;
    uint32_t userError = 0;
    // 0, or the error of the last failed query.
    uint32_t Result() const { return userError ? userError : domainError; }
};
SessionUser QuerySessionUser(uint32_t sessionId);

// Sends the logoff notification of a session (the connection manager's).
using LogoffNotifier =
    std::function<uint32_t(uint32_t sessionId, const std::wstring& user, const std::wstring& domain)>;

// A session logged on or off: logon records the session's user (empty names
// when the queries fail), logoff of a known session forgets it and sends its
// logoff notification. Every other code is ignored.
void HandleSessionChange(uint32_t eventCode, uint32_t sessionId, SessionMap& sessions, const CLogImpl& log,
                         const LogoffNotifier& notifyLogoff);

}  // namespace bx
