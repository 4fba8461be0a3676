#include "agent/service/crash_handler.h"

#include <dbghelp.h>

#include <atomic>
#include <string>

#include "BXLogger.h"
#include "agent/service/open_security_descriptor.h"
#include "platform/files.h"
#include "platform/win/handles.h"

namespace bx::service {

using bx::win::UniqueFile;
using bx::win::UniqueHandle;
namespace {

// How long a crashing thread waits for its dump: MiniDumpWriteDump of a
// normal dump takes well under a second on Windows (seconds under Wine).
constexpr DWORD kDumpWaitMs = 60000;
// How long removal waits for the dump thread to end.
constexpr DWORD kRemoveWaitMs = 5000;

// Made at installation, used by the filter and the dump thread.
struct CrashState {
    std::atomic<CBXLogger* const*> loggerReference{nullptr};
    std::wstring dumpPath, oldPath, tempPath;
    COpenSecurityDescriptor security;
    UniqueHandle requestEvent;  // the filter asks for a dump
    UniqueHandle doneEvent;     // the dump thread has finished it
    UniqueHandle thread;
    DWORD threadId = 0;
    // The crash being dumped: written by the first crashing thread before it
    // sets requestEvent.
    DWORD crashThreadId = 0;
    EXCEPTION_POINTERS* crashPointers = nullptr;
    std::atomic<bool> claimed{false};  // a crash is being handled
    std::atomic<bool> quit{false};     // removal: the dump thread ends
};

std::atomic<CrashState*> g_state{nullptr};

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The dump thread's work for one crash. Best effort throughout: nothing here
// can be reported, the process is about to end.
void WriteCrashDump(CrashState& state) {
    CBXLogger* const* reference = state.loggerReference.load();
    CBXLogger* logger = reference ? *reference : nullptr;
    if (logger) logger->Log(BXLOG_ERROR, L"HVN Service has crashed! check the crash dump. ");

    UniqueFile file(CreateFileW(state.tempPath.c_str(), GENERIC_WRITE, 0, state.security.Attributes(), CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    MINIDUMP_EXCEPTION_INFORMATION exception{};
    exception.ThreadId = state.crashThreadId;
    exception.ExceptionPointers = state.crashPointers;
    exception.ClientPointers = FALSE;  // the pointers are valid in this process
    BOOL written = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal,
                                     state.crashPointers ? &exception : nullptr, nullptr, nullptr);
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

DWORD WINAPI DumpThread(void* parameter) {
    auto* state = static_cast<CrashState*>(parameter);
    WaitForSingleObject(state->requestEvent.get(), INFINITE);
    if (!state->quit.load()) WriteCrashDump(*state);
    SetEvent(state->doneEvent.get());
    return 0;
}

}  // namespace

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* exceptionPointers) {
    CrashState* state = g_state.load();
    if (state && GetCurrentThreadId() != state->threadId) {
        bool expected = false;
        if (state->claimed.compare_exchange_strong(expected, true)) {
            state->crashThreadId = GetCurrentThreadId();
            state->crashPointers = exceptionPointers;
            SetEvent(state->requestEvent.get());
        }
        // The first crashing thread, and any that crash while it is dumped,
        // wait for the dump before the process ends.
        WaitForSingleObject(state->doneEvent.get(), kDumpWaitMs);
    }
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    return EXCEPTION_EXECUTE_HANDLER;
}

uint32_t InstallCrashHandler(CBXLogger* const* loggerReference) {
    if (CrashState* installed = g_state.load()) {
        installed->loggerReference.store(loggerReference);
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

    state->requestEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    state->doneEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->requestEvent || !state->doneEvent) {
        DWORD error = GetLastError();
        delete state;
        return error;
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
    g_state.store(state);
    SetUnhandledExceptionFilter(CrashFilter);
    return 0;
}

void RemoveCrashHandler() {
    SetUnhandledExceptionFilter(nullptr);
    CrashState* state = g_state.exchange(nullptr);
    if (!state) return;
    state->quit.store(true);
    SetEvent(state->requestEvent.get());
    if (WaitForSingleObject(state->thread.get(), kRemoveWaitMs) != WAIT_OBJECT_0) {
        // A dump still being written (a crash raced the removal): leave the
        // state to the ending process rather than free it under the thread.
        return;
    }
    delete state;
}

}  // namespace bx::service
