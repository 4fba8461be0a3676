/*
 * BXLogger: a logger behind an opaque handle that writes each message to any
 * of its sinks: the debugger output, one size-limited log file and standard
 * output (with date, time and priority label), the Windows event log or an
 * event-log file, and a syslog server.
 *
 * The C functions take the handle first; CBXLogger wraps the same handle.
 * Formats follow the Windows C runtime's wide printf convention: in a wide
 * format "%s" takes a wide string (as does "%ls"), "%hs" a narrow one.
 * Every function returns 0 or a Windows error number (see the BXLOG_ codes).
 *
 * The files the logger writes (the log file, its "old_" copy, the event-log
 * file) grant access to SYSTEM and Administrators only (natively: mode 0600),
 * also a file that was there before: the process must be allowed to change
 * its DACL (or mode). One logger may be used by several threads at once,
 * adding and removing sinks included.
 */
#ifndef BXLOGGER_H
#define BXLOGGER_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#if defined(BXLOGGER_BUILD)
#define BXLOGGER_API __declspec(dllexport)
#else
#define BXLOGGER_API __declspec(dllimport)
#endif
#else
#define BXLOGGER_API __attribute__((visibility("default")))
#endif

/* Priorities (as in syslog). */
#define BXLOG_EMERGENCY 0u
#define BXLOG_ALERT 1u
#define BXLOG_CRITICAL 2u
#define BXLOG_ERROR 3u
#define BXLOG_WARNING 4u
#define BXLOG_NOTICE 5u
#define BXLOG_INFORMATIONAL 6u
#define BXLOG_DEBUG 7u

/* File sink option flags. */
#define LOGGER_OUTPUT_FILE_FLAG_TRUNCATE 1u     /* accept an existing file, open it truncated */
#define LOGGER_OUTPUT_FILE_FLAG_APPEND 2u       /* accept an existing file, append to it */
#define LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL 4u /* at the maximum size stop instead of rotating */
#define LOGGER_OUTPUT_FILE_FLAG_EXCLUSIVE 16u   /* others may neither read nor write the file */

/* The Windows event log's source (AddEventViewer with a null file name). Its
   registry entry names "EvtMessages.dll" in the host program's directory as
   its message file. */
#define BXLOG_EVENT_SOURCE L"Brontavex Pellanor"

/* Result codes (Windows error numbers). */
#define BXLOG_OK 0u
#define BXLOG_NO_STRING_DLL 21u /* LogId before SetStringDLL */
#define BXLOG_NO_SINK 31u       /* no sink took the message, or Init could not allocate */
#define BXLOG_ALREADY_ASSIGNED 85u
#define BXLOG_INVALID_PARAMETER 87u
#define BXLOG_BUSY 170u /* TryLog: a sink's lock is held by another thread */
#define BXLOG_ALREADY_EXISTS 183u
#define BXLOG_NOT_ASSIGNED 1168u
#define BXLOG_FILE_FULL 6628u /* the file reached its maximum with STOPWHENFULL */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BXLogger_s* BXLOG_HANDLE;

BXLOGGER_API uint32_t BXLog_Init(BXLOG_HANDLE* handle);
BXLOGGER_API uint32_t BXLog_Cleanup(BXLOG_HANDLE handle);
BXLOGGER_API uint32_t BXLog_SetStringDLL(BXLOG_HANDLE handle, const wchar_t* path);
BXLOGGER_API uint32_t BXLog_Log(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, ...);
BXLOGGER_API uint32_t BXLog_LogArgList(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, va_list args);
/* Logs like BXLog_Log only when no sink's lock is held at the time of the
   call: otherwise it writes nothing and returns BXLOG_BUSY at once. For a
   caller that must never wait for another thread, such as a crash filter whose
   crashed thread may have stopped while holding a lock. */
BXLOGGER_API uint32_t BXLog_TryLog(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, ...);
BXLOGGER_API uint32_t BXLog_LogId(BXLOG_HANDLE handle, uint32_t priority, uint32_t messageId, ...);
BXLOGGER_API uint32_t BXLog_LogIdArgList(BXLOG_HANDLE handle, uint32_t priority, uint32_t messageId, va_list args);
BXLOGGER_API uint32_t BXLog_AddDebugger(BXLOG_HANDLE handle);
BXLOGGER_API uint32_t BXLog_RemoveDebugger(BXLOG_HANDLE handle);
BXLOGGER_API uint32_t BXLog_AddStdout(BXLOG_HANDLE handle);
BXLOGGER_API uint32_t BXLog_RemoveStdout(BXLOG_HANDLE handle);
BXLOGGER_API uint32_t BXLog_AddFile(BXLOG_HANDLE handle, const wchar_t* path, uint32_t maxSize, uint32_t flags);
BXLOGGER_API uint32_t BXLog_RemoveFile(BXLOG_HANDLE handle, const wchar_t* path);
/* Event-log sink: a null file name selects the Windows event log (source
   BXLOG_EVENT_SOURCE); else the file name in `directory` (maximum size 0: no
   limit; flags TRUNCATE, STOPWHENFULL and EXCLUSIVE as for AddFile). */
BXLOGGER_API uint32_t BXLog_AddEventViewer(BXLOG_HANDLE handle, const wchar_t* fileName, const wchar_t* directory,
                                           uint32_t maxSize, uint32_t flags);
BXLOGGER_API uint32_t BXLog_RemoveEventViewer(BXLOG_HANDLE handle, const wchar_t* fileName);
/* Syslog sink: a host name or dotted IPv4 address, and the UDP port in network
   byte order (htons(514) for the standard port). Each message goes as one
   datagram "<PRI>message" (PRI = priority + 8: facility user), in the ANSI code
   page, at most 1023 bytes, cut after a whole character. A new server name is
   resolved again at the next message. RemoveSyslogServer compares the name
   only. */
BXLOGGER_API uint32_t BXLog_AddSyslogServer(BXLOG_HANDLE handle, const wchar_t* server, uint16_t port);
BXLOGGER_API uint32_t BXLog_RemoveSyslogServer(BXLOG_HANDLE handle, const wchar_t* server, uint16_t port);
/* The last error text. The text stays as it is, and valid, until the handle is
   cleaned up, whatever other threads do with the logger meanwhile. */
BXLOGGER_API const wchar_t* BXLog_GetErrorStr(BXLOG_HANDLE handle);

#ifdef __cplusplus
} /* extern "C" */

/*
 * The logger as a class. It holds nothing but the handle: copies share one
 * logger, and the destructor does nothing, so the owner calls Cleanup.
 * A method called on an object without a handle returns 87.
 */
class BXLOGGER_API CBXLogger {
public:
    CBXLogger();
    ~CBXLogger();

    uint32_t Init();
    uint32_t Cleanup();
    uint32_t Log(uint32_t priority, const wchar_t* format, ...);
    /* BXLog_TryLog: BXLOG_BUSY instead of waiting for a sink's lock. */
    uint32_t TryLog(uint32_t priority, const wchar_t* format, ...);
    uint32_t LogId(uint32_t priority, uint32_t messageId, ...);
    uint32_t AddDebugger();
    uint32_t RemoveDebugger();
    uint32_t AddFile(const wchar_t* path, uint32_t maxSize, uint32_t flags);
    uint32_t RemoveFile(const wchar_t* path);
    uint32_t AddEventViewer(const wchar_t* fileName, const wchar_t* directory, uint32_t maxSize, uint32_t flags);
    uint32_t RemoveEventViewer(const wchar_t* fileName);
    uint32_t AddSyslogServer(const wchar_t* server, uint16_t port);
    uint32_t RemoveSyslogServer(const wchar_t* server, uint16_t port);
    const wchar_t* GetErrorStr() const;

private:
    BXLOG_HANDLE handle_;
};
#endif /* __cplusplus */

#endif /* BXLOGGER_H */
