#include "tests/support/win/service_manager.h"

#include <cstdio>

namespace bxtest {

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

RunningProcess::RunningProcess(const std::wstring& commandLine, DWORD creationFlags) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE writePipe = nullptr;
    if (!CreatePipe(&m_readPipe, &writePipe, &inherit, 0)) return;
    SetHandleInformation(m_readPipe, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = writePipe;
    si.hStdError = writePipe;
    PROCESS_INFORMATION pi{};
    std::wstring mutableLine = commandLine;
    if (CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr, &si, &pi)) {
        m_process = pi.hProcess;
        m_processId = pi.dwProcessId;
        CloseHandle(pi.hThread);
    }
    CloseHandle(writePipe);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (m_process)
        m_reader =
            CreateThread(nullptr, 0, ReadAll, new std::pair<HANDLE, std::string*>(m_readPipe, &m_output), 0, nullptr);
}

RunningProcess::~RunningProcess() {
    if (m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) Terminate();
    if (m_reader) {
        WaitForSingleObject(m_reader, 5000);
        CloseHandle(m_reader);
    }
    if (m_readPipe) CloseHandle(m_readPipe);
    if (m_process) CloseHandle(m_process);
}

bool RunningProcess::Wait(DWORD timeoutMs) {
    if (!m_process) return false;
    return WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
}

DWORD RunningProcess::ExitCode() const {
    DWORD code = 0;
    if (!m_process || !GetExitCodeProcess(m_process, &code)) return static_cast<DWORD>(-1);
    return code;
}

std::string RunningProcess::Output() {
    // The pipe ends when every holder of its write end has ended.
    if (m_reader) {
        WaitForSingleObject(m_reader, 5000);
        CloseHandle(m_reader);
        m_reader = nullptr;
    }
    return m_output;
}

void RunningProcess::Terminate() {
    if (m_process) {
        TerminateProcess(m_process, 0xDEAD);
        WaitForSingleObject(m_process, 5000);
    }
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, DWORD creationFlags) {
    ProcessResult result;
    RunningProcess process(commandLine, creationFlags);
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
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
    CloseHandle(file);
    return data;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

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

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

}  // namespace bxtest

// ---------------------------------------------------------------------------
// Event-log recording through the import slots.

extern "C" {
// The import address table slots of this program (mingw names them so).
extern decltype(&RegisterEventSourceW) __imp_RegisterEventSourceW;
extern decltype(&ReportEventW) __imp_ReportEventW;
extern decltype(&DeregisterEventSource) __imp_DeregisterEventSource;
}

namespace bxtest {
namespace {

struct RecorderState {
    CRITICAL_SECTION lock;
    std::vector<RecordedEvent> events;
    std::vector<std::pair<HANDLE, std::wstring>> sources;  // handle -> source name
    int openSources = 0;
    bool localMachine = false;
    decltype(&RegisterEventSourceW) realRegister = nullptr;
    decltype(&ReportEventW) realReport = nullptr;
    decltype(&DeregisterEventSource) realDeregister = nullptr;
};
RecorderState* g_recorder = nullptr;

HANDLE WINAPI RecordRegister(LPCWSTR server, LPCWSTR source) {
    HANDLE h = g_recorder->realRegister(server, source);
    DWORD error = GetLastError();
    EnterCriticalSection(&g_recorder->lock);
    if (h) {
        g_recorder->sources.emplace_back(h, source ? source : L"");
        ++g_recorder->openSources;
    }
    g_recorder->localMachine = server == nullptr;
    LeaveCriticalSection(&g_recorder->lock);
    SetLastError(error);
    return h;
}

BOOL WINAPI RecordReport(HANDLE h, WORD type, WORD category, DWORD eventId, PSID user, WORD count, DWORD dataSize,
                         LPCWSTR* strings, LPVOID data) {
    RecordedEvent e;
    e.type = type;
    e.category = category;
    e.eventId = eventId;
    e.withUser = user != nullptr;
    e.dataSize = data ? dataSize : 0;
    for (WORD i = 0; i < count; ++i) e.strings.emplace_back(strings[i] ? strings[i] : L"(null)");
    EnterCriticalSection(&g_recorder->lock);
    for (auto& s : g_recorder->sources)
        if (s.first == h) e.source = s.second;
    e.localMachine = g_recorder->localMachine;
    g_recorder->events.push_back(e);
    LeaveCriticalSection(&g_recorder->lock);
    return g_recorder->realReport(h, type, category, eventId, user, count, dataSize, strings, data);
}

BOOL WINAPI RecordDeregister(HANDLE h) {
    EnterCriticalSection(&g_recorder->lock);
    --g_recorder->openSources;
    LeaveCriticalSection(&g_recorder->lock);
    return g_recorder->realDeregister(h);
}

template <typename T>
void PatchSlot(T* slot, T value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof(T), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(T), old, &old);
}

}  // namespace

EventLogRecorder::EventLogRecorder() {
    g_recorder = new RecorderState;
    InitializeCriticalSection(&g_recorder->lock);
    g_recorder->realRegister = __imp_RegisterEventSourceW;
    g_recorder->realReport = __imp_ReportEventW;
    g_recorder->realDeregister = __imp_DeregisterEventSource;
    PatchSlot(&__imp_RegisterEventSourceW, &RecordRegister);
    PatchSlot(&__imp_ReportEventW, &RecordReport);
    PatchSlot(&__imp_DeregisterEventSource, &RecordDeregister);
}

EventLogRecorder::~EventLogRecorder() {
    PatchSlot(&__imp_RegisterEventSourceW, g_recorder->realRegister);
    PatchSlot(&__imp_ReportEventW, g_recorder->realReport);
    PatchSlot(&__imp_DeregisterEventSource, g_recorder->realDeregister);
    DeleteCriticalSection(&g_recorder->lock);
    delete g_recorder;
    g_recorder = nullptr;
}

std::vector<RecordedEvent> EventLogRecorder::Events() const {
    EnterCriticalSection(&g_recorder->lock);
    auto copy = g_recorder->events;
    LeaveCriticalSection(&g_recorder->lock);
    return copy;
}

int EventLogRecorder::OpenSources() const {
    EnterCriticalSection(&g_recorder->lock);
    int n = g_recorder->openSources;
    LeaveCriticalSection(&g_recorder->lock);
    return n;
}

void EventLogRecorder::Clear() {
    EnterCriticalSection(&g_recorder->lock);
    g_recorder->events.clear();
    LeaveCriticalSection(&g_recorder->lock);
}

}  // namespace bxtest
