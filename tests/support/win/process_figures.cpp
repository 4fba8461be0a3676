#include "tests/support/win/process_figures.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <vector>

#include "platform/win/handles.h"

namespace bx::test {

namespace {

std::wstring LowerWide(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The Linux process whose command line starts with the image path.
DWORD FindUnixProcess(const std::wstring& imagePath) {
    const std::wstring wanted = LowerWide(imagePath);
    WIN32_FIND_DATAW entry;
    bx::win::UniqueFindFile find(FindFirstFileW(L"Z:\\proc\\*", &entry));
    if (!find) return 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        const std::string command = ReadProcFile(L"Z:\\proc\\" + name + L"\\cmdline");
        std::wstring head;
        for (char c : command) {
            if (c == '\0') break;
            head += static_cast<wchar_t>(static_cast<unsigned char>(c));
        }
        if (!head.empty() && head.front() == L'"') head.erase(0, 1);
        if (LowerWide(head).compare(0, wanted.size(), wanted) == 0) return std::wcstoul(name.c_str(), nullptr, 10);
    } while (FindNextFileW(find.get(), &entry));
    return 0;
}

// HandleCount of the process's entry in NtQuerySystemInformation's process
// list; 0 when it is not listed.
DWORD ListedHandleCount(DWORD processId) {
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                                                         static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(std::max<size_t>(needed + 65536, buffer.size() * 2));
            continue;
        }
        if (status < 0) return 0;
        for (size_t at = 0;;) {
            const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
            if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == processId) return entry->HandleCount;
            if (entry->NextEntryOffset == 0) return 0;
            at += entry->NextEntryOffset;
        }
    }
    return 0;
}

}  // namespace

std::string ReadProcFile(const std::wstring& path) {
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

uint64_t ProcKilobytes(const std::string& text, const std::string& name) {
    const std::string key = name + ":";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        if (at != 0 && text[at - 1] != '\n') continue;
        size_t i = at + key.size();
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        uint64_t value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            value = value * 10 + (text[i++] - '0');
        return value;
    }
    return 0;
}

bool ReadProcessFigures(DWORD processId, const std::wstring& imagePath, ProcessFigures& figures, std::string& why) {
    figures = ProcessFigures();
    bx::win::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) {
        why = "OpenProcess failed Error:" + std::to_string(GetLastError());
        return false;
    }
    if (!GetProcessHandleCount(process.get(), &figures.handles)) {
        why = "GetProcessHandleCount failed Error:" + std::to_string(GetLastError());
        return false;
    }
    figures.listedHandles = ListedHandleCount(processId);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        why = "GetProcessMemoryInfo failed Error:" + std::to_string(GetLastError());
        return false;
    }
    figures.privateUsage = memory.PrivateUsage;
    figures.workingSet = memory.WorkingSetSize;
    figures.unixPid = FindUnixProcess(imagePath);
    if (figures.unixPid) {
        const std::wstring dir = L"Z:\\proc\\" + std::to_wstring(figures.unixPid) + L"\\";
        figures.rssKb = ProcKilobytes(ReadProcFile(dir + L"status"), "VmRSS");
        figures.privateDirtyKb = ProcKilobytes(ReadProcFile(dir + L"smaps_rollup"), "Private_Dirty");
    }
    return true;
}

}  // namespace bx::test
