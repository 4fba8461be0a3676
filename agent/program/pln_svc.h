// CPLNSvc: the agent service. Start-up opens the log, installs the crash
// handler, creates the four events the run loop waits on, reports running,
// starts the snooper (and with it the connection manager's threads), posts
// the installation information, writes the started event and opens the
// driver; the run loop then serves driver records, status-file requests and
// the stop request on the service thread; shut-down undoes it all in order.
// A stop is accepted from "running" on; one that comes during start-up skips
// the steps still ahead (post, driver) and ends the loop at its first wait.
//
// Start-up that gives up (the events cannot be created, or the snooper cannot
// be initialised) ends the service with CNTServiceTerminateException: the SCM
// then sees the service stopped with a non-zero exit code (the Win32 error of
// the failing step), so that its recovery actions apply; in a console the
// program exits with that code.
#pragma once
#include <windows.h>

#include <mutex>
#include <string>

#include "BXLogger.h"
#include "agent/service/nt_service.h"
#include "agent/settings/log_impl.h"
#include "agent/snoop/snooper.h"
#include "platform/event.h"
#include "platform/win/handles.h"

namespace bx::program {

// Wait indexes of the run loop's four events.
enum EventIndex : DWORD { kStopEvent = 0, kSendEvent = 1, kIoctlEvent = 2, kGenXmlEvent = 3, kEventCount = 4 };

constexpr wchar_t kGenXmlEventName[] = L"Global\\BXGlobalGenXml";
constexpr wchar_t kLogFileName[] = L"BXHVNAgent.log";
constexpr uint32_t kLogFileMaxSize = 1048576;
constexpr uint32_t kLogFileFlags = 10;
constexpr DWORD kRunLoopWaitMs = 5000;
constexpr DWORD kEventServiceStarted = 0x40000001;
constexpr DWORD kEventServiceStopped = 0x40000003;
// Bound of the wait for the cancelled driver read at shut-down.
constexpr DWORD kCancelReadWaitMs = 2000;
// How long the service object's end waits for a connection thread that
// overran its stop before the process ends without it.
constexpr DWORD kThreadExitWaitMs = 30000;
// Wait hint of the stop: the cancelled read and the three threads' bounds.
constexpr DWORD kStopWaitHintMs = kCancelReadWaitMs + 3 * 5000 + 1000;
// Service-specific exit codes, used when the failing step left no Win32
// error to report: the events, the internal component.
constexpr DWORD kExitEventsNotCreated = 1;
constexpr DWORD kExitSnooperNotInitialised = 2;

}  // namespace bx::program

class CPLNSvc : public CNTService, public CLogImpl {
public:
    CPLNSvc();
    ~CPLNSvc() override;
    CPLNSvc(const CPLNSvc&) = delete;
    CPLNSvc& operator=(const CPLNSvc&) = delete;

    void ServiceRun(DWORD argc, LPWSTR* argv) override;
    void OnStop() override;
    void OnPause() override;
    void OnContinue() override;
    DWORD OnSessionChange(DWORD eventType, WTSSESSION_NOTIFICATION* notification) override;
    void ShowHelp() override;

    const std::wstring& DisplayName() const { return displayName; }
    const std::wstring& ProductKeyPath() const { return productKeyPath; }
    Snooper& GetSnooper() { return snooper; }

protected:
    // Members, in order.
    CBXLogger logger;
    std::wstring displayName;
    std::wstring productKeyPath;
    // The run loop's events (wait indexes in bx::program::EventIndex): the three
    // unnamed ones the snooper shares, and the named status-file event (for
    // SYSTEM and Administrators only; none when another process made an event
    // of that name first).
    bx::sync::Event stopEvent;
    bx::sync::Event sendEvent;
    bx::sync::Event ioctlEvent;
    bx::win::UniqueHandle genXmlEvent;
    CBXLogger* crashLogger;
    Snooper snooper;

private:
    // Start-up steps 2 to 7 (logger, crash handler, events); false when
    // start-up gave up (error set).
    bool StartUp(DWORD& error, DWORD& serviceError);
    // Steps 9 and 10, after running was reported: the snooper's events and
    // logger, then its initialisation (sockets, the connection manager).
    bool InitialiseSnooper(DWORD& error);
    // Whether a stop was asked for since start-up began.
    bool StopRequested();
    // The installation-information post (step 11), skipped when a stop came
    // first; while it runs, a stop's wait hint covers its time-outs.
    void Post();
    void RunLoop();
    // Waits `ms` milliseconds for the stop event: true when it came. While
    // the driver's reads or the loop's own wait keep failing, this is the
    // pause that keeps the loop from spinning without delaying a stop.
    bool PauseUnlessStopped(DWORD ms);
    void ShutDown();
    // An exception left the work: the driver read is cancelled and the
    // connection manager's threads stopped, so that none of them is left
    // logging into a logger or releasing into a pool that goes next.
    void StopAfterException();
    // Marks the start of stopping: later stop requests and session changes
    // are ignored (the events and tables they would touch are going).
    void BeginStopping();
    // Detaches and cleans up the logger, under the control lock, so that a
    // session change on the control thread never logs into a freed logger.
    void CleanupLogger();
    // Closes whichever of the four events exist, in the order stop, IOCTL,
    // send, status file.
    void CloseEvents();

    // Guards the hand-over between the control handler's thread (OnStop,
    // OnSessionChange) and the service thread: whether the events exist,
    // whether stopping began, whether a stop was asked for (also before the
    // events existed), and whether the post runs.
    std::mutex controlLock_;
    bool eventsReady_ = false;
    bool stopping_ = false;
    bool stopRequested_ = false;
    bool posting_ = false;

    bool loggerInitialised_ = false;
    bool crashHandlerInstalled_ = false;
};
