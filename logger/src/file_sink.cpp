// The file sink: one log file with an optional size limit, rotated to an
// "old_" copy or stopped when the limit is reached.
#include "logger/src/logger_impl.h"

namespace bx::log {
namespace {

// "old_" in front of the file name, in the file's own directory.
std::wstring OldCopyPath(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    size_t name = slash == std::wstring::npos ? 0 : slash + 1;
    return path.substr(0, name) + L"old_" + path.substr(name);
}

std::wstring WithPath(const wchar_t* format, const std::wstring& path) {
    wchar_t text[kMessageChars];
    swprintf(text, kMessageChars, format, path.c_str());
    return text;
}

void CloseStream(BXLogger_s& log) {
    if (log.fileStream) {
        fclose(log.fileStream);
        log.fileStream = nullptr;
    }
}

}  // namespace

uint32_t AddFile(BXLogger_s& log, const wchar_t* path, uint32_t maxSize, uint32_t flags) {
    if (!path) {
        log.SetError(L"FileName: is empty. Could not add.\n");
        return BXLOG_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(log.fileLock);
    if (log.filePath == path) {
        log.SetError(WithPath(L"FileName:\"%ls\" is already Assigned. Could not add.\n", path));
        return BXLOG_ALREADY_ASSIGNED;
    }
    if (!os::FileMissing(path) && !(flags & (LOGGER_OUTPUT_FILE_FLAG_TRUNCATE | LOGGER_OUTPUT_FILE_FLAG_APPEND))) {
        log.SetError(WithPath(L"FileName:\"%ls\" is Already present at this location. could not add.\n", path));
        return BXLOG_ALREADY_EXISTS;
    }
    // A new path replaces the old one: the old file's stream is closed so
    // that the next line goes to the new file.
    CloseStream(log);
    log.filePath = path;
    log.fileMaxSize = maxSize;
    log.fileFlags = flags;
    log.fileStopped = false;
    log.sinks.fetch_or(kSinkFile);
    return BXLOG_OK;
}

uint32_t RemoveFile(BXLogger_s& log, const wchar_t* path) {
    if (!path) {
        log.SetError(L"Could not remove LogFile Path is NULL.\n");
        return BXLOG_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(log.fileLock);
    if (log.filePath != path) return BXLOG_OK;
    CloseStream(log);
    log.filePath.clear();
    log.sinks.fetch_and(~kSinkFile);
    return BXLOG_OK;
}

void CloseFile(BXLogger_s& log) {
    std::lock_guard<std::mutex> lock(log.fileLock);
    CloseStream(log);
}

uint32_t WriteFile(BXLogger_s& log, uint32_t priority, const wchar_t* message) {
    std::wstring line = BuildLine(priority, message);
    std::lock_guard<std::mutex> lock(log.fileLock);
    if (log.fileStopped) {
        log.SetError(Text(123));
        return BXLOG_FILE_FULL;
    }
    if (log.filePath.empty()) {
        log.SetError(Text(124));
        return BXLOG_INVALID_PARAMETER;
    }
    if (!log.fileStream) {
        int crtError = 0;
        uint32_t systemError = 0;
        log.fileStream = os::OpenLogFile(log.filePath, log.fileFlags & LOGGER_OUTPUT_FILE_FLAG_TRUNCATE,
                                         log.fileFlags & LOGGER_OUTPUT_FILE_FLAG_EXCLUSIVE, crtError, systemError);
        if (!log.fileStream) {
            log.SetError(FormatText(125, log.filePath.c_str()) + SystemErrorText(systemError));
            return static_cast<uint32_t>(crtError);
        }
        log.filePosition = os::FileSize(log.fileStream);
    }
    if (log.fileMaxSize &&
        log.filePosition + static_cast<int64_t>(line.size()) >= static_cast<int64_t>(log.fileMaxSize)) {
        if (log.fileFlags & LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL) {
            log.SetError(Text(140));
            log.fileStopped = true;
            return BXLOG_FILE_FULL;
        }
        log.NoteSelf(L"Max.size of Log File is achieved! Creating New file..\n");
        os::RotateStream(log.fileStream, OldCopyPath(log.filePath));
        log.filePosition = 0;
    }
    uint32_t error = 0;
    int64_t written = os::WriteText(log.fileStream, line, error);
    if (written < 0) {
        log.SetError(FormatText(126, log.filePath.c_str()) + SystemErrorText(error));
        return error;
    }
    log.filePosition += written;
    return BXLOG_OK;
}

}  // namespace bx::log
