// Test helper: resource figures of another process, read from outside as an
// administrator's tool would, with the Linux process under Wine as the
// fallback where Wine answers falsely.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace bx::test {

struct ProcessFigures {
    DWORD handles = 0;            // GetProcessHandleCount
    DWORD listedHandles = 0;      // HandleCount of its entry in the system's process list
    SIZE_T privateUsage = 0;      // GetProcessMemoryInfo: PrivateUsage
    SIZE_T workingSet = 0;        // GetProcessMemoryInfo: WorkingSetSize
    DWORD unixPid = 0;            // the Linux process Wine runs it in (0: not found)
    uint64_t rssKb = 0;           // /proc/<pid>/status VmRSS
    uint64_t privateDirtyKb = 0;  // /proc/<pid>/smaps_rollup Private_Dirty
};

// Reads the figures of the process `processId`, whose image is `imagePath`
// (used to find its Linux process under Wine: Wine puts the Windows path of
// the image at the head of the Linux command line). False, with the reason,
// when the process cannot be opened or a call fails; the /proc figures stay 0
// when there is no /proc (on Windows) or the Linux process was not found.
bool ReadProcessFigures(DWORD processId, const std::wstring& imagePath, ProcessFigures& figures, std::string& why);

// One "Name: value kB" figure of a /proc text ("VmRSS", "Private_Dirty"); 0
// when absent.
uint64_t ProcKilobytes(const std::string& text, const std::string& name);

// A file of the Linux /proc, read through Wine's Z: drive to its end (procfs
// reports size 0, so it is read until ReadFile returns nothing).
std::string ReadProcFile(const std::wstring& path);

}  // namespace bx::test
