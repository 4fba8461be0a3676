// Who is logged on to a Windows session: the session queries, the handling of
// the service's session-change notifications, and the classification of a
// connection's user (non-user connection, domain user, local user) that the
// packet builder asks for.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "log_impl.h"
#include "send_data.h"
#include "session_map.h"

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

// Tells non-user connections, domain users and local users apart.
class CUserClassifier : public CLogImpl {
public:
    explicit CUserClassifier(SessionMap& sessions) : sessions_(sessions) {}
    CUserClassifier(const CUserClassifier&) = delete;
    CUserClassifier& operator=(const CUserClassifier&) = delete;

    // A connection of a SID that is not a user's, of Local System, or of an
    // account other than session 0's user in session 0. Other kinds of record
    // are never non-user connections.
    bool IsNonUserConnection(const send_data_t& record);
    // Whether the record's user belongs to a domain other than this machine.
    bool IsDomainUser(const send_data_t& record, bool nonUserConnection);

    // The computer name, lower-cased, fetched on first need (again while it
    // could not be had); it does not change afterwards.
    const std::wstring& ComputerName();

private:
    bool SessionZeroUserMatches(const CSid& sid);

    SessionMap& sessions_;
    std::mutex nameLock_;
    std::atomic<bool> nameKnown_{false};
    std::wstring computerName_;
};
