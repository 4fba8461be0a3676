// SessionWatcher: the Linux agent's session logons and logoffs (the Windows
// service's session-change notifications).
//
// A session is an audit session. The watcher learns one from logind (its
// session list and SessionNew signal, where logind runs on the system bus),
// from a scan of /proc when it starts, and from the connection records of
// the snoop device (a session not seen before); it reports each as logged on.
// A session logind knows ends when logind says so (SessionRemoved); any other
// ends once no process of it has been left for kGoneAfterMs. Then it reports
// the logoff, and the session's user is forgotten. Each second the watcher
// looks whether the one process it knows of each such session is still in
// it; only when one is not does it read every process of /proc.
//
// Reports are made on the watcher's own thread (at Start, on the caller's),
// one at a time and with no lock of the watcher's held, so that the receiver
// may ask the watcher for its sessions under a lock of its own.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/settings/log_impl.h"
#include "platform/linux/logind.h"

namespace bx::daemon {

class SessionWatcher {
public:
    // eventType: bx::kSessionLogon or bx::kSessionLogoff.
    using Report = std::function<void(uint32_t eventType, uint32_t sessionId)>;

    static constexpr uint32_t kGoneAfterMs = 3000;
    static constexpr uint32_t kScanPeriodMs = 1000;
    static constexpr uint32_t kLogindRetryMs = 60000;

    // `log`: the facade its lines go through (copied: its logger must
    // outlive the watcher).
    SessionWatcher(Report report, const CLogImpl& log);
    ~SessionWatcher();
    SessionWatcher(const SessionWatcher&) = delete;
    SessionWatcher& operator=(const SessionWatcher&) = delete;

    // Asks logind (unless useLogind is false), takes the sessions there are
    // now and starts the thread. 0 or the error of starting it.
    uint32_t Start(bool useLogind);
    // Ends the thread; nothing is reported afterwards.
    void Stop();

    // A session appeared in a connection record: the thread looks at once.
    void Wake();
    // The sessions it keeps now, logged on and not yet off.
    std::vector<uint32_t> TrackedSessions() const;

    bool LogindAnswers() const { return logindOpen_.load(); }

private:
    struct Tracked {
        bool byLogind = false;
        std::string logindId;
        uint64_t missingSinceMs = 0;  // 0: a process of it was there
        pid_t somePid = 0;            // a process of it when last looked at
    };

    void Loop();
    void TakeNewSessions();
    void CheckProcesses(uint64_t nowMs);
    void Forget(uint32_t sessionId);
    void OpenLogind(bool atStart);
    void OnLogindChange(const logind::Change& change);
    // Hands the reports gathered under the lock on, once it is released.
    void Flush();

    Report report_;
    CLogImpl log_;
    mutable std::mutex lock_;  // tracked_, reports_, logind_
    std::map<uint32_t, Tracked> tracked_;
    std::vector<std::pair<uint32_t, uint32_t>> reports_;  // (event type, session)
    std::thread thread_;
    int wakeFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> logindOpen_{false};
    bool useLogind_ = true;
    logind::Client logind_;
    uint64_t logindRetryAtMs_ = 0;
};

}  // namespace bx::daemon
