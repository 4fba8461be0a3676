// CDaemon: the Linux agent bxhvns, the counterpart of the Windows service
// CPLNSvc on the same Snooper, connection manager, protocol and logging
// library.
//
// Start-up: root-only folders (state, logs, run), the process id file (one
// agent at a time), the logger (BXHVNAgent.log in the log folder, and
// standard error for the journal), the settings file into the settings
// store, the installation id, the eBPF connection events, the Snooper with
// its connection manager, the session watcher, the first read. Whatever is
// missing for that (a capability, a kernel feature, a bad settings file)
// ends the start with one clear error line and exit code 1.
//
// The run loop on the main thread waits for the read's completion event and
// for the control event that the signal thread sets: SIGTERM (SIGINT in a
// console) stops, SIGHUP reads the settings again, SIGUSR1 writes the status
// record HVNConfig.xml into the state folder.
//
// Stopping takes what the kernel had reported before the stop to the send
// queue and waits (bounded) until the queue is sent, then stops in the
// service's order: read cancelled, connection manager stopped, device closed,
// programs detached, logger cleaned up.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "BXLogger.h"
#include "agent/daemon/daemon_options.h"
#include "agent/daemon/session_watcher.h"
#include "agent/settings/log_impl.h"
#include "agent/snoop/snooper.h"
#include "platform/event.h"
#include "platform/linux/root_files.h"
#include "platform/linux/settings_file.h"

namespace bx::daemon {

constexpr wchar_t kLogFileName[] = L"BXHVNAgent.log";
constexpr uint32_t kLogFileMaxSize = 1048576;
constexpr uint32_t kLogFileFlags = 10;
constexpr uint32_t kRunLoopWaitMs = 5000;
constexpr char kStatusFileName[] = "HVNConfig.xml";
constexpr char kInstallationIdFileName[] = "installation-id";
constexpr char kPidFileName[] = "bxhvns.pid";
// Bound of the wait for the send queue to be sent at a stop or a reload.
constexpr uint32_t kDrainWaitMs = 5000;
// The connection manager's threads end within this, or the process ends.
constexpr uint32_t kThreadExitWaitMs = 30000;
// Lost connection events are logged at most this often.
constexpr uint32_t kLossReportMs = 1000;

class CDaemon {
public:
    explicit CDaemon(const DaemonOptions& options);
    ~CDaemon();
    CDaemon(const CDaemon&) = delete;
    CDaemon& operator=(const CDaemon&) = delete;

    // Starts, runs until stopped, stops. 0, or 1 when the start failed.
    // `ready` is called once the agent runs (readiness for the caller).
    int Run(const std::function<void()>& ready);

    // From the signal thread (or any): each sets the control event.
    void RequestStop();
    void RequestReload();
    void RequestStatus();

private:
    bool StartUp();
    void RunLoop();
    void ShutDown();
    void Reload();
    void WriteStatus();
    void ReportLosses(bool force);
    void HandleRead();
    bool LoadSettings(settings::AgentConf& conf, bool atStart);
    std::unique_ptr<Snooper> StartSnooper(AddressTable addresses);
    void StopSnooper(std::unique_ptr<Snooper>& snooper, bool drain);
    void DrainSendQueue(Snooper& snooper);
    void OnSessionChange(uint32_t eventType, uint32_t sessionId);
    void Fail(const std::string& line);
    std::string CgroupOf(const settings::AgentConf& conf) const;

    DaemonOptions options_;
    CBXLogger logger_;
    bool loggerReady_ = false;
    CLogImpl log_;
    linuxfs::PidFile pidFile_;
    std::string cgroup_;
    settings::AgentConf conf_;

    bx::sync::Event control_;
    bx::sync::Event sendEvent_;
    bx::sync::Event readEvent_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> reloadRequested_{false};
    std::atomic<bool> statusRequested_{false};

    // The snooper and the session watcher's reports to it: a reload renews
    // the snooper under this lock.
    std::mutex snooperLock_;
    std::unique_ptr<Snooper> snooper_;
    bool stopping_ = false;
    std::unique_ptr<SessionWatcher> watcher_;
    // The watcher the device's reading thread wakes for a new session.
    std::atomic<SessionWatcher*> wakeTarget_{nullptr};

    uint64_t lostReported_ = 0;
    uint32_t lossCheckedAt_ = 0;
};

}  // namespace bx::daemon
