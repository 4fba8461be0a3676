// A program that installs the crash handler and then faults, for the crash
// dump tests. It logs to "victim.log" beside itself and prints the id of the
// thread that will fault.
//   crash_victim crash     install the handler, fault on a second thread
//   crash_victim removed   install and remove the handler, then fault
//   crash_victim partial   like crash, but the dump writer writes a few bytes
//                          and fails (this program's import of
//                          MiniDumpWriteDump is pointed at a stand-in)
//   crash_victim quick     like crash, but the dump writer is a stand-in
//                          that writes "dump of thread <id>" at once (Wine's
//                          real writer takes many seconds per dump)
//   crash_victim locked    the quick writer, and the fault comes inside the
//                          logger while it holds its file lock (BXLogger's
//                          import of the C runtime's fwrite is pointed at a
//                          function that faults)
//   crash_victim stuck     like crash, but the dump writer never returns (as
//                          one stuck on a lock the crashed thread holds)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include <dbghelp.h>

#include "BXLogger.h"
#include "agent/service/crash_handler.h"

extern "C" {
// This program's import slot for MiniDumpWriteDump (mingw's name for it).
extern decltype(&MiniDumpWriteDump) __imp_MiniDumpWriteDump;
}

namespace {

// A dump writer that stops half-way, as one would on a full disk.
BOOL WINAPI PartialDump(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                        PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
    DWORD written = 0;
    WriteFile(file, "MDMP\x93\xa7", 6, &written, nullptr);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

DWORD WINAPI Fault(void*) {
    std::printf("thread %lu\n", GetCurrentThreadId());
    std::fflush(stdout);
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

// A quick dump writer: the file names the thread it was given.
BOOL WINAPI QuickDump(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION exception,
                      PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
    char text[64];
    int n = std::snprintf(text, sizeof(text), "dump of thread %lu", exception ? exception->ThreadId : 0ul);
    DWORD written = 0;
    return WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr);
}

void ReplaceDumpWriter(decltype(&MiniDumpWriteDump) writer) {
    DWORD old = 0;
    VirtualProtect(&__imp_MiniDumpWriteDump, sizeof(void*), PAGE_READWRITE, &old);
    __imp_MiniDumpWriteDump = writer;
    VirtualProtect(&__imp_MiniDumpWriteDump, sizeof(void*), old, &old);
}

// A dump writer that never comes back.
BOOL WINAPI StuckDump(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                      PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
    Sleep(INFINITE);
    return FALSE;
}

// The C runtime's fwrite as the logger's file sink calls it, with its file
// lock held: the fault comes there.
size_t __cdecl FaultingWrite(const void*, size_t, size_t, FILE*) {
    std::printf("thread %lu\n", GetCurrentThreadId());
    std::fflush(stdout);
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

// Points `module`'s import of `function` (by name, from any DLL) at
// `replacement`; false when the module imports no such function.
bool ReplaceImport(HMODULE module, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return false;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return true;
        }
    }
    return false;
}

CBXLogger* g_logger = nullptr;

DWORD WINAPI FaultInLogger(void*) {
    g_logger->Log(BXLOG_INFORMATIONAL, L"the line whose write faults");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring mode = argv[1];

    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, n);
    directory.erase(directory.rfind(L'\\') + 1);

    CBXLogger logger;
    logger.Init();
    logger.AddFile((directory + L"victim.log").c_str(), 1048576, LOGGER_OUTPUT_FILE_FLAG_APPEND);
    CBXLogger* crashLogger = &logger;

    if (bx::service::InstallCrashHandler(&crashLogger) != 0) return 3;
    if (mode == L"removed") {
        bx::service::RemoveCrashHandler();
        // Without a filter Wine's default handling would start its debugger;
        // the system's own crash handling stays quiet with this mode.
        SetErrorMode(SEM_NOGPFAULTERRORBOX);
    } else if (mode == L"partial") {
        ReplaceDumpWriter(&PartialDump);
    } else if (mode == L"quick") {
        ReplaceDumpWriter(&QuickDump);
    } else if (mode == L"stuck") {
        ReplaceDumpWriter(&StuckDump);
    } else if (mode == L"locked") {
        ReplaceDumpWriter(&QuickDump);
        if (!ReplaceImport(GetModuleHandleW(L"BXLogger.dll"), "fwrite", reinterpret_cast<void*>(&FaultingWrite)))
            return 4;
    } else if (mode != L"crash") {
        return 2;
    }

    g_logger = &logger;
    HANDLE thread = CreateThread(nullptr, 0, mode == L"locked" ? FaultInLogger : Fault, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    return 0;  // not reached: the fault ends the process
}
