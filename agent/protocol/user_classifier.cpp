#include "agent/protocol/user_classifier.h"

#include "BXLogger.h"
#include "agent/identity/names.h"
#include "agent/identity/session_users.h"
#include "platform/errors.h"
#include "platform/host_facts.h"

namespace {

// The session-0 test's lines go to the logger as they are, without the
// facade's thread prefix and whatever the verbose setting.
template <typename... Args>
void LogDirect(CBXLogger* logger, uint32_t priority, const wchar_t* format, Args... args) {
    if (logger) logger->Log(priority, format, args...);
}

}  // namespace

bool CUserClassifier::SessionZeroUserMatches(const CSid& sid) {
    CBXLogger* logger = Logger();
    const std::wstring& name = sid.AccountName();
    const std::wstring& domain = sid.Domain();
    std::wstring user, userDomain;
    if (sessions_.Lookup(0, user, userDomain) == bx::err::kSuccess) {
        if (bx::EqualNoCase(name, user)) return true;
        LogDirect(logger, BXLOG_INFORMATIONAL, L"Detected '%s@%s' as non user connection. User At Session '0' is:'%s'.",
                  name.c_str(), domain.c_str(), user.c_str());
        return false;
    }
    LogDirect(logger, BXLOG_ERROR,
              L"Could not find user at SessioId:'0'.Service may not be able to load fully when user with zero "
              L"SessionID was logged on. PktUser:'%s@%s'",
              name.c_str(), domain.c_str());
    LogDirect(logger, BXLOG_INFORMATIONAL, L"Quering  for userInfo at session:'0'");
    bx::SessionUser who = bx::QuerySessionUser(0);
    if (who.domainError)
        LogDirect(logger, BXLOG_ERROR, L"Failed to Get DomainName From SessionID Error:'%d'",
                  static_cast<int>(who.domainError));
    if (who.userError)
        LogDirect(logger, BXLOG_ERROR, L"Failed to Get UserName From SessionID Error:'%d'",
                  static_cast<int>(who.userError));
    if (who.Result() != bx::err::kSuccess) {
        LogDirect(logger, BXLOG_ERROR, L"Sending request as a NON user Conn. So that UTM would allow it.");
        return false;
    }
    LogDirect(logger, BXLOG_INFORMATIONAL, L"Adding User '%s@%s' at Session:'0'.", who.user.c_str(),
              who.domain.c_str());
    sessions_.Add(0, who.user, who.domain);
    if (bx::EqualNoCase(name, who.user)) return true;
    LogDirect(logger, BXLOG_INFORMATIONAL, L"Detected '%s@%s' as non user connection. User At Session '0' is:'%s%s'.",
              name.c_str(), domain.c_str(), who.user.c_str(), who.domain.c_str());
    return false;
}

bool CUserClassifier::IsNonUserConnection(const send_data_t& record) {
    if (record.kind != bx::kKindConnection) return false;
    if (record.sid.Type() != bx::accounts::SidType::User) return true;
    if (record.sid.IsLocalSystem()) return true;
    if (record.session_id != 0) return false;
    return !SessionZeroUserMatches(record.sid);
}

const std::wstring& CUserClassifier::ComputerName() {
    if (nameKnown_.load(std::memory_order_acquire)) return computerName_;
    std::lock_guard<std::mutex> lock(nameLock_);
    if (!nameKnown_.load(std::memory_order_relaxed)) {
        std::wstring name;
        if (bx::host::ComputerName(name) == bx::err::kSuccess && !name.empty()) {
            computerName_ = bx::LowerCase(name);
            nameKnown_.store(true, std::memory_order_release);
        }
    }
    return computerName_;
}

bool CUserClassifier::IsDomainUser(const send_data_t& record, bool nonUserConnection) {
    static const std::wstring kNone;
    const std::wstring* user = &kNone;
    const std::wstring* domain = &kNone;
    if (record.kind == bx::kKindConnection) {
        user = &record.sid.AccountName();
        domain = &record.sid.Domain();
    } else if (record.kind == bx::kKindLogoff || record.kind == bx::kKindResend) {
        user = &record.user;
        domain = &record.domain;
    }
    const std::wstring& computer = ComputerName();
    if (nonUserConnection) {
        LogDebug(L"HVNPkt: Non User Connection:'%ls' ServerName:'%ls'", user->c_str(), computer.c_str());
        return false;
    }
    // The computer name is lower-cased already: comparing without regard to
    // case is comparing the lower-cased domain with it.
    if (!bx::EqualNoCase(*domain, computer)) {
        if (Verbose())
            LogDebug(L"HVNPkt: Domain User:'%ls' Domain Name:'%ls'", user->c_str(), bx::LowerCase(*domain).c_str());
        return true;
    }
    LogDebug(L"HVNPkt: Local User:'%ls' Server Name:'%ls'", user->c_str(), computer.c_str());
    return false;
}
