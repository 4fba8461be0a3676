// The event-log sink: the Windows event log under the library's event source,
// or an event-log file of its own with a size limit.
#include "logger/src/logger_impl.h"

namespace bx::log {
namespace {

const wchar_t kEventSourceName[] = BXLOG_EVENT_SOURCE;

std::wstring WithName(const wchar_t* format, const std::wstring& name) {
    wchar_t text[kMessageChars];
    swprintf(text, kMessageChars, format, name.c_str());
    return text;
}

void CloseEventStream(BXLogger_s& log) {
    if (log.eventStream) {
        fclose(log.eventStream);
        log.eventStream = nullptr;
    }
}

// The Windows event log: (re)registers the library's event source.
uint32_t AddWindowsEventLog(BXLogger_s& log) {
    std::lock_guard<std::mutex> lock(log.eventFileLock);
    log.eventToWindowsLog = true;
    CloseEventStream(log);  // the event-log file, if any, is no longer written
    log.sinks.fetch_or(kSinkEventLog);
    log.eventSource.source.reset();
    os::EventSource source = nullptr;
    bool registryFailed = false;
    uint32_t error = os::RegisterEventLogSource(kEventSourceName, source, registryFailed);
    if (error) {
        log.eventSource.text = Text(110);
        log.SetError(log.eventSource.text + SystemErrorText(error));
        return error;
    }
    log.eventSource.source.reset(source);
    return BXLOG_OK;
}

// Both writes run under the event-file lock.
uint32_t WriteWindowsEventLog(BXLogger_s& log, uint16_t eventType, const wchar_t* message) {
    uint32_t error = 6;  // ERROR_INVALID_HANDLE: no source is registered
    if (log.eventSource.source) {
        error = os::ReportEventLog(log.eventSource.source.get(), eventType, message);
        if (!error) return BXLOG_OK;
        log.eventSource.text = L"ReportEvent failed. " + SystemErrorText(error);
    }
    log.SetError(log.eventSource.text);
    return error;
}

const wchar_t* TypeLabel(uint16_t eventType) {
    switch (eventType) {
        case kEventError:
            return Text(106);
        case kEventWarning:
            return Text(107);
        case kEventInformation:
            return Text(108);
        default:
            return L"\t";
    }
}

uint32_t WriteEventFile(BXLogger_s& log, uint16_t eventType, const wchar_t* message) {
    // The date and time of the line format, then the event type's label.
    std::wstring line = BuildLine(BXLOG_DEBUG + 1, L"");
    line.pop_back();  // the "\n" of the empty message
    line += TypeLabel(eventType);
    line += message;
    line += L'\n';

    if (log.eventFileStopped) {
        log.SetError(Text(136));
        return BXLOG_FILE_FULL;
    }
    if (log.eventFilePath.empty()) {
        log.SetError(L"Log to EventFile Specifled! but the Filename is NULL\n" +
                     SystemErrorText(BXLOG_INVALID_PARAMETER));
        return BXLOG_INVALID_PARAMETER;
    }
    const bool exclusive = log.eventFlags & LOGGER_OUTPUT_FILE_FLAG_EXCLUSIVE;
    if (!log.eventStream) {
        int crtError = 0;
        uint32_t systemError = 0;
        log.eventStream = os::OpenLogFile(log.eventFilePath, log.eventFlags & LOGGER_OUTPUT_FILE_FLAG_TRUNCATE,
                                          exclusive, crtError, systemError);
        if (!log.eventStream) {
            if (!systemError) systemError = static_cast<uint32_t>(crtError);
            log.SetError(FormatText(137, log.eventFilePath.c_str()) + SystemErrorText(systemError));
            return systemError;
        }
        log.eventPosition = os::FileSize(log.eventStream);
    }
    if (log.eventMaxSize &&
        log.eventPosition + static_cast<int64_t>(line.size()) >= static_cast<int64_t>(log.eventMaxSize)) {
        if (log.eventFlags & LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL) {
            log.SetError(Text(139));
            log.eventFileStopped = true;
            return BXLOG_FILE_FULL;
        }
        // Event-log files keep no "old_" copy: the file starts anew.
        log.NoteSelf(L"Max-Evt Log File Size Exceeds Max Limit Creating New file..\n");
        CloseEventStream(log);
        os::RemoveFile(log.eventFilePath);
        int crtError = 0;
        uint32_t systemError = 0;
        log.eventStream = os::OpenLogFile(log.eventFilePath, false, exclusive, crtError, systemError);
        if (!log.eventStream) {
            if (!systemError) systemError = static_cast<uint32_t>(crtError);
            log.SetError(FormatText(137, log.eventFilePath.c_str()) + SystemErrorText(systemError));
            return systemError;
        }
        log.eventPosition = 0;
    }
    uint32_t error = 0;
    int64_t written = os::WriteText(log.eventStream, line, error);
    if (written < 0) {
        log.SetError(Text(138) + SystemErrorText(error));
        return error;
    }
    log.eventPosition += written;
    return BXLOG_OK;
}

}  // namespace

uint32_t AddEventViewer(BXLogger_s& log, const wchar_t* fileName, const wchar_t* directory, uint32_t maxSize,
                        uint32_t flags) {
    if (!fileName) return AddWindowsEventLog(log);
    if (!directory) {
        log.SetError(L"Could not add to EventViewer File Path Must not be NULL if FileName is given\n");
        return BXLOG_INVALID_PARAMETER;
    }
    std::wstring path;
    if (*directory) {
        path = directory;
        if (path.back() != L'\\' && path.back() != os::kPathSeparator) path += os::kPathSeparator;
        path += fileName;
    }
    std::lock_guard<std::mutex> lock(log.eventFileLock);
    if (!os::FileMissing(path) && !(flags & LOGGER_OUTPUT_FILE_FLAG_TRUNCATE)) {
        log.SetError(WithName(L"FileName:\"%ls\" Already Exist at location. Counld not add Evt-Log File\n", path));
        return BXLOG_ALREADY_EXISTS;
    }
    if (!log.eventFilePath.empty() && log.eventFilePath == path) {
        log.SetError(WithName(L"FileName:\"%ls\" Already assigned to Evt-Log File.\n", path));
        return BXLOG_ALREADY_ASSIGNED;
    }
    // Another file replaces the current one: its stream is closed so that
    // the next line goes to the new file.
    CloseEventStream(log);
    log.eventFileName = fileName;
    log.eventDirectory = directory;
    log.eventFilePath = path;
    log.eventMaxSize = maxSize;
    log.eventFlags = flags;
    log.eventFileStopped = false;
    log.eventToWindowsLog = false;
    log.sinks.fetch_or(kSinkEventLog);
    return BXLOG_OK;
}

uint32_t RemoveEventViewer(BXLogger_s& log, const wchar_t* fileName) {
    if (!fileName) {
        log.SetError(L"Could not remove from EventViewer path is NULL.\n");
        return BXLOG_INVALID_PARAMETER;
    }
    // Whatever the name: the event-log sink ends. A registered event source
    // stays registered.
    std::lock_guard<std::mutex> lock(log.eventFileLock);
    CloseEventStream(log);
    log.eventFileName.clear();
    log.eventDirectory.clear();
    log.eventFilePath.clear();
    log.sinks.fetch_and(~kSinkEventLog);
    return BXLOG_OK;
}

uint32_t WriteEvent(BXLogger_s& log, uint16_t eventType, const wchar_t* message) {
    std::lock_guard<std::mutex> lock(log.eventFileLock);
    return log.eventToWindowsLog ? WriteWindowsEventLog(log, eventType, message)
                                 : WriteEventFile(log, eventType, message);
}

void CloseEventFile(BXLogger_s& log) {
    std::lock_guard<std::mutex> lock(log.eventFileLock);
    CloseEventStream(log);
}

}  // namespace bx::log
