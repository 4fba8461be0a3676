// Sessions on Linux: a session is an audit session, its user the session's
// login uid, named through NSS (platform/linux/unix_accounts.h). Session 0
// holds the processes outside every login: nobody is logged on to it.
#include "platform/sessions.h"

#include "platform/errors.h"
#include "platform/linux/audit_sessions.h"
#include "platform/linux/unix_accounts.h"

namespace bx::sessions {
namespace {

// The account of the session's user: what the agent learned of the session,
// else a process of the session found in /proc now.
uint32_t SessionAccount(uint32_t sessionId, accounts::Account& account) {
    account = accounts::Account{};
    uid_t loginUid = 0;
    if (!KnownSessionUser(sessionId, loginUid)) {
        std::map<uint32_t, AuditSession> now;
        if (uint32_t error = ScanAuditSessions(now)) return error;
        auto found = now.find(sessionId);
        if (found == now.end()) return err::kFileNotFound;
        loginUid = found->second.loginUid;
        NoteSessionUser(sessionId, loginUid);
    }
    if (loginUid == static_cast<uid_t>(kNoLoginUid)) return err::kNoneMapped;
    return accounts::LookupUid(loginUid, account);
}

uint32_t Query(uint32_t sessionId, std::wstring& text, bool user) {
    text.clear();
    if (sessionId == 0) return 0;
    accounts::Account account;
    if (uint32_t error = SessionAccount(sessionId, account)) return error;
    text = user ? account.name : account.domain;
    return 0;
}

}  // namespace

uint32_t QueryUserName(uint32_t sessionId, std::wstring& name) { return Query(sessionId, name, true); }

uint32_t QueryDomainName(uint32_t sessionId, std::wstring& domain) { return Query(sessionId, domain, false); }

}  // namespace bx::sessions
