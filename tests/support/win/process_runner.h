// Test helpers for Windows programs: running a program (standard input from
// a text, standard output and error collected together, the whole exit code),
// the test program's own directory, files and folders.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win/handles.h"

namespace bx::test {

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error, as bytes
    bool timedOut = false;
};

// Runs a command line with standard output and error on one pipe and waits
// up to timeoutMs for it to end (then it is terminated and timedOut is set).
// Standard input reads `input`, then its end (empty: at once its end).
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000, DWORD creationFlags = 0,
                         const std::string& input = std::string());

// A started process whose output is collected by a thread until it ends.
class RunningProcess {
public:
    explicit RunningProcess(const std::wstring& commandLine, DWORD creationFlags = 0,
                            const std::string& input = std::string());
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    bool Started() const { return static_cast<bool>(process_); }
    DWORD ProcessId() const { return processId_; }
    // Waits for the end; returns false on time-out.
    bool Wait(DWORD timeoutMs);
    DWORD ExitCode() const;
    std::string Output();  // after Wait
    void Terminate();

private:
    bx::win::UniqueHandle process_;
    bx::win::UniqueHandle readPipe_;
    bx::win::UniqueHandle reader_;
    DWORD processId_ = 0;
    std::string output_;
};

// Starts a program and lets it run on its own: a Linux program (application
// "Z:\\bin\\sh", "Z:\\usr\\bin\\import", ...) that Wine starts without a
// process handle worth waiting on, or a Windows program the caller watches by
// other means. application may be null (taken from the command line). 0, or
// the error of CreateProcessW.
DWORD StartDetached(const wchar_t* application, std::wstring commandLine);

std::wstring ExeDirectory();  // of the running program, ending in "\"
std::wstring Quote(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);  // empty when it cannot be opened
// Replaces the file with `bytes`; false (with the error in the log) when it
// cannot be written.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
std::wstring TempDirectory();  // the user's temporary directory, ending in "\"
// A Windows path as Linux sees it (drive letters through Wine's dosdevices);
// empty outside Wine.
std::string UnixPath(const std::wstring& path);
// Runs a Linux shell script through Wine, its files in `dir`, and returns its
// standard output and error once it has written its exit status into
// *status (Wine does not report a Linux program's exit); -1 and a text in
// angle brackets when it did not start or end within timeoutMs.
std::string RunLinux(const std::wstring& dir, const std::string& script, int* status, DWORD timeoutMs = 30000);
// Makes a fresh folder "<base><name>\" (removing an old one first).
std::wstring MakeFreshDirectory(const std::wstring& base, const std::wstring& name);
void RemoveDirectoryTree(const std::wstring& path);
std::string Narrow(const std::wstring& text);
// The system's text for an error number (FormatMessageW, system default
// language), trailing white space removed; empty when there is none.
std::wstring SystemErrorText(DWORD error);
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

// Runs snoopctl.exe, which the build puts beside the test program.
inline ProcessResult Snoopctl(const std::wstring& arguments, const std::string& input = std::string()) {
    return RunProcess(Quote(ExeDirectory() + L"snoopctl.exe") + L" " + arguments, 60000, 0, input);
}

}  // namespace bx::test
