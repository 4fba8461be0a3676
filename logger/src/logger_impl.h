// The logger object behind BXLOG_HANDLE and the pieces its sinks share.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "BXLogger.h"
#include "logger/src/os.h"

namespace bxlog {

// Sink bits of the logger's mask.
constexpr uint32_t kSinkDebugger = 1;
constexpr uint32_t kSinkFile = 2;
constexpr uint32_t kSinkEventLog = 4;
constexpr uint32_t kSinkSyslog = 8;
constexpr uint32_t kSinkStdout = 16;

// Messages are formatted into 1024 characters: at most 1023 of text.
constexpr size_t kMessageChars = 1024;

}  // namespace bxlog

struct BXLogger_s {
    uint32_t sinks = 0;

    // File sink. Open, size check, rotation and write run under fileLock.
    std::mutex fileLock;
    std::wstring filePath;
    uint32_t fileMaxSize = 0;
    uint32_t fileFlags = 0;
    FILE* fileStream = nullptr;
    int64_t filePosition = 0;  // bytes in the file, tracked from the open on
    bool fileStopped = false;

    // String library for LogId.
    bxlog::os::Module stringLibrary = nullptr;
    std::wstring stringLibraryPath;

    // Last failure per sink (indexed by bit number) and the last error text.
    // Guarded by stateLock so that failing sinks on several threads do not race.
    mutable std::mutex stateLock;
    std::array<uint32_t, 5> sinkErrors{};
    std::wstring lastError;

    bool selfDiagnostics = true;

    ~BXLogger_s();
    void SetError(std::wstring text);
    void NoteSelf(const wchar_t* note) const;
};

namespace bxlog {

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

}  // namespace bxlog
