#include "agent/identity/session_users.h"

#include "agent/identity/names.h"
#include "platform/errors.h"
#include "platform/sessions.h"

namespace bx {

SessionUser QuerySessionUser(uint32_t sessionId) {
    SessionUser result;
    result.domainError = sessions::QueryDomainName(sessionId, result.domain);
    result.userError = sessions::QueryUserName(sessionId, result.user);
    return result;
}

void HandleSessionChange(uint32_t eventCode, uint32_t sessionId, SessionMap& sessions, const CLogImpl& log,
                         const LogoffNotifier& notifyLogoff) {
    const int id = static_cast<int>(sessionId);
    if (eventCode == kSessionLogon) {
        SessionUser who = QuerySessionUser(sessionId);
        if (who.domainError)
            log.LogError(L"Failed to Get DomainName From SessionID Error:%d", static_cast<int>(who.domainError));
        if (who.userError)
            log.LogError(L"Failed to Get UserName From SessionID Error:%d", static_cast<int>(who.userError));
        sessions.Add(sessionId, who.user, who.domain);
        log.LogInfo(L"SessionID:'%d'  %ls@%ls Logged-on", id, who.user.c_str(), who.domain.c_str());
    } else if (eventCode == kSessionLogoff) {
        std::wstring user, domain;
        if (sessions.Remove(sessionId, user, domain) != err::kSuccess) return;
        log.LogInfo(L"SessionID:'%d'  %ls@%ls Logged-off", id, user.c_str(), domain.c_str());
        if (notifyLogoff) notifyLogoff(sessionId, user, domain);
    }
}

}  // namespace bx
