#include "agent/daemon/session_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "agent/identity/session_users.h"
#include "platform/host_facts.h"
#include "platform/linux/audit_sessions.h"

namespace bx::daemon {
namespace {

uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace

SessionWatcher::SessionWatcher(Report report, const CLogImpl& log) : report_(std::move(report)), log_(log) {}

SessionWatcher::~SessionWatcher() {
    Stop();
    // Closed only now: the device's reading thread may still wake a stopped
    // watcher.
    if (wakeFd_ >= 0) close(wakeFd_);
}

uint32_t SessionWatcher::Start(bool useLogind) {
    useLogind_ = useLogind;
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return static_cast<uint32_t>(errno);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (useLogind_) OpenLogind(true);
        // The logins there are now, logind's or not.
        std::map<uint32_t, sessions::AuditSession> now;
        if (sessions::ScanAuditSessions(now) == 0)
            for (const auto& [id, session] : now) sessions::NoteSessionUser(id, session.loginUid);
        TakeNewSessions();
    }
    Flush();
    stop_ = false;
    thread_ = std::thread([this] { Loop(); });
    return 0;
}

void SessionWatcher::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        Wake();
        thread_.join();
    }
    std::lock_guard<std::mutex> guard(lock_);
    logind_.Close();
    logindOpen_ = false;
}

void SessionWatcher::Wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

std::vector<uint32_t> SessionWatcher::TrackedSessions() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint32_t> ids;
    for (const auto& entry : tracked_) ids.push_back(entry.first);
    return ids;
}

void SessionWatcher::Flush() {
    std::vector<std::pair<uint32_t, uint32_t>> reports;
    {
        std::lock_guard<std::mutex> guard(lock_);
        reports.swap(reports_);
    }
    for (const auto& [eventType, sessionId] : reports) report_(eventType, sessionId);
}

// Under the lock: every session learned (by the device, logind or a scan)
// and not kept yet is kept and reported as logged on.
void SessionWatcher::TakeNewSessions() {
    for (uint32_t id : sessions::KnownSessions()) {
        if (tracked_.count(id)) continue;
        tracked_[id] = Tracked{};
        reports_.emplace_back(kSessionLogon, id);
    }
}

void SessionWatcher::Forget(uint32_t sessionId) {
    tracked_.erase(sessionId);
    sessions::ForgetSessionUser(sessionId);
}

// Under the lock.
void SessionWatcher::OpenLogind(bool atStart) {
    std::vector<logind::Session> sessions;
    std::string error;
    if (logind_.Open(sessions, error) != 0) {
        logindOpen_ = false;
        logindRetryAtMs_ = NowMs() + kLogindRetryMs;
        if (atStart)
            log_.LogInfo(
                L"logind does not answer (%hs): a session ends when none of its processes has been left "
                L"for %u s",
                error.c_str(), static_cast<unsigned>(kGoneAfterMs / 1000));
        return;
    }
    logindOpen_ = true;
    log_.LogInfo(L"Sessions end when logind says so (%u sessions now)", static_cast<unsigned>(sessions.size()));
    for (const logind::Session& session : sessions) {
        if (session.auditId == 0 || session.auditId == sessions::kNoAuditSession) continue;
        sessions::NoteSessionUser(session.auditId, session.uid);
        Tracked& tracked = tracked_[session.auditId];
        const bool isNew = tracked.logindId.empty() && !tracked.byLogind;
        tracked.byLogind = true;
        tracked.logindId = session.id;
        tracked.missingSinceMs = 0;
        if (isNew && !atStart) reports_.emplace_back(kSessionLogon, session.auditId);
    }
}

// Under the lock.
void SessionWatcher::OnLogindChange(const logind::Change& change) {
    if (change.removed) {
        for (auto it = tracked_.begin(); it != tracked_.end(); ++it) {
            if (!it->second.byLogind || it->second.logindId != change.session.id) continue;
            const uint32_t id = it->first;
            reports_.emplace_back(kSessionLogoff, id);
            Forget(id);
            return;
        }
        return;
    }
    if (change.session.auditId == 0 || change.session.auditId == sessions::kNoAuditSession) {
        // A session that ended before it could be asked about, or one
        // without an audit session: nothing of it can be reported.
        if (!change.error.empty())
            log_.LogWarning(L"logind session %hs: %hs; its end is seen when none of its processes is left",
                            change.session.id.c_str(), change.error.c_str());
        return;
    }
    sessions::NoteSessionUser(change.session.auditId, change.session.uid);
    auto found = tracked_.find(change.session.auditId);
    if (found == tracked_.end()) {
        tracked_[change.session.auditId] = Tracked{true, change.session.id, 0};
        reports_.emplace_back(kSessionLogon, change.session.auditId);
    } else {
        found->second.byLogind = true;
        found->second.logindId = change.session.id;
        found->second.missingSinceMs = 0;
    }
}

// Under the lock: sessions not kept by logind end when /proc has shown none
// of their processes for kGoneAfterMs.
void SessionWatcher::CheckProcesses(uint64_t nowMs) {
    // The process known of each session still in it: nothing more to read.
    bool scan = false;
    for (auto& [id, tracked] : tracked_) {
        if (tracked.byLogind) continue;
        uint32_t sessionId = sessions::kNoAuditSession;
        uid_t loginUid = 0;
        if (tracked.somePid > 0 && sessions::ProcessAuditSession(tracked.somePid, sessionId, loginUid) == 0 &&
            sessionId == id)
            tracked.missingSinceMs = 0;
        else
            scan = true;
    }
    if (!scan) return;
    std::map<uint32_t, sessions::AuditSession> now;
    if (sessions::ScanAuditSessions(now) != 0) return;
    std::vector<uint32_t> ended;
    for (auto& [id, tracked] : tracked_) {
        if (tracked.byLogind) continue;
        auto found = now.find(id);
        if (found != now.end()) {
            tracked.missingSinceMs = 0;
            tracked.somePid = found->second.somePid;
        } else if (tracked.missingSinceMs == 0) {
            tracked.somePid = 0;
            tracked.missingSinceMs = nowMs;
        } else if (nowMs - tracked.missingSinceMs >= kGoneAfterMs) {
            ended.push_back(id);
        }
    }
    for (uint32_t id : ended) {
        reports_.emplace_back(kSessionLogoff, id);
        Forget(id);
    }
}

void SessionWatcher::Loop() {
    uint64_t nextScanMs = NowMs() + kScanPeriodMs;
    while (!stop_) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int timeout = static_cast<int>(kScanPeriodMs);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (logind_.IsOpen()) {
                fds[1] = pollfd{logind_.Fd(), logind_.Events(), 0};
                const int busTimeout = logind_.TimeoutMs();
                if (busTimeout >= 0 && busTimeout < timeout) timeout = busTimeout;
            }
        }
        const int ready = poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        if (stop_) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (logind_.IsOpen()) {
                std::string error;
                if (logind_.Process([this](const logind::Change& change) { OnLogindChange(change); }, error) != 0) {
                    // Its sessions are watched through /proc from now on.
                    logindOpen_ = false;
                    logindRetryAtMs_ = NowMs() + kLogindRetryMs;
                    for (auto& entry : tracked_) entry.second.byLogind = false;
                    log_.LogWarning(
                        L"%hs: sessions end when none of their processes is left, until logind answers "
                        L"again",
                        error.c_str());
                }
            } else if (useLogind_ && NowMs() >= logindRetryAtMs_) {
                OpenLogind(false);
            }
            TakeNewSessions();
            const uint64_t now = NowMs();
            if (now >= nextScanMs) {
                CheckProcesses(now);
                nextScanMs = now + kScanPeriodMs;
            }
        }
        Flush();
    }
}

}  // namespace bx::daemon
