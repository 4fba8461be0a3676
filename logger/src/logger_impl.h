// The logger object behind BXLOG_HANDLE and the pieces its sinks share.
#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "BXLogger.h"
#include "logger/src/os.h"

namespace bx::log {

// Sink bits of the logger's mask.
constexpr uint32_t kSinkDebugger = 1;
constexpr uint32_t kSinkFile = 2;
constexpr uint32_t kSinkEventLog = 4;
constexpr uint32_t kSinkSyslog = 8;
constexpr uint32_t kSinkStdout = 16;

// Messages are formatted into 1024 characters: at most 1023 of text.
constexpr size_t kMessageChars = 1024;

// Event types of the event-log sinks.
constexpr uint16_t kEventError = 1;
constexpr uint16_t kEventWarning = 2;
constexpr uint16_t kEventInformation = 4;

// The event type of a priority: error for 0 to 3, warning for 4 and 5,
// information above.
inline uint16_t EventTypeOf(uint32_t priority) {
    return priority <= BXLOG_ERROR ? kEventError : priority <= BXLOG_NOTICE ? kEventWarning : kEventInformation;
}

struct EventSourceCloser {
    void operator()(void* source) const { os::DeregisterEventLogSource(source); }
};

// The event-source object: the registered source (none at first) and the
// text of its last failure.
struct EventSourceObject {
    std::unique_ptr<void, EventSourceCloser> source;
    std::wstring text;
};

// The syslog object. Every field is guarded by `lock`, which is never held
// across a name look-up, an ARP request or a send: one thread at a time looks
// the server up (`resolving`) while the others that need its address wait on
// `resolved`, and a look-up that failed is not tried again before `retryAt`.
struct SyslogObject {
    std::mutex lock;
    std::condition_variable resolved;
    std::string serverName;      // in the multibyte code page; empty: none
    uint32_t serverAddress = 0;  // IPv4, network byte order; 0: not resolved
    uint16_t port = 0;           // network byte order
    uint64_t generation = 0;     // counts the servers added: a look-up of an older one is dropped
    bool resolving = false;
    uint32_t lookupError = 0;  // of the last look-up, kept until retryAt
    std::chrono::steady_clock::time_point retryAt;
    bool localKnown = false;    // the two below, looked up at the first AddSyslogServer
    uint32_t localAddress = 0;  // network byte order
    uint32_t netMask = 0;       // network byte order
    bool socketsStarted = false;
    std::wstring text;
};

// A failed look-up of the syslog server is tried again at the first message
// after this long; messages before then fail at once with its error.
constexpr std::chrono::seconds kSyslogLookupRetry{30};

}  // namespace bx::log

struct BXLogger_s {
    // The sink bits; changed with atomic or/and, so that adding and removing
    // sinks on one thread and logging on others need no lock.
    std::atomic<uint32_t> sinks{0};

    // File sink. Open, size check, rotation and write run under fileLock.
    std::mutex fileLock;
    std::wstring filePath;
    uint32_t fileMaxSize = 0;
    uint32_t fileFlags = 0;
    FILE* fileStream = nullptr;
    int64_t filePosition = 0;  // bytes in the file, tracked from the open on
    bool fileStopped = false;

    // Event-log sink: the Windows event log or an event-log file. The file's
    // open, size check, deletion and write run under eventFileLock.
    std::mutex eventFileLock;
    bool eventToWindowsLog = false;
    std::wstring eventFileName;
    std::wstring eventDirectory;
    std::wstring eventFilePath;  // directory, backslash, file name
    uint32_t eventMaxSize = 0;
    uint32_t eventFlags = 0;
    FILE* eventStream = nullptr;
    int64_t eventPosition = 0;
    bool eventFileStopped = false;
    bx::log::EventSourceObject eventSource;

    bx::log::SyslogObject syslog;

    // String library for LogId: loaded, read and unloaded under stringLock.
    std::mutex stringLock;
    bx::log::os::Module stringLibrary = nullptr;
    std::wstring stringLibraryPath;

    // Last failure per sink (indexed by bit number) and the last error text.
    // Guarded by stateLock so that failing sinks on several threads do not race.
    mutable std::mutex stateLock;
    std::array<uint32_t, 5> sinkErrors{};
    std::wstring lastError;
    // Every text GetErrorStr has handed out, kept until Cleanup: a later
    // failure replaces lastError but never frees a text a caller still reads.
    std::set<std::wstring> errorTexts;

    bool selfDiagnostics = true;

    ~BXLogger_s();
    void SetError(std::wstring text);
    void NoteSelf(const wchar_t* note) const;
};

namespace bx::log {

// The library's own texts by id (102 to 140).
const wchar_t* Text(uint32_t id);
// Formats one of the library's texts with the interface's printf convention.
std::wstring FormatText(uint32_t id, ...);
// "the system's message for the code", else text 114 with the code.
std::wstring SystemErrorText(uint32_t code);
// date, time, label and message, ended by "\n".
std::wstring BuildLine(uint32_t priority, const wchar_t* message);

uint32_t AddFile(BXLogger_s& log, const wchar_t* path, uint32_t maxSize, uint32_t flags);
uint32_t RemoveFile(BXLogger_s& log, const wchar_t* path);
uint32_t WriteFile(BXLogger_s& log, uint32_t priority, const wchar_t* message);
void CloseFile(BXLogger_s& log);

uint32_t AddEventViewer(BXLogger_s& log, const wchar_t* fileName, const wchar_t* directory, uint32_t maxSize,
                        uint32_t flags);
uint32_t RemoveEventViewer(BXLogger_s& log, const wchar_t* fileName);
// Writes to the Windows event log or the event-log file, whichever is set.
uint32_t WriteEvent(BXLogger_s& log, uint16_t eventType, const wchar_t* message);
void CloseEventFile(BXLogger_s& log);

// Init's syslog start-up: the socket library and the service's port, no
// look-up; 0 or the failure (its text in the syslog object).
uint32_t StartSyslog(BXLogger_s& log);
void StopSyslog(BXLogger_s& log);
uint32_t AddSyslogServer(BXLogger_s& log, const wchar_t* server, uint16_t port);
uint32_t RemoveSyslogServer(BXLogger_s& log, const wchar_t* server);
// mayWait false (TryLog): while another thread looks the server up, the
// message is not sent and the result is BXLOG_BUSY.
uint32_t WriteSyslog(BXLogger_s& log, uint32_t priority, const wchar_t* message, bool mayWait);
// The datagram text: "<%d>" with the priority OR 8 (facility user), then
// the message in the multibyte code page, cut on a whole character so that
// the whole is at most 1023 bytes.
std::string SyslogDatagram(uint32_t priority, const std::wstring& message);

}  // namespace bx::log
