#include "agent/service/crash_handler.h"

#include <dbghelp.h>

#include <atomic>
#include <string>

#include "BXLogger.h"
#include "platform/files.h"
#include "platform/win/admin_security.h"
#include "platform/win/handles.h"

namespace bx::service {

using bx::win::UniqueFile;
using bx::win::UniqueHandle;
namespace {

// A dump that makes no progress (no callback, no bytes written, no processor
// time used by the dump thread) for this long is given up: its writer is
// stuck, on a lock the crashed thread holds for example.
constexpr DWORD kDumpStallMs = 5000;
// However much progress it makes, the filter waits no longer than this for
// the dump (Wine's writer takes 7 to 22 s; Windows' well under a second).
constexpr DWORD kDumpMaxMs = 60000;
// How long the filter waits for the log line after the dump.
constexpr DWORD kLogWaitMs = 2000;
// The filter's slices while it watches the dump's progress.
constexpr DWORD kProgressSliceMs = 200;

// Made at the first installation and kept for the process's life, so that a
// crash racing the filter's removal never meets freed state: removal only
// clears `installed` and the logger reference. The dump thread waits for a
// crash for as long as the process runs.
struct CrashState {
    std::atomic<CBXLogger* const*> loggerReference{nullptr};
    std::atomic<bool> installed{false};
    std::wstring dumpPath, oldPath, tempPath;
    // The dump's and its temporary file's: SYSTEM and Administrators only.
    bx::win::AdminOnlySecurity security;
    UniqueHandle requestEvent;  // the filter asks for a dump
    UniqueHandle dumpDone;      // the dump thread has written (or failed) it
    UniqueHandle logDone;       // ... and then logged (or could not)
    UniqueHandle filterDone;    // the first crashing thread leaves the filter
    UniqueHandle thread;
    DWORD threadId = 0;
    // The crash being dumped: written by the first crashing thread before it
    // sets requestEvent.
    DWORD crashThreadId = 0;
    EXCEPTION_POINTERS* crashPointers = nullptr;
    std::atomic<bool> claimed{false};  // a crash is being handled
    // Progress of the dump: callbacks of the writer and bytes it wrote.
    std::atomic<uint32_t> callbacks{0};
    std::atomic<HANDLE> dumpFile{nullptr};
    // The logger the dump thread is using, so that removal can wait for it.
    std::atomic<bool> logging{false};
};

std::atomic<CrashState*> g_state{nullptr};

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Counts the writer's callbacks (its progress) and answers each the way the
// writer behaves without a callback: everything included, nothing cancelled,
// failed reads of memory ignored.
BOOL CALLBACK DumpProgress(void* parameter, PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT output) {
    static_cast<CrashState*>(parameter)->callbacks.fetch_add(1);
    if (!input || !output) return FALSE;
    switch (input->CallbackType) {
        case IncludeModuleCallback:
        case IncludeThreadCallback:
        case ModuleCallback:
        case ThreadCallback:
        case ThreadExCallback:
            return TRUE;
        case CancelCallback:
            output->Cancel = FALSE;
            output->CheckCancel = FALSE;
            return TRUE;
        case ReadMemoryFailureCallback:
            output->Status = S_OK;
            return TRUE;
        default:
            return FALSE;
    }
}

// The dump thread's work for one crash. Best effort throughout: nothing here
// can be reported, the process is about to end.
void WriteCrashDump(CrashState& state) {
    // A dump holds the process's memory: never one with the default security.
    if (state.security.Error()) return;
    UniqueFile file(CreateFileW(state.tempPath.c_str(), GENERIC_WRITE | GENERIC_READ, 0, state.security.Attributes(),
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    state.dumpFile.store(file.get());
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = state.crashThreadId;
    exception.ExceptionPointers = state.crashPointers;
    exception.ClientPointers = FALSE;  // the pointers are valid in this process
    MINIDUMP_CALLBACK_INFORMATION progress{};
    progress.CallbackRoutine = DumpProgress;
    progress.CallbackParam = &state;
    BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                                     state.crashPointers ? &exception : nullptr, nullptr, &progress);
    state.dumpFile.store(nullptr);
    file.reset();
    if (!written) {
        DeleteFileW(state.tempPath.c_str());
        return;
    }
    // Keep the previous dump, then put the new one in place.
    if (FileExists(state.dumpPath)) {
        if (FileExists(state.oldPath)) DeleteFileW(state.oldPath.c_str());
        MoveFileW(state.dumpPath.c_str(), state.oldPath.c_str());
    }
    if (!MoveFileExW(state.tempPath.c_str(), state.dumpPath.c_str(), MOVEFILE_REPLACE_EXISTING))
        DeleteFileW(state.tempPath.c_str());
}

// The log line, after the dump, only when the logger can be entered without
// waiting: the crashed thread may have stopped inside it, holding its lock.
void LogCrash(CrashState& state) {
    state.logging.store(true);
    CBXLogger* const* reference = state.loggerReference.load();
    CBXLogger* logger = reference ? *reference : nullptr;
    if (logger) logger->TryLog(BXLOG_ERROR, L"HVN Service has crashed! check the crash dump. ");
    state.logging.store(false);
}

DWORD WINAPI DumpThread(void* parameter) {
    auto* state = static_cast<CrashState*>(parameter);
    while (WaitForSingleObject(state->requestEvent.get(), INFINITE) == WAIT_OBJECT_0 && !state->claimed.load()) {
    }
    WriteCrashDump(*state);
    SetEvent(state->dumpDone.get());
    LogCrash(*state);
    SetEvent(state->logDone.get());
    return 0;
}

// One figure that changes while the dump thread gets on: its callbacks, the
// bytes written so far and the processor time it used.
uint64_t DumpProgressMark(CrashState& state) {
    uint64_t mark = state.callbacks.load();
    if (HANDLE file = state.dumpFile.load()) {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size)) mark += static_cast<uint64_t>(size.QuadPart) << 20;
    }
    FILETIME created, exited, kernel, user;
    if (GetThreadTimes(state.thread.get(), &created, &exited, &kernel, &user))
        mark += (static_cast<uint64_t>(kernel.dwLowDateTime) + user.dwLowDateTime) << 40;
    return mark;
}

// Waits for the dump while it makes progress; false when it stalled or took
// longer than the filter's bound.
bool WaitForDump(CrashState& state) {
    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastProgress = start;
    uint64_t mark = DumpProgressMark(state);
    for (;;) {
        if (WaitForSingleObject(state.dumpDone.get(), kProgressSliceMs) == WAIT_OBJECT_0) return true;
        const ULONGLONG now = GetTickCount64();
        const uint64_t current = DumpProgressMark(state);
        if (current != mark) {
            mark = current;
            lastProgress = now;
        }
        if (now - lastProgress >= kDumpStallMs || now - start >= kDumpMaxMs) return false;
    }
}

}  // namespace

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exceptionPointers) {
    CrashState* state = g_state.load();
    if (state && state->installed.load() && GetCurrentThreadId() != state->threadId) {
        bool expected = false;
        if (state->claimed.compare_exchange_strong(expected, true)) {
            state->crashThreadId = GetCurrentThreadId();
            state->crashPointers = exceptionPointers;
            SetEvent(state->requestEvent.get());
            // The dump first; then the log line, with a bound of its own
            // (it may also wait for the heap the crashed thread holds).
            if (WaitForDump(*state)) WaitForSingleObject(state->logDone.get(), kLogWaitMs);
            SetEvent(state->filterDone.get());
        } else {
            // Another thread crashed meanwhile: it waits for the first one's
            // dump, within the same bounds, before the process ends.
            WaitForSingleObject(state->filterDone.get(), kDumpMaxMs + kLogWaitMs);
        }
    }
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    return EXCEPTION_EXECUTE_HANDLER;
}

uint32_t InstallCrashHandler(CBXLogger* const* loggerReference) {
    if (CrashState* installed = g_state.load()) {
        installed->loggerReference.store(loggerReference);
        installed->installed.store(true);
        SetUnhandledExceptionFilter(CrashFilter);
        return 0;
    }

    auto* state = new (std::nothrow) CrashState;
    if (!state) return ERROR_NOT_ENOUGH_MEMORY;
    state->loggerReference.store(loggerReference);

    // Beside the executable.
    state->dumpPath = bx::files::PathBesideExecutable(kCrashDumpName);
    state->oldPath = bx::files::PathBesideExecutable(kCrashDumpOldName);
    state->tempPath = bx::files::PathBesideExecutable(kCrashDumpTempName);
    // What a crash whose dump was given up left behind.
    DeleteFileW(state->tempPath.c_str());

    for (UniqueHandle* event : {&state->requestEvent, &state->dumpDone, &state->logDone, &state->filterDone}) {
        event->reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!*event) {
            DWORD error = GetLastError();
            delete state;
            return error;
        }
    }
    // A small stack is enough: MiniDumpWriteDump runs here, not on the
    // crashing thread.
    state->thread.reset(
        CreateThread(nullptr, 256 * 1024, DumpThread, state, STACK_SIZE_PARAM_IS_A_RESERVATION, &state->threadId));
    if (!state->thread) {
        DWORD error = GetLastError();
        delete state;
        return error;
    }
    state->installed.store(true);
    g_state.store(state);
    SetUnhandledExceptionFilter(CrashFilter);
    return 0;
}

void RemoveCrashHandler() {
    SetUnhandledExceptionFilter(nullptr);
    CrashState* state = g_state.load();
    if (!state) return;
    state->installed.store(false);
    state->loggerReference.store(nullptr);
    // A crash that got past the installed test before this: its filter ends
    // the process within its bounds. The caller (which frees the logger next)
    // waits for that rather than free the logger under the dump thread.
    if (state->claimed.load()) WaitForSingleObject(state->filterDone.get(), kDumpMaxMs + 2 * kLogWaitMs);
}

}  // namespace bx::service
