#include "agent/program/pln_svc.h"

#include <cstdio>

#include "agent/program/feedback_post.h"

#include "agent/service/crash_handler.h"
#include "agent/settings/settings_reader.h"
#include "platform/files.h"
#include "platform/thread_id.h"
#include "platform/win/admin_security.h"
#include "platform/win/event_handle.h"

using namespace bx::program;

namespace {

// The settings key holds the shared secret: a DACL wider than SYSTEM and
// Administrators (a key made by reg add, an older installer, a restore) is
// replaced at every start, and the log says so. A missing key is left alone.
void RestrictSettingsKey(CBXLogger& logger) {
    bx::win::UniqueRegKey key;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, bx::kSettingsKeyPath, 0, READ_CONTROL | WRITE_DAC, key.put());
    if (rc == ERROR_FILE_NOT_FOUND) return;
    bool replaced = false;
    const uint32_t error =
        rc == ERROR_SUCCESS ? bx::win::RestrictKeyToAdministrators(key.get(), replaced) : static_cast<uint32_t>(rc);
    if (error)
        logger.Log(BXLOG_ERROR, L"Failed to restrict the settings key to SYSTEM and Administrators Error: %d",
                   static_cast<int>(error));
    else if (replaced)
        logger.Log(BXLOG_WARNING,
                   L"The settings key granted access to others than SYSTEM and Administrators: its DACL was replaced");
}

// The status-request event, for SYSTEM and Administrators only. An event of
// that name that exists already with a DACL this service did not make (made
// first by another process) is not used: the service does its main job
// without status requests, and `why` says so.
bx::win::UniqueHandle CreateStatusEvent(std::wstring& why) {
    bx::win::AdminOnlySecurity security;
    if (security.Error()) {
        why = L"its security descriptor could not be built Error: " + std::to_wstring(security.Error());
        return {};
    }
    SetLastError(0);
    bx::win::UniqueHandle event(CreateEventW(security.Attributes(), FALSE, FALSE, kGenXmlEventName));
    if (!event) {
        why = L"it could not be created Error: " + std::to_wstring(GetLastError());
        return {};
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return event;
    bool adminOnly = false;
    if (uint32_t error = bx::win::ObjectGrantsAdministratorsOnly(event.get(), adminOnly)) {
        why = L"it exists already and its DACL cannot be read Error: " + std::to_wstring(error);
        return {};
    }
    if (!adminOnly) {
        why = L"it exists already with a DACL this service did not make";
        return {};
    }
    return event;  // this service's own, kept open by another process since its last run
}

}  // namespace

CPLNSvc::CPLNSvc() : CNTService(), CLogImpl(), logger(), crashLogger(nullptr), snooper() {
    // The framework loaded the service name (100), display name (101, also
    // the event-log source) and description (102) from the string table.
    displayName = LoadResourceString(IDS_SERVICE_DISPLAY_NAME);
    productKeyPath = L"SOFTWARE\\Brontavex\\" + displayName;
    controlsAccepted_ = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;
    startType_ = SERVICE_AUTO_START;
}

CPLNSvc::~CPLNSvc() {
    // What a start-up that gave up, or an exception, left behind; a normal
    // run released it all. The connection manager's threads end (a thread
    // that overran the stop is joined) before the logger goes.
    BeginStopping();
    snooper.ConnectionManager().Stop();
    if (!snooper.ConnectionManager().ThreadsEndWithin(kThreadExitWaitMs)) {
        // A thread that does not end at all: the process ends here and
        // leaves the pool, the sockets and the logger to the system, rather
        // than free them under the thread or wait for it for ever. No
        // library's detach runs either: the thread may be inside one.
        if (loggerInitialised_)
            logger.TryLog(
                BXLOG_ERROR,
                L"A connection thread did not end within %u ms: the process ends without releasing what it uses",
                static_cast<unsigned>(kThreadExitWaitMs));
        TerminateProcess(GetCurrentProcess(), bx::kErrorTimeout);
    }
    snooper.ConnectionManager().WaitForThreads();
    CloseEvents();
    snooper.SetLogger(nullptr);
    if (crashHandlerInstalled_) bx::service::RemoveCrashHandler();
    crashLogger = nullptr;
    CleanupLogger();
}

void CPLNSvc::BeginStopping() {
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        stopping_ = true;
        eventsReady_ = false;
        stopRequested_ = false;
    }
    snooper.RefuseSessionChanges();
}

void CPLNSvc::CleanupLogger() {
    std::lock_guard<std::mutex> guard(controlLock_);
    SetLogger(nullptr);
    if (loggerInitialised_) logger.Cleanup();
    loggerInitialised_ = false;
}

void CPLNSvc::CloseEvents() {
    stopEvent.Close();
    ioctlEvent.Close();
    sendEvent.Close();
    genXmlEvent.reset();
}

bool CPLNSvc::StartUp(DWORD& error, DWORD& serviceError) {
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        stopping_ = false;
    }
    logger.Init();
    loggerInitialised_ = true;
    SetLogger(&logger);
    logger.AddFile(bx::files::PathBesideExecutable(kLogFileName).c_str(), kLogFileMaxSize, kLogFileFlags);
    if (Verbose()) logger.AddDebugger();
    logger.Log(BXLOG_INFORMATIONAL, L"Brontavex Halvern is starting..");
    RestrictSettingsKey(logger);

    crashLogger = &logger;
    crashHandlerInstalled_ = bx::service::InstallCrashHandler(&crashLogger) == 0;

    DWORD eventError = 0;
    auto keepFirst = [&](uint32_t rc) {
        if (rc && !eventError) eventError = rc;
    };
    keepFirst(stopEvent.Create(bx::sync::ResetMode::Auto));
    keepFirst(sendEvent.Create(bx::sync::ResetMode::Manual));
    keepFirst(ioctlEvent.Create(bx::sync::ResetMode::Auto));
    if (!stopEvent.IsValid() || !sendEvent.IsValid() || !ioctlEvent.IsValid()) {
        CloseEvents();
        logger.Log(BXLOG_ERROR, L"Event handles creation failed - cannot continue");
        error = eventError;
        serviceError = kExitEventsNotCreated;
        return false;
    }
    // Without the status event the service still reports connections.
    std::wstring why;
    genXmlEvent = CreateStatusEvent(why);
    if (!genXmlEvent)
        logger.Log(BXLOG_WARNING, L"Status requests are off (event %ls): %ls", kGenXmlEventName, why.c_str());

    {
        // A stop asked for before the events existed (a console's Ctrl+C
        // during start-up) ends the run loop at its first wait.
        std::lock_guard<std::mutex> guard(controlLock_);
        eventsReady_ = true;
        if (stopRequested_) stopEvent.Set();
    }
    return true;
}

bool CPLNSvc::InitialiseSnooper(DWORD& error) {
    snooper.SetSendEvent(sendEvent);
    snooper.SetStopEvent(stopEvent);
    snooper.SetReadEvent(ioctlEvent);
    snooper.SetLogger(&logger);

    if (uint32_t rc = snooper.Initialise()) {
        logger.Log(BXLOG_ERROR, L"Failed to initialize internal component - cannot continue");
        error = rc;
        return false;
    }
    return true;
}

bool CPLNSvc::StopRequested() {
    std::lock_guard<std::mutex> guard(controlLock_);
    return stopRequested_;
}

void CPLNSvc::Post() {
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        if (stopRequested_) return;  // asked to stop: nothing to tell the maker
        posting_ = true;
    }
    bx::win::ScopeExit done([this] {
        std::lock_guard<std::mutex> guard(controlLock_);
        posting_ = false;
    });
    PostFeedback(logger, productKeyPath, Verbose() != 0);
}

void CPLNSvc::ServiceRun(DWORD /*argc*/, LPWSTR* /*argv*/) {
    ReportStatus(SERVICE_START_PENDING, 1, 1000);

    // A start-up that gives up ends the service stopped with a non-zero exit
    // code, so that the SCM's recovery actions (and a console's caller) see
    // the failure.
    DWORD error = 0, serviceError = 0;
    auto giveUp = [&] {
        if (error != 0) throw CNTServiceTerminateException(error, 0);
        throw CNTServiceTerminateException(ERROR_SERVICE_SPECIFIC_ERROR, serviceError);
    };
    if (!StartUp(error, serviceError)) giveUp();

    // Running as soon as the events exist: from here a stop is accepted, also
    // while the connection manager starts and while the post waits for a page
    // that does not answer (OnStop then reports stop pending with a wait hint
    // that covers the post's time-outs).
    ReportStatus(SERVICE_RUNNING);
    serviceError = kExitSnooperNotInitialised;
    if (!InitialiseSnooper(error)) giveUp();

    try {
        // The installation-information post, unless a stop came first. Its
        // failures are logged; start-up goes on whatever happened.
        Post();
        WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStarted, displayName_.c_str());
        if (!StopRequested()) snooper.OpenDevice();

        RunLoop();
    } catch (...) {
        // The framework ends the service as failed; the threads go first.
        StopAfterException();
        throw;
    }
    ShutDown();
}

void CPLNSvc::StopAfterException() {
    try {
        ReportStatus(SERVICE_STOP_PENDING, 1, kStopWaitHintMs);
        BeginStopping();
        LogError(L"An unexpected error ended the service's work: stopping");
        snooper.CancelRead(kCancelReadWaitMs);
        snooper.StopConnections();
        snooper.CloseDevice();
    } catch (...) {
        // The original exception is the one reported; the destructor stops
        // whatever is left.
    }
}

void CPLNSvc::RunLoop() {
    HANDLE events[kEventCount] = {};
    events[kStopEvent] = bx::win::NativeHandle(stopEvent);
    events[kSendEvent] = bx::win::NativeHandle(sendEvent);
    events[kIoctlEvent] = bx::win::NativeHandle(ioctlEvent);
    events[kGenXmlEvent] = genXmlEvent.get();
    // The status event is the last one: without it the loop waits on three.
    const DWORD count = genXmlEvent ? kEventCount : kGenXmlEvent;
    CReadBackoff waitBackoff;
    for (;;) {
        const DWORD result = WaitForMultipleObjects(count, events, FALSE, kRunLoopWaitMs);
        if (result == WAIT_FAILED) {
            const DWORD error = GetLastError();
            const bool burstBegins = waitBackoff.Failed();
            const wchar_t* format = L"Run loop wait failed Error: %d: waiting again in %u ms, doubling up to %u ms";
            if (burstBegins)
                LogError(format, static_cast<int>(error), static_cast<unsigned>(waitBackoff.PauseMs()),
                         static_cast<unsigned>(CReadBackoff::kMaxPauseMs));
            else
                LogDebug(format, static_cast<int>(error), static_cast<unsigned>(waitBackoff.PauseMs()),
                         static_cast<unsigned>(CReadBackoff::kMaxPauseMs));
            if (PauseUnlessStopped(waitBackoff.PauseMs())) return;
            continue;
        }
        if (const uint32_t failures = waitBackoff.Succeeded())
            LogInfo(L"Run loop wait succeeds again after %u failures", static_cast<unsigned>(failures));
        if (result == WAIT_TIMEOUT) continue;
        switch (result - WAIT_OBJECT_0) {
            case kStopEvent:
                return;
            case kSendEvent:
                snooper.HandleSend();
                break;
            case kIoctlEvent: {
                LogDebug(L"Snooper IOCTL Events");
                const Snooper::ReadCheck check = snooper.CheckCompletedRead();
                // Still outstanding: the request stays, no second one.
                if (check == Snooper::ReadCheck::Pending) break;
                if (check == Snooper::ReadCheck::Whole) {
                    if (snooper.HandleEvent() == 0)
                        LogError(L"Failed to Handle IOCTL request Error: %d", static_cast<int>(GetLastError()));
                } else if (PauseUnlessStopped(snooper.ReadPauseMs())) {
                    return;
                }
                // The next read is issued whatever happened to this record.
                if (uint32_t rc = snooper.ReadSnoopEvents())
                    LogError(L"Failed to read Next Snoop Evt Error: %d", static_cast<int>(rc));
                break;
            }
            case kGenXmlEvent:
                logger.Log(BXLOG_DEBUG, L"Id:%04d\tReveived XML generation", static_cast<int>(bx::CurrentThreadId()));
                snooper.ConnectionManager().WriteStatusFile();
                break;
            default:
                break;  // wait again
        }
    }
}

bool CPLNSvc::PauseUnlessStopped(DWORD ms) {
    if (ms == 0) return false;
    const DWORD result = WaitForSingleObject(bx::win::NativeHandle(stopEvent), ms);
    if (result == WAIT_OBJECT_0) return true;
    // The stop event itself cannot be waited on: pause all the same.
    if (result == WAIT_FAILED) Sleep(ms);
    return false;
}

void CPLNSvc::ShutDown() {
    // Stop pending (no control accepted) before the first step, and from
    // here on no stop request or session change touches what goes below.
    // The stop control reported check point 1 already.
    ReportStatus(SERVICE_STOP_PENDING, 2, kStopWaitHintMs);
    BeginStopping();
    logger.Log(BXLOG_INFORMATIONAL, L"Stopping Brontavex Halvern...");
    snooper.CancelRead(kCancelReadWaitMs);
    // The pool and the sockets library go only once every thread that can
    // touch a record has ended.
    const uint32_t stopped = snooper.StopConnections();
    snooper.CloseDevice();
    ReportStatus(SERVICE_STOP_PENDING, 3, 1000);
    CloseEvents();
    WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStopped, displayName_.c_str());
    logger.Log(BXLOG_DEBUG, L"Brontavex Halvern finished");
    bx::service::RemoveCrashHandler();
    crashHandlerInstalled_ = false;
    crashLogger = nullptr;
    // A thread that overran its stop still logs through the logger: it stays
    // until the destructor has joined the thread.
    if (stopped != 0) return;
    snooper.SetLogger(nullptr);
    CleanupLogger();
}

void CPLNSvc::OnStop() {
    DWORD waitHint = 0;
    {
        std::lock_guard<std::mutex> guard(controlLock_);
        // Once stopping began the events are closing: nothing to set.
        if (stopping_) return;
        stopRequested_ = true;
        if (!eventsReady_) return;  // set when the events exist
        stopEvent.Set();
        // The service thread sees the stop when the step it is in ends: the
        // post's time-outs, when it is posting, then the stop itself.
        waitHint = kStopWaitHintMs + (posting_ ? kFeedbackWaitHintMs : 0);
    }
    // Stop pending at once, so that the SCM (and -restart) know how long to
    // wait; sent without the control lock (the status send may wait for the
    // SCM's dispatcher, which calls this handler).
    ReportStatus(SERVICE_STOP_PENDING, 1, waitHint);
}

void CPLNSvc::OnPause() {}
void CPLNSvc::OnContinue() {}

DWORD CPLNSvc::OnSessionChange(DWORD eventType, WTSSESSION_NOTIFICATION* notification) {
    if (!notification) return NO_ERROR;
    // Held for the whole change, so that stopping (which takes the lock
    // first) waits for a change in progress; a change that comes later is
    // ignored, with a debug line while the logger is there.
    std::lock_guard<std::mutex> guard(controlLock_);
    if (stopping_) {
        LogDebug(L"Session change %u of SessionID:'%d' ignored: the service is stopping",
                 static_cast<unsigned>(eventType), static_cast<int>(notification->dwSessionId));
        return NO_ERROR;
    }
    snooper.OnSessionChange(eventType, notification->dwSessionId);
    return NO_ERROR;
}

void CPLNSvc::ShowHelp() {
    WriteStdout(L"Usage: BXHVN [ -install | -uninstall | -remove | -start | -stop | -help | -? ]");
}
