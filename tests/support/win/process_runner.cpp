#include "tests/support/win/process_runner.h"

#include "platform/win/handles.h"

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>

namespace bx::test {

namespace {

DWORD WINAPI ReadAll(void* parameter) {
    auto* self = static_cast<std::pair<HANDLE, std::string*>*>(parameter);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(self->first, buffer, sizeof(buffer), &got, nullptr) && got > 0) self->second->append(buffer, got);
    delete self;
    return 0;
}

}  // namespace

RunningProcess::RunningProcess(const std::wstring& commandLine, DWORD creationFlags, const std::string& input) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    bx::win::UniqueHandle writePipe;
    if (!CreatePipe(readPipe_.put(), writePipe.put(), &inherit, 0)) return;
    SetHandleInformation(readPipe_.get(), HANDLE_FLAG_INHERIT, 0);
    // Standard input: NUL, or a pipe that holds the input text.
    bx::win::UniqueFile nul;
    bx::win::UniqueHandle inputRead, inputWrite;
    if (input.empty()) {
        nul.reset(
            CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    } else {
        if (!CreatePipe(inputRead.put(), inputWrite.put(), &inherit, 0)) return;
        SetHandleInformation(inputWrite.get(), HANDLE_FLAG_INHERIT, 0);
    }

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input.empty() ? nul.get() : inputRead.get();
    si.hStdOutput = writePipe.get();
    si.hStdError = writePipe.get();
    PROCESS_INFORMATION pi{};
    std::wstring mutableLine = commandLine;
    if (CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr, &si, &pi)) {
        process_.reset(pi.hProcess);
        processId_ = pi.dwProcessId;
        bx::win::UniqueHandle thread(pi.hThread);
    }
    // Only the child holds the write end now: the pipe ends when it ends.
    writePipe.reset();
    inputRead.reset();
    if (!process_) return;
    reader_.reset(
        CreateThread(nullptr, 0, ReadAll, new std::pair<HANDLE, std::string*>(readPipe_.get(), &output_), 0, nullptr));
    if (inputWrite) {
        DWORD written = 0;
        WriteFile(inputWrite.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    }
}

RunningProcess::~RunningProcess() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) Terminate();
    if (reader_) WaitForSingleObject(reader_.get(), 5000);
}

bool RunningProcess::Wait(DWORD timeoutMs) {
    if (!process_) return false;
    return WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD RunningProcess::ExitCode() const {
    DWORD code = 0;
    if (!process_ || !GetExitCodeProcess(process_.get(), &code)) return static_cast<DWORD>(-1);
    return code;
}

std::string RunningProcess::Output() {
    // The pipe ends when every holder of its write end has ended.
    if (reader_) {
        WaitForSingleObject(reader_.get(), 5000);
        reader_.reset();
    }
    return output_;
}

void RunningProcess::Terminate() {
    if (process_) {
        TerminateProcess(process_.get(), 0xDEAD);
        WaitForSingleObject(process_.get(), 5000);
    }
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD creationFlags,
                         const std::string& input) {
    ProcessResult result;
    RunningProcess process(commandLine, creationFlags, input);
    if (!process.Started()) {
        result.exitCode = static_cast<DWORD>(-1);
        result.output = "CreateProcess failed: " + std::to_string(GetLastError());
        return result;
    }
    if (!process.Wait(timeoutMs)) {
        result.timedOut = true;
        process.Terminate();
    }
    result.exitCode = process.ExitCode();
    result.output = process.Output();
    return result;
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring text(path, n);
    return text.substr(0, text.rfind(L'\\') + 1);
}

std::wstring Quote(const std::wstring& path) { return L"\"" + path + L"\""; }

std::string ReadFileBytes(const std::wstring& path) {
    std::string data;
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    if (!file) return data;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
    return data;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) {
        std::fprintf(stderr, "cannot write %s: %lu\n", Narrow(path).c_str(), GetLastError());
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring(L".\\");
}

std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* unix = toUnix(path.c_str());
    std::string text = unix ? unix : "";
    if (unix) HeapFree(GetProcessHeap(), 0, unix);
    return text;
}

std::string RunLinux(const std::wstring& dir, const std::string& script, int* status, DWORD timeoutMs) {
    *status = -1;
    std::wstring out = dir + L"linux.out", done = dir + L"linux.done";
    DeleteFileW(out.c_str());
    DeleteFileW(done.c_str());
    // The status is written under another name and moved, so that a reader
    // never sees it half-written.
    std::string wrapped = "(" + script + "\n) > '" + UnixPath(out) + "' 2>&1; echo $? > '" + UnixPath(done) +
                          ".tmp'; mv '" + UnixPath(done) + ".tmp' '" + UnixPath(done) + "'";
    if (!WriteFileBytes(dir + L"linux.sh", wrapped)) return "<script not written>";
    std::wstring commandLine = L"/bin/sh \"" + Widen(UnixPath(dir + L"linux.sh")) + L"\"";
    if (DWORD error = StartDetached(L"Z:\\bin\\sh", commandLine)) return "<not started " + std::to_string(error) + ">";
    if (!WaitUntil([&] { return FileExists(done); }, timeoutMs, 50)) return "<did not end>";
    *status = std::atoi(ReadFileBytes(done).c_str());
    return ReadFileBytes(out);
}

void RemoveDirectoryTree(const std::wstring& path) {
    std::wstring dir = path;
    if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryTree(full);
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

std::wstring MakeFreshDirectory(const std::wstring& base, const std::wstring& name) {
    std::wstring dir = base + name;
    RemoveDirectoryTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir + L"\\";
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring SystemErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    bx::win::UniqueLocal owner(buffer);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    while (!text.empty() && iswspace(text.back())) text.pop_back();
    return text;
}

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

DWORD StartDetached(const wchar_t* application, std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError();
    // For a Linux program Wine reports process id 0, no process handle and a
    // thread "handle" that is a leftover value: closing it could close a
    // handle of this program's own (such as the one behind
    // HKEY_LOCAL_MACHINE), so only a Windows child's handles are closed.
    if (process.dwProcessId == 0) return 0;
    bx::win::UniqueHandle thread(process.hThread), program(process.hProcess);
    return 0;
}

}  // namespace bx::test
