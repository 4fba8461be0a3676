#include "agent/daemon/daemon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "agent/appliance/status_file.h"
#include "agent/identity/session_users.h"
#include "agent/settings/settings_reader.h"
#include "agent/snoop/snoop_device_linux.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/host_facts.h"
#include "platform/linux/unix_accounts.h"
#include "platform/thread_id.h"
#include "platform/utf8.h"

namespace bx::daemon {
namespace {

std::wstring Wide(const std::string& text) { return WideFromUtf8(text.data(), text.size()); }

std::string Join(const std::string& dir, const char* name) { return dir + "/" + name; }

}  // namespace

CDaemon::CDaemon(const DaemonOptions& options) : options_(options) {}

CDaemon::~CDaemon() {
    // What a start-up that gave up left behind; a normal run released it.
    wakeTarget_ = nullptr;
    if (watcher_) watcher_->Stop();
    {
        std::lock_guard<std::mutex> guard(snooperLock_);
        stopping_ = true;
    }
    if (snooper_) StopSnooper(snooper_, false);
    snoopdev::StopKernelSource();
    if (loggerReady_) {
        log_.SetLogger(nullptr);
        logger_.Cleanup();
    }
}

void CDaemon::RequestStop() {
    stopRequested_ = true;
    control_.Set();
}

void CDaemon::RequestReload() {
    reloadRequested_ = true;
    control_.Set();
}

void CDaemon::RequestStatus() {
    statusRequested_ = true;
    control_.Set();
}

// One clear line: through the logger once it exists (the log file and
// standard error), else on standard error.
void CDaemon::Fail(const std::string& line) {
    if (loggerReady_)
        logger_.Log(BXLOG_ERROR, L"%hs", line.c_str());
    else
        std::fprintf(stderr, "bxhvns: %s\n", line.c_str());
}

std::string CDaemon::CgroupOf(const settings::AgentConf& conf) const {
    if (!options_.cgroup.empty()) return options_.cgroup;
    return conf.cgroup;
}

bool CDaemon::LoadSettings(settings::AgentConf& conf, bool atStart) {
    std::string error;
    const uint32_t rc = settings::ReadAgentConf(options_.config, conf, error);
    if (rc == err::kFileNotFound) {
        logger_.Log(BXLOG_WARNING,
                    L"%hs: the agent runs without an appliance until the settings are written and read "
                    L"again (SIGHUP)",
                    error.c_str());
        conf = settings::AgentConf{};
        return true;
    }
    if (rc != 0) {
        if (atStart)
            Fail(error + " - cannot continue");
        else
            logger_.Log(BXLOG_ERROR, L"%hs - the running settings are kept", error.c_str());
        return false;
    }
    return true;
}

bool CDaemon::StartUp() {
    if (geteuid() != 0) {
        Fail("must run as root: it loads eBPF programs and keeps root-only files");
        return false;
    }
    umask(077);
    for (const std::string* dir : {&options_.stateDir, &options_.logDir, &options_.runDir}) {
        bool narrowed = false;
        std::string error;
        if (linuxfs::EnsurePrivateDirectory(*dir, narrowed, error) != 0) {
            Fail(error + " - cannot continue");
            return false;
        }
        if (narrowed) std::fprintf(stderr, "bxhvns: %s gave others access: narrowed to 0700\n", dir->c_str());
    }
    {
        std::string error;
        if (pidFile_.Acquire(Join(options_.runDir, kPidFileName), error) != 0) {
            Fail(error + " - cannot continue");
            return false;
        }
    }

    logger_.Init();
    loggerReady_ = true;
    logger_.AddFile(files::JoinPath(Wide(options_.logDir), kLogFileName).c_str(), kLogFileMaxSize, kLogFileFlags);
    // Standard error: the journal's (or the console's) copy of every line.
    logger_.AddDebugger();
    logger_.Log(BXLOG_INFORMATIONAL, L"Brontavex Halvern is starting..");

    if (!LoadSettings(conf_, true)) return false;
    if (uint32_t rc = settings::StoreAgentConf(kSettingsKeyPath, conf_)) {
        Fail("the settings cannot be stored (error " + std::to_string(rc) + ") - cannot continue");
        return false;
    }
    log_ = CLogImpl();
    log_.SetLogger(&logger_);

    {
        const std::string path = Join(options_.stateDir, kInstallationIdFileName);
        std::string id, error;
        const uint32_t rc = linuxfs::ReadPrivateFile(path, 128, id, error);
        while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
        if (rc != 0 || !linuxfs::IsUuidText(id)) {
            if (rc != err::kFileNotFound)
                log_.LogWarning(L"The installation id %hs is not usable (%hs): a new one is made", path.c_str(),
                                rc ? error.c_str() : "not a UUID");
            std::string text;
            if (linuxfs::NewUuidText(id) && (text = id + "\n", true) &&
                linuxfs::WritePrivateFile(path, text.data(), text.size(), error) == 0)
                log_.LogInfo(L"New installation id %hs", id.c_str());
            else
                log_.LogError(L"No installation id could be made: %hs", error.c_str());
        }
        logger_.Log(BXLOG_INFORMATIONAL, L"Installation id: %hs", id.c_str());
    }

    {
        snoopdev::KernelSourceOptions source;
        source.cgroupPath = CgroupOf(conf_);
        source.ringBufferBytes = options_.ringBufferBytes;
        source.onNewSession = [this](uint32_t) {
            if (SessionWatcher* watcher = wakeTarget_.load()) watcher->Wake();
        };
        std::string error;
        if (snoopdev::StartKernelSource(source, error) != 0) {
            Fail("Connection events cannot be had: " + error + " - cannot continue");
            return false;
        }
        cgroup_ = snoopdev::KernelSourceCgroup();
    }

    if (control_.Create(sync::ResetMode::Auto) || sendEvent_.Create(sync::ResetMode::Manual) ||
        readEvent_.Create(sync::ResetMode::Auto)) {
        Fail("Event handles creation failed - cannot continue");
        return false;
    }
    // A stop asked for before the events existed ends the loop at once.
    if (stopRequested_) control_.Set();
    {
        std::lock_guard<std::mutex> guard(snooperLock_);
        snooper_ = StartSnooper({});
        if (!snooper_) return false;
    }
    watcher_ = std::make_unique<SessionWatcher>(
        [this](uint32_t eventType, uint32_t sessionId) { OnSessionChange(eventType, sessionId); }, log_);
    if (uint32_t rc = watcher_->Start(true))
        log_.LogError(L"Sessions cannot be watched Error: %d", static_cast<int>(rc));
    wakeTarget_ = watcher_.get();
    snooper_->OpenDevice();

    const CHVNConfiguration& appliance = snooper_->ConnectionManager().Configuration();
    logger_.Log(BXLOG_INFORMATIONAL,
                L"Brontavex Halvern runs: connection events of cgroup %hs, appliance '%ls' port %d", cgroup_.c_str(),
                appliance.Address().c_str(), static_cast<int>(appliance.Port()));
    return true;
}

std::unique_ptr<Snooper> CDaemon::StartSnooper(AddressTable addresses) {
    auto snooper = std::make_unique<Snooper>();
    snooper->SetSendEvent(sendEvent_);
    snooper->SetStopEvent(control_);
    snooper->SetReadEvent(readEvent_);
    snooper->SetLogger(&logger_);
    snooper->AdoptAddresses(std::move(addresses));
    // Session 0 holds the processes outside every login, as Windows runs its
    // services there: nobody is logged on to it.
    snooper->Sessions().Add(0, L"", L"");
    if (snooper->Initialise() != 0) {
        Fail("Failed to initialize internal component - cannot continue");
        snooper->SetLogger(nullptr);
        return nullptr;
    }
    return snooper;
}

void CDaemon::DrainSendQueue(Snooper& snooper) {
    CDataQueue& queue = snooper.ConnectionManager().Queue();
    const uint32_t start = host::TickCount();
    while (queue.Count() != 0 && snooper.ConnectionManager().DispatcherRunning() &&
           host::TickCount() - start < kDrainWaitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (const uint32_t left = queue.Count())
        log_.LogWarning(L"%u notifications were still queued when the stop's %u ms ran out",
                        static_cast<unsigned>(left), static_cast<unsigned>(kDrainWaitMs));
}

void CDaemon::StopSnooper(std::unique_ptr<Snooper>& snooper, bool drain) {
    snooper->RefuseSessionChanges();
    if (drain) DrainSendQueue(*snooper);
    snooper->CancelRead(0);
    const uint32_t stopped = snooper->StopConnections();
    snooper->CloseDevice();
    if (stopped != 0 && !snooper->ConnectionManager().ThreadsEndWithin(kThreadExitWaitMs)) {
        // A thread that does not end at all: the process ends here rather
        // than free what the thread uses, or wait for ever.
        logger_.TryLog(BXLOG_ERROR,
                       L"A connection thread did not end within %u ms: the process ends without releasing what it uses",
                       static_cast<unsigned>(kThreadExitWaitMs));
        _exit(1);
    }
    snooper->SetLogger(nullptr);
    snooper.reset();
}

void CDaemon::OnSessionChange(uint32_t eventType, uint32_t sessionId) {
    std::lock_guard<std::mutex> guard(snooperLock_);
    if (stopping_ || !snooper_) return;
    snooper_->OnSessionChange(eventType, sessionId);
}

void CDaemon::HandleRead() {
    if (!snooper_) return;
    log_.LogDebug(L"Snooper IOCTL Events");
    const Snooper::ReadCheck check = snooper_->CheckCompletedRead();
    if (check == Snooper::ReadCheck::Pending) return;
    if (check == Snooper::ReadCheck::Whole) {
        if (snooper_->HandleEvent() == 0)
            log_.LogError(L"Failed to Handle IOCTL request Error: %d", static_cast<int>(errno));
    } else if (const uint32_t pause = snooper_->ReadPauseMs()) {
        if (control_.Wait(pause) == sync::kWaitObject0) control_.Set();  // handled by the loop
    }
    if (uint32_t rc = snooper_->ReadSnoopEvents())
        log_.LogError(L"Failed to read Next Snoop Evt Error: %d", static_cast<int>(rc));
}

void CDaemon::ReportLosses(bool force) {
    const uint32_t now = host::TickCount();
    if (!force && now - lossCheckedAt_ < kLossReportMs) return;
    lossCheckedAt_ = now;
    const snoopdev::KernelSourceCounters counters = snoopdev::GetKernelSourceCounters();
    if (counters.lost <= lostReported_) return;
    log_.LogError(
        L"The kernel's ring buffer was full: %llu connection events lost (%llu since the start); the agent "
        L"did not keep up",
        static_cast<unsigned long long>(counters.lost - lostReported_), static_cast<unsigned long long>(counters.lost));
    lostReported_ = counters.lost;
}

void CDaemon::WriteStatus() {
    logger_.Log(BXLOG_DEBUG, L"Id:%04d\tReveived XML generation", static_cast<int>(CurrentThreadId()));
    StatisticsSnapshot snapshot;
    if (snooper_) snooper_->ConnectionManager().GetStatistics(snapshot);
    uint8_t bytes[kStatusRecordSize];
    EncodeStatusRecord(snapshot, bytes);
    std::string error;
    if (linuxfs::WritePrivateFile(Join(options_.stateDir, kStatusFileName), bytes, sizeof bytes, error) != 0)
        log_.LogDebug(L"The status record is not written: %hs", error.c_str());
}

void CDaemon::Reload() {
    logger_.Log(BXLOG_INFORMATIONAL, L"Reading the settings again from %hs", options_.config.c_str());
    settings::AgentConf conf;
    if (!LoadSettings(conf, false)) return;
    if (options_.cgroup.empty() && conf.cgroup != conf_.cgroup)
        log_.LogWarning(L"The cgroup setting takes effect at the next start; connection events still come from %hs",
                        cgroup_.c_str());
    accounts::ForgetCachedAccounts();
    std::lock_guard<std::mutex> guard(snooperLock_);
    AddressTable addresses;
    if (snooper_) {
        // What was queued goes to the appliance it was made for; the records
        // the kernel reports meanwhile wait in the device for the new snooper.
        addresses = snooper_->TakeAddresses();
        StopSnooper(snooper_, true);
    }
    conf_ = conf;
    if (uint32_t rc = settings::StoreAgentConf(kSettingsKeyPath, conf_))
        logger_.Log(BXLOG_ERROR, L"The settings cannot be stored (error %d)", static_cast<int>(rc));
    CLogImpl log;
    log.SetLogger(&logger_);
    log_ = log;
    snooper_ = StartSnooper(std::move(addresses));
    if (!snooper_) {
        logger_.Log(BXLOG_ERROR, L"The agent waits for the next reload (SIGHUP)");
        return;
    }
    // The sessions logged on go to the new snooper, so that their logoffs
    // are still sent.
    for (uint32_t id : watcher_->TrackedSessions()) snooper_->OnSessionChange(kSessionLogon, id);
    snooper_->OpenDevice();
    const CHVNConfiguration& appliance = snooper_->ConnectionManager().Configuration();
    logger_.Log(BXLOG_INFORMATIONAL, L"Settings read again: appliance '%ls' port %d", appliance.Address().c_str(),
                static_cast<int>(appliance.Port()));
}

void CDaemon::RunLoop() {
    CReadBackoff waitBackoff;
    for (;;) {
        const uint32_t result = sync::WaitAny(control_, readEvent_, kRunLoopWaitMs);
        if (result == sync::kWaitFailed) {
            const bool burstBegins = waitBackoff.Failed();
            if (burstBegins)
                log_.LogError(L"Run loop wait failed Error: %d: waiting again in %u ms, doubling up to %u ms",
                              static_cast<int>(errno), static_cast<unsigned>(waitBackoff.PauseMs()),
                              static_cast<unsigned>(CReadBackoff::kMaxPauseMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(waitBackoff.PauseMs()));
            continue;
        }
        waitBackoff.Succeeded();
        if (result == sync::kWaitObject0) {
            if (stopRequested_) return;
            if (reloadRequested_.exchange(false)) Reload();
            if (statusRequested_.exchange(false)) WriteStatus();
        } else if (result == sync::kWaitObject1) {
            HandleRead();
        }
        ReportLosses(false);
    }
}

void CDaemon::ShutDown() {
    logger_.Log(BXLOG_INFORMATIONAL, L"Stopping Brontavex Halvern...");
    wakeTarget_ = nullptr;
    watcher_->Stop();
    // No connection event comes any more; those the kernel reported before
    // are read, handed to the snooper and sent.
    snoopdev::DetachKernelSource();
    size_t handed = 0;
    if (snooper_) {
        snooper_->RefuseSessionChanges();
        while (readEvent_.Wait(0) == sync::kWaitObject0) {
            HandleRead();
            ++handed;
        }
    }
    ReportLosses(true);
    {
        std::lock_guard<std::mutex> guard(snooperLock_);
        stopping_ = true;
    }
    if (snooper_) {
        log_.LogDebug(L"%u connection events read at the stop", static_cast<unsigned>(handed));
        StopSnooper(snooper_, true);
    }
    snoopdev::StopKernelSource();
    control_.Close();
    sendEvent_.Close();
    readEvent_.Close();
    logger_.Log(BXLOG_DEBUG, L"Brontavex Halvern finished");
    log_.SetLogger(nullptr);
    logger_.Cleanup();
    loggerReady_ = false;
    pidFile_.Release();
}

int CDaemon::Run(const std::function<void()>& ready) {
    if (!StartUp()) return 1;
    if (ready) ready();
    RunLoop();
    ShutDown();
    return 0;
}

}  // namespace bx::daemon
