// Helpers shared by the host's test programs: running a Windows program and
// reading its whole exit code and output, files and folders.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace bxtest {

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error, as bytes
    bool timedOut = false;
};

// Runs a command line with standard output and error on one pipe and waits
// up to timeoutMs for it to end (then it is terminated and timedOut is set).
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000, DWORD creationFlags = 0);

// A started process whose output is collected by a thread until it ends.
class RunningProcess {
public:
    RunningProcess(const std::wstring& commandLine, DWORD creationFlags = 0);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    bool Started() const { return m_process != nullptr; }
    DWORD ProcessId() const { return m_processId; }
    // Waits for the end; returns false on time-out.
    bool Wait(DWORD timeoutMs);
    DWORD ExitCode() const;
    std::string Output();  // after Wait
    void Terminate();

private:
    HANDLE m_process = nullptr;
    HANDLE m_readPipe = nullptr;
    HANDLE m_reader = nullptr;
    DWORD m_processId = 0;
    std::string m_output;
};

std::wstring ExeDirectory();  // of the running program, ending in "\"
std::wstring Quote(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Makes a fresh folder "<base><name>\" (removing an old one first).
std::wstring MakeFreshDirectory(const std::wstring& base, const std::wstring& name);
void RemoveDirectoryTree(const std::wstring& path);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
// Polls until pred() holds or timeoutMs passes; returns pred()'s last value.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs, DWORD pollMs = 20) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(pollMs);
    }
}

}  // namespace bxtest

namespace bxtest {

// Records the event-log calls this program makes: the program's import slots
// of RegisterEventSourceW and ReportEventW are pointed at recorders (which
// then call the real functions) while an EventLogRecorder lives. Wine's event
// log records nothing, so this is how the tests see what was written.
struct RecordedEvent {
    std::wstring source;  // as registered
    bool localMachine = false;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::wstring> strings;
    bool withUser = false;
    DWORD dataSize = 0;
};

class EventLogRecorder {
public:
    EventLogRecorder();
    ~EventLogRecorder();
    EventLogRecorder(const EventLogRecorder&) = delete;
    EventLogRecorder& operator=(const EventLogRecorder&) = delete;
    std::vector<RecordedEvent> Events() const;
    int OpenSources() const;  // registered minus deregistered
    void Clear();
};

}  // namespace bxtest
