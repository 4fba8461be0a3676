#include "agent/program/pln_svc.h"

#include <cstdio>

#include "agent/program/feedback_post.h"

#include "agent/service/crash_handler.h"
#include "agent/service/open_security_descriptor.h"
#include "platform/files.h"
#include "platform/thread_id.h"
#include "platform/win/event_handle.h"

using namespace bx::program;

CPLNSvc::CPLNSvc() : CNTService(), CLogImpl(), logger(), crashLogger(nullptr), snooper() {
    // The framework loaded the service name (100), display name (101, also
    // the event-log source) and description (102) from the string table.
    displayName = LoadResourceString(IDS_SERVICE_DISPLAY_NAME);
    productKeyPath = L"SOFTWARE\\Brontavex\\" + displayName;
    controlsAccepted_ = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;
    startType_ = SERVICE_AUTO_START;
}

CPLNSvc::~CPLNSvc() {
    // What a start-up that gave up left behind; a normal run released it all.
    CloseEvents();
    snooper.SetLogger(nullptr);
    if (crashHandlerInstalled_) bx::service::RemoveCrashHandler();
    crashLogger = nullptr;
    if (loggerInitialised_) logger.Cleanup();
}

void CPLNSvc::CloseEvents() {
    stopEvent.Close();
    ioctlEvent.Close();
    sendEvent.Close();
    genXmlEvent.reset();
}

bool CPLNSvc::StartUp(DWORD& error, DWORD& serviceError) {
    logger.Init();
    loggerInitialised_ = true;
    SetLogger(&logger);
    logger.AddFile(bx::files::PathBesideExecutable(kLogFileName).c_str(), kLogFileMaxSize, kLogFileFlags);
    if (Verbose()) logger.AddDebugger();
    logger.Log(BXLOG_INFORMATIONAL, L"Brontavex Halvern is starting..");

    crashLogger = &logger;
    crashHandlerInstalled_ = bx::service::InstallCrashHandler(&crashLogger) == 0;

    DWORD eventError = 0;
    auto keepFirst = [&](uint32_t rc) {
        if (rc && !eventError) eventError = rc;
    };
    keepFirst(stopEvent.Create(bx::sync::ResetMode::Auto));
    keepFirst(sendEvent.Create(bx::sync::ResetMode::Manual));
    keepFirst(ioctlEvent.Create(bx::sync::ResetMode::Auto));
    {
        COpenSecurityDescriptor open;
        genXmlEvent.reset(CreateEventW(open.Attributes(), FALSE, FALSE, kGenXmlEventName));
        if (!genXmlEvent) keepFirst(GetLastError());
    }
    if (!stopEvent.IsValid() || !sendEvent.IsValid() || !ioctlEvent.IsValid() || !genXmlEvent) {
        CloseEvents();
        logger.Log(BXLOG_ERROR, L"Event handles creation failed - cannot continue");
        error = eventError;
        serviceError = kExitEventsNotCreated;
        return false;
    }

    snooper.SetSendEvent(sendEvent);
    snooper.SetStopEvent(stopEvent);
    snooper.SetReadEvent(ioctlEvent);
    snooper.SetLogger(&logger);

    if (uint32_t rc = snooper.Initialise()) {
        logger.Log(BXLOG_ERROR, L"Failed to initialize internal component - cannot continue");
        error = rc;
        serviceError = kExitSnooperNotInitialised;
        return false;
    }
    return true;
}

void CPLNSvc::ServiceRun(DWORD /*argc*/, LPWSTR* /*argv*/) {
    ReportStatus(SERVICE_START_PENDING, 1, 1000);

    DWORD error = 0, serviceError = 0;
    if (!StartUp(error, serviceError)) {
        // Stopped with a non-zero exit code, so that the SCM's recovery
        // actions (and a console's caller) see the failure.
        if (error != 0) throw CNTServiceTerminateException(error, 0);
        throw CNTServiceTerminateException(ERROR_SERVICE_SPECIFIC_ERROR, serviceError);
    }

    // The installation-information post, still start pending: the post may
    // take its WinHTTP time-outs (an unreachable page), which the wait hint
    // covers. Its failures are logged; start-up goes on whatever happened.
    ReportStatus(SERVICE_START_PENDING, 2, kFeedbackWaitHintMs);
    PostFeedback(logger, productKeyPath, Verbose() != 0);
    ReportStatus(SERVICE_RUNNING);

    WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStarted, displayName_.c_str());
    snooper.OpenDevice();

    RunLoop();
    ShutDown();
}

void CPLNSvc::RunLoop() {
    HANDLE events[kEventCount] = {};
    events[kStopEvent] = bx::win::NativeHandle(stopEvent);
    events[kSendEvent] = bx::win::NativeHandle(sendEvent);
    events[kIoctlEvent] = bx::win::NativeHandle(ioctlEvent);
    events[kGenXmlEvent] = genXmlEvent.get();
    CReadBackoff waitBackoff;
    for (;;) {
        const DWORD result = WaitForMultipleObjects(kEventCount, events, FALSE, kRunLoopWaitMs);
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
    logger.Log(BXLOG_INFORMATIONAL, L"Stopping Brontavex Halvern...");
    snooper.CancelRead(kCancelReadWaitMs);
    snooper.ConnectionManager().Stop();
    snooper.CloseDevice();
    snooper.SocketsCleanup();
    snooper.Pool().DestroyAll();
    ReportStatus(SERVICE_STOP_PENDING, 1, 1000);
    CloseEvents();
    WriteEvent(EVENTLOG_INFORMATION_TYPE, kEventServiceStopped, displayName_.c_str());
    snooper.SetLogger(nullptr);
    logger.Log(BXLOG_DEBUG, L"Brontavex Halvern finished");
    bx::service::RemoveCrashHandler();
    crashHandlerInstalled_ = false;
    crashLogger = nullptr;
    SetLogger(nullptr);
    logger.Cleanup();
    loggerInitialised_ = false;
}

void CPLNSvc::OnStop() {
    if (stopEvent.IsValid()) stopEvent.Set();
}

void CPLNSvc::OnPause() {}
void CPLNSvc::OnContinue() {}

DWORD CPLNSvc::OnSessionChange(DWORD eventType, WTSSESSION_NOTIFICATION* notification) {
    if (notification) snooper.OnSessionChange(eventType, notification->dwSessionId);
    return NO_ERROR;
}

void CPLNSvc::ShowHelp() {
    WriteStdout(L"Usage: BXHVN [ -install | -uninstall | -remove | -start | -stop | -help | -? ]");
}
