// Audit sessions from /proc, and the sessions the agent has learned.
#include "platform/linux/audit_sessions.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/errors.h"

namespace bx::sessions {
namespace {

// Reads a small decimal file below dirFd ("sessionid", "loginuid").
bool ReadNumberAt(int dirFd, const char* name, uint32_t& value) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[24];
    ssize_t got;
    do {
        got = read(fd, text, sizeof text - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool IsPid(const char* name) {
    if (!*name) return false;
    for (const char* p = name; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

struct Known {
    std::mutex lock;
    std::map<uint32_t, uid_t> users;
};

Known& TheKnown() {
    static Known known;
    return known;
}

}  // namespace

uint32_t ScanAuditSessions(std::map<uint32_t, AuditSession>& sessions, const char* procRoot) {
    sessions.clear();
    DIR* proc = opendir(procRoot);
    if (!proc) return errno == ENOENT ? err::kFileNotFound : err::kAccessDenied;
    const int procFd = dirfd(proc);
    while (const dirent* entry = readdir(proc)) {
        if (!IsPid(entry->d_name)) continue;
        const int pidFd = openat(procFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pidFd < 0) continue;  // ended meanwhile
        uint32_t sessionId = kNoAuditSession, loginUid = kNoLoginUid;
        if (ReadNumberAt(pidFd, "sessionid", sessionId) && sessionId != kNoAuditSession &&
            ReadNumberAt(pidFd, "loginuid", loginUid)) {
            AuditSession& session = sessions[sessionId];
            session.loginUid = static_cast<uid_t>(loginUid);
            if (session.processes++ == 0) session.somePid = static_cast<pid_t>(std::atoi(entry->d_name));
        }
        close(pidFd);
    }
    closedir(proc);
    return 0;
}

uint32_t ProcessAuditSession(pid_t pid, uint32_t& sessionId, uid_t& loginUid, const char* procRoot) {
    sessionId = kNoAuditSession;
    loginUid = static_cast<uid_t>(kNoLoginUid);
    const std::string dir = std::string(procRoot) + "/" + std::to_string(pid);
    const int pidFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0) return err::kFileNotFound;
    uint32_t session = kNoAuditSession, uid = kNoLoginUid;
    const bool read = ReadNumberAt(pidFd, "sessionid", session) && ReadNumberAt(pidFd, "loginuid", uid);
    close(pidFd);
    if (!read) return err::kFileNotFound;
    sessionId = session;
    loginUid = static_cast<uid_t>(uid);
    return 0;
}

bool NoteSessionUser(uint32_t sessionId, uid_t loginUid) {
    Known& known = TheKnown();
    std::lock_guard<std::mutex> guard(known.lock);
    auto [entry, inserted] = known.users.emplace(sessionId, loginUid);
    if (inserted) return true;
    if (entry->second == loginUid) return false;
    entry->second = loginUid;
    return true;
}

void ForgetSessionUser(uint32_t sessionId) {
    Known& known = TheKnown();
    std::lock_guard<std::mutex> guard(known.lock);
    known.users.erase(sessionId);
}

bool KnownSessionUser(uint32_t sessionId, uid_t& loginUid) {
    Known& known = TheKnown();
    std::lock_guard<std::mutex> guard(known.lock);
    auto found = known.users.find(sessionId);
    if (found == known.users.end()) return false;
    loginUid = found->second;
    return true;
}

std::vector<uint32_t> KnownSessions() {
    Known& known = TheKnown();
    std::lock_guard<std::mutex> guard(known.lock);
    std::vector<uint32_t> ids;
    ids.reserve(known.users.size());
    for (const auto& entry : known.users) ids.push_back(entry.first);
    return ids;
}

}  // namespace bx::sessions
