// The logger object, its dispatch to the sinks, and the exported interface.
#include <memory>
#include <new>

#include "logger/src/logger_impl.h"

using namespace bx::log;

BXLogger_s::~BXLogger_s() {
    CloseFile(*this);
    CloseEventFile(*this);
    eventSource.source.reset();
    StopSyslog(*this);
    os::FreeStringLibrary(stringLibrary);
}

void BXLogger_s::SetError(std::wstring text) {
    std::lock_guard<std::mutex> lock(stateLock);
    lastError = std::move(text);
}

void BXLogger_s::NoteSelf(const wchar_t* note) const {
    if (selfDiagnostics) os::DebugOutput(std::wstring(L"LoggerSelf: ") + note);
}

namespace {

uint32_t SinkIndex(uint32_t bit) {
    uint32_t index = 0;
    while (bit > 1) bit >>= 1, ++index;
    return index;
}

// Hands the message to every assigned sink, in the fixed sink order, then
// reports each failed sink on the debugger output. 0 when any sink took it.
// mayWait false (TryLog): a sink that would wait for another thread fails.
uint32_t Dispatch(BXLogger_s& log, uint32_t priority, const wchar_t* message, bool mayWait) {
    uint32_t failed[5] = {};
    bool taken = false;
    auto run = [&](uint32_t bit, uint32_t result) {
        if (result == BXLOG_OK) {
            taken = true;
        } else {
            failed[SinkIndex(bit)] = result;
            std::lock_guard<std::mutex> lock(log.stateLock);
            log.sinkErrors[SinkIndex(bit)] = result;
        }
    };
    const uint32_t sinks = log.sinks.load();
    if (sinks & kSinkDebugger) {
        os::DebugOutput(BuildLine(priority, message));
        run(kSinkDebugger, BXLOG_OK);
    }
    if (sinks & kSinkFile) run(kSinkFile, WriteFile(log, priority, message));
    if (sinks & kSinkEventLog) run(kSinkEventLog, WriteEvent(log, EventTypeOf(priority), message));
    if (sinks & kSinkSyslog) run(kSinkSyslog, WriteSyslog(log, priority, message, mayWait));
    if (sinks & kSinkStdout) {
        uint32_t error = 0;
        run(kSinkStdout, os::WriteText(stdout, BuildLine(priority, message), error) < 0 ? error : 0);
    }

    static const struct {
        uint32_t bit;
        const wchar_t* name;
    } kReportOrder[] = {
        {kSinkDebugger, L"Logger failed "},   {kSinkEventLog, L"Event-Logger failed "},
        {kSinkSyslog, L"Sys-Logger failed "}, {kSinkFile, L"File Logger failed "},
        {kSinkStdout, L"Stdout failed "},
    };
    for (const auto& sink : kReportOrder) {
        uint32_t code = failed[SinkIndex(sink.bit)];
        if (!code) continue;
        wchar_t text[64];
        swprintf(text, 64, L"Error:%u \n", code);
        os::DebugOutput(std::wstring(sink.name) + text);
    }
    return taken ? BXLOG_OK : BXLOG_NO_SINK;
}

uint32_t LogArgs(BXLogger_s& log, uint32_t priority, const wchar_t* format, va_list args, bool mayWait = true) {
    if (!format || !*format) return BXLOG_INVALID_PARAMETER;
    wchar_t message[kMessageChars];
    os::FormatV(message, kMessageChars, format, args);
    return Dispatch(log, priority, message, mayWait);
}

// Whether every lock a message can take is free at this moment. A lock held
// by a thread that stopped (a crash) stays held for ever; one held by a live
// thread is let go soon, so a message that follows a free look waits at most
// for a live thread.
bool SinkLocksFree(BXLogger_s& log) {
    std::unique_lock<std::mutex> file(log.fileLock, std::try_to_lock);
    if (!file.owns_lock()) return false;
    std::unique_lock<std::mutex> eventFile(log.eventFileLock, std::try_to_lock);
    if (!eventFile.owns_lock()) return false;
    std::unique_lock<std::mutex> syslog(log.syslog.lock, std::try_to_lock);
    if (!syslog.owns_lock()) return false;
    std::unique_lock<std::mutex> state(log.stateLock, std::try_to_lock);
    return state.owns_lock();
}

uint32_t LogIdArgs(BXLogger_s& log, uint32_t priority, uint32_t messageId, va_list args) {
    std::wstring format;
    {
        std::lock_guard<std::mutex> lock(log.stringLock);  // SetStringDLL may unload it
        if (!log.stringLibrary) return BXLOG_NO_STRING_DLL;
        uint32_t error = os::LoadLibraryString(log.stringLibrary, messageId, kMessageChars, format);
        if (error) return error;
    }
    if (format.empty()) return BXLOG_INVALID_PARAMETER;
    return LogArgs(log, priority, format.c_str(), args);
}

uint32_t SetStringDll(BXLogger_s& log, const wchar_t* path) {
    std::lock_guard<std::mutex> lock(log.stringLock);
    os::FreeStringLibrary(log.stringLibrary);
    log.stringLibrary = nullptr;
    log.stringLibraryPath.clear();
    if (!path || !*path) return BXLOG_OK;
    uint32_t error = 0;
    log.stringLibrary = os::LoadStringLibrary(path, error);
    if (!log.stringLibrary) return error;
    log.stringLibraryPath = path;
    return BXLOG_OK;
}

// One atomic or/and both tests and changes the bit: of two threads adding the
// same sink at once, one adds it and the other is told it was there.
uint32_t AddSimpleSink(BXLogger_s& log, uint32_t bit, const wchar_t* alreadyText) {
    if (log.sinks.fetch_or(bit) & bit) {
        log.SetError(alreadyText);
        return BXLOG_ALREADY_ASSIGNED;
    }
    return BXLOG_OK;
}

uint32_t RemoveSimpleSink(BXLogger_s& log, uint32_t bit) {
    if (!(log.sinks.fetch_and(~bit) & bit)) {
        log.SetError(L"Debugger is NOT assigned.Could not remove.\n");
        return BXLOG_NOT_ASSIGNED;
    }
    return BXLOG_OK;
}

// Runs an operation on a valid handle; no exception leaves the library.
template <typename Fn>
uint32_t Guarded(BXLOG_HANDLE handle, Fn&& fn) {
    if (!handle) return BXLOG_INVALID_PARAMETER;
    try {
        return fn(*handle);
    } catch (const std::bad_alloc&) {
        return 8;  // not enough memory
    } catch (...) {
        return BXLOG_NO_SINK;
    }
}

}  // namespace

extern "C" {

BXLOGGER_API uint32_t BXLog_Init(BXLOG_HANDLE* handle) {
    if (!handle) return BXLOG_INVALID_PARAMETER;
    try {
        std::unique_ptr<BXLogger_s> log(new (std::nothrow) BXLogger_s);
        if (!log) return BXLOG_NO_SINK;
        log->lastError = Text(102);
        log->eventSource.text = Text(102);
        uint32_t error = StartSyslog(*log);
        if (error) return error;
        *handle = log.release();
        return BXLOG_OK;
    } catch (...) {
        return BXLOG_NO_SINK;
    }
}

BXLOGGER_API uint32_t BXLog_Cleanup(BXLOG_HANDLE handle) {
    return Guarded(handle, [&](BXLogger_s& log) {
        delete &log;
        return BXLOG_OK;
    });
}

BXLOGGER_API uint32_t BXLog_SetStringDLL(BXLOG_HANDLE handle, const wchar_t* path) {
    return Guarded(handle, [&](BXLogger_s& log) { return SetStringDll(log, path); });
}

BXLOGGER_API uint32_t BXLog_LogArgList(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, va_list args) {
    return Guarded(handle, [&](BXLogger_s& log) { return LogArgs(log, priority, format, args); });
}

BXLOGGER_API uint32_t BXLog_Log(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t result = BXLog_LogArgList(handle, priority, format, args);
    va_end(args);
    return result;
}

BXLOGGER_API uint32_t BXLog_TryLog(BXLOG_HANDLE handle, uint32_t priority, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t result = Guarded(handle, [&](BXLogger_s& log) {
        return SinkLocksFree(log) ? LogArgs(log, priority, format, args, false) : BXLOG_BUSY;
    });
    va_end(args);
    return result;
}

BXLOGGER_API uint32_t BXLog_LogIdArgList(BXLOG_HANDLE handle, uint32_t priority, uint32_t messageId, va_list args) {
    return Guarded(handle, [&](BXLogger_s& log) { return LogIdArgs(log, priority, messageId, args); });
}

BXLOGGER_API uint32_t BXLog_LogId(BXLOG_HANDLE handle, uint32_t priority, uint32_t messageId, ...) {
    va_list args;
    va_start(args, messageId);
    uint32_t result = BXLog_LogIdArgList(handle, priority, messageId, args);
    va_end(args);
    return result;
}

BXLOGGER_API uint32_t BXLog_AddDebugger(BXLOG_HANDLE handle) {
    return Guarded(handle, [](BXLogger_s& log) {
        return AddSimpleSink(log, kSinkDebugger, L"Debugger is already assigned. Could not add it.\n");
    });
}

BXLOGGER_API uint32_t BXLog_RemoveDebugger(BXLOG_HANDLE handle) {
    return Guarded(handle, [](BXLogger_s& log) { return RemoveSimpleSink(log, kSinkDebugger); });
}

BXLOGGER_API uint32_t BXLog_AddStdout(BXLOG_HANDLE handle) {
    return Guarded(handle, [](BXLogger_s& log) {
        return AddSimpleSink(log, kSinkStdout, L"Stdout is already assigned. Could not add it.\n");
    });
}

BXLOGGER_API uint32_t BXLog_RemoveStdout(BXLOG_HANDLE handle) {
    return Guarded(handle, [](BXLogger_s& log) { return RemoveSimpleSink(log, kSinkStdout); });
}

BXLOGGER_API uint32_t BXLog_AddFile(BXLOG_HANDLE handle, const wchar_t* path, uint32_t maxSize, uint32_t flags) {
    return Guarded(handle, [&](BXLogger_s& log) { return AddFile(log, path, maxSize, flags); });
}

BXLOGGER_API uint32_t BXLog_RemoveFile(BXLOG_HANDLE handle, const wchar_t* path) {
    return Guarded(handle, [&](BXLogger_s& log) { return RemoveFile(log, path); });
}

BXLOGGER_API uint32_t BXLog_AddEventViewer(BXLOG_HANDLE handle, const wchar_t* fileName, const wchar_t* directory,
                                           uint32_t maxSize, uint32_t flags) {
    return Guarded(handle, [&](BXLogger_s& log) { return AddEventViewer(log, fileName, directory, maxSize, flags); });
}

BXLOGGER_API uint32_t BXLog_RemoveEventViewer(BXLOG_HANDLE handle, const wchar_t* fileName) {
    return Guarded(handle, [&](BXLogger_s& log) { return RemoveEventViewer(log, fileName); });
}

BXLOGGER_API uint32_t BXLog_AddSyslogServer(BXLOG_HANDLE handle, const wchar_t* server, uint16_t port) {
    return Guarded(handle, [&](BXLogger_s& log) { return AddSyslogServer(log, server, port); });
}

BXLOGGER_API uint32_t BXLog_RemoveSyslogServer(BXLOG_HANDLE handle, const wchar_t* server, uint16_t port) {
    (void)port;  // a server is removed by its name alone
    return Guarded(handle, [&](BXLogger_s& log) { return RemoveSyslogServer(log, server); });
}

BXLOGGER_API const wchar_t* BXLog_GetErrorStr(BXLOG_HANDLE handle) {
    if (!handle) return nullptr;
    try {
        std::lock_guard<std::mutex> lock(handle->stateLock);
        return handle->errorTexts.insert(handle->lastError).first->c_str();
    } catch (...) {
        return nullptr;  // no memory for the copy
    }
}

}  // extern "C"

// CBXLogger: the same operations on the handle it holds.

CBXLogger::CBXLogger() : handle_(nullptr) {}
CBXLogger::~CBXLogger() {}

uint32_t CBXLogger::Init() {
    BXLOG_HANDLE handle = nullptr;
    uint32_t result = BXLog_Init(&handle);
    if (result == BXLOG_OK) handle_ = handle;
    return result;
}

uint32_t CBXLogger::Cleanup() {
    uint32_t result = BXLog_Cleanup(handle_);
    handle_ = nullptr;
    return result;
}

uint32_t CBXLogger::Log(uint32_t priority, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t result = BXLog_LogArgList(handle_, priority, format, args);
    va_end(args);
    return result;
}

uint32_t CBXLogger::TryLog(uint32_t priority, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    uint32_t result = Guarded(handle_, [&](BXLogger_s& log) {
        return SinkLocksFree(log) ? LogArgs(log, priority, format, args, false) : BXLOG_BUSY;
    });
    va_end(args);
    return result;
}

uint32_t CBXLogger::LogId(uint32_t priority, uint32_t messageId, ...) {
    va_list args;
    va_start(args, messageId);
    uint32_t result = BXLog_LogIdArgList(handle_, priority, messageId, args);
    va_end(args);
    return result;
}

uint32_t CBXLogger::AddDebugger() { return BXLog_AddDebugger(handle_); }
uint32_t CBXLogger::RemoveDebugger() { return BXLog_RemoveDebugger(handle_); }
uint32_t CBXLogger::AddFile(const wchar_t* path, uint32_t maxSize, uint32_t flags) {
    return BXLog_AddFile(handle_, path, maxSize, flags);
}
uint32_t CBXLogger::RemoveFile(const wchar_t* path) { return BXLog_RemoveFile(handle_, path); }
uint32_t CBXLogger::AddEventViewer(const wchar_t* fileName, const wchar_t* directory, uint32_t maxSize,
                                   uint32_t flags) {
    return BXLog_AddEventViewer(handle_, fileName, directory, maxSize, flags);
}
uint32_t CBXLogger::RemoveEventViewer(const wchar_t* fileName) { return BXLog_RemoveEventViewer(handle_, fileName); }
uint32_t CBXLogger::AddSyslogServer(const wchar_t* server, uint16_t port) {
    return BXLog_AddSyslogServer(handle_, server, port);
}
uint32_t CBXLogger::RemoveSyslogServer(const wchar_t* server, uint16_t port) {
    return BXLog_RemoveSyslogServer(handle_, server, port);
}
const wchar_t* CBXLogger::GetErrorStr() const { return BXLog_GetErrorStr(handle_); }
