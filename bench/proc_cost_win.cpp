// proccost: what a running process has cost, as Windows reports it.
//
//   proccost <image name>        for example: proccost bxhvns.exe
//
// Finds the one process of that image name (Toolhelp snapshot), then prints
// one line:
//   pid=N user_100ns=N kernel_100ns=N private_bytes=N working_set_bytes=N
// from GetProcessTimes (user and kernel time of all its threads, in 100 ns
// units) and GetProcessMemoryInfo (PrivateUsage and WorkingSetSize).
// Exit code 0; 1 with a message when there is no such process, more than one,
// or a call fails; 2 for a wrong command line. scripts/bench.d/agent_cost
// reads it for the service's CPU and memory figures.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

#include "platform/win/handles.h"

namespace {

unsigned long long Ticks(const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: proccost <image name>\n");
        return 2;
    }
    bx::win::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        std::fprintf(stderr, "proccost: CreateToolhelp32Snapshot failed Error:%lu\n", GetLastError());
        return 1;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD pid = 0;
    int found = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, argv[1]) == 0) {
            pid = entry.th32ProcessID;
            ++found;
        }
    }
    if (found != 1) {
        std::fprintf(stderr, "proccost: %d processes named %ls\n", found, argv[1]);
        return 1;
    }
    bx::win::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) {
        std::fprintf(stderr, "proccost: OpenProcess(%lu) failed Error:%lu\n", pid, GetLastError());
        return 1;
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
        std::fprintf(stderr, "proccost: GetProcessTimes failed Error:%lu\n", GetLastError());
        return 1;
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        std::fprintf(stderr, "proccost: GetProcessMemoryInfo failed Error:%lu\n", GetLastError());
        return 1;
    }
    std::printf("pid=%lu user_100ns=%llu kernel_100ns=%llu private_bytes=%llu working_set_bytes=%llu\n", pid,
                Ticks(user), Ticks(kernel), static_cast<unsigned long long>(memory.PrivateUsage),
                static_cast<unsigned long long>(memory.WorkingSetSize));
    return 0;
}
