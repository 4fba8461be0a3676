// Audit sessions (Linux only): the kernel's login sessions, which the agent
// takes for Windows sessions.
//
// pam_loginuid gives every login its own audit session id and login uid
// (/proc/<pid>/sessionid and /proc/<pid>/loginuid), which the processes of
// the login inherit. A process outside every login (a system daemon) has
// none: its session id reads 4294967295. Session 0 is never an audit session;
// the agent uses it for those processes, as Windows runs its services in
// session 0.
//
// The agent learns a session's login uid where it sees the session (its
// connection records, logind, a scan of /proc) and keeps it here, so that the
// session's user can still be named once its last process is gone.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <vector>

namespace bx::sessions {

// The session id of a process without an audit session (AUDIT_SID_UNSET),
// and the login uid of one (AUDIT_UID_UNSET).
constexpr uint32_t kNoAuditSession = 0xFFFFFFFFu;
constexpr uint32_t kNoLoginUid = 0xFFFFFFFFu;

// One audit session as a scan of /proc found it.
struct AuditSession {
    uid_t loginUid = static_cast<uid_t>(kNoLoginUid);
    uint32_t processes = 0;
    pid_t somePid = 0;  // one process of the session
};

// Every audit session that has a process now, with its login uid and its
// number of processes (threads are not counted). Processes that end during
// the scan are left out. 0, or the error of reading /proc as a Windows
// number. `procRoot` is "/proc" but for tests.
uint32_t ScanAuditSessions(std::map<uint32_t, AuditSession>& sessions, const char* procRoot = "/proc");

// The audit session id and login uid of one process: 0, or 2 when the
// process is gone.
uint32_t ProcessAuditSession(pid_t pid, uint32_t& sessionId, uid_t& loginUid, const char* procRoot = "/proc");

// The known sessions' users: what the agent learned, for naming sessions.
// Each call is thread-safe. NoteSessionUser returns true when the session
// was not known before (or was known with another user).
bool NoteSessionUser(uint32_t sessionId, uid_t loginUid);
void ForgetSessionUser(uint32_t sessionId);
bool KnownSessionUser(uint32_t sessionId, uid_t& loginUid);
// The known sessions, in id order.
std::vector<uint32_t> KnownSessions();

}  // namespace bx::sessions
