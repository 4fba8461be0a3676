// Windows side of the logger's system interface: Win32, Winsock, the IP
// Helper API and msvcrt.
#include "logger/src/os.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include "platform/win/admin_security.h"
#include "platform/win/handles.h"
#include "platform/win/socket_handle.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <vector>

namespace bx::log::os {
namespace {

using bx::win::UniqueEventSource;
using bx::win::UniqueFile;
using bx::win::UniqueHandle;
using bx::win::UniqueLocal;
using bx::win::UniqueModule;
using bx::win::UniqueRegKey;

using bx::win::UniqueSocket;

const wchar_t kEventLogApplicationKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";

// Directory of the host program's executable, without a trailing backslash.
std::wstring HostDirectory() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            std::wstring full(path.data(), n);
            size_t slash = full.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

// Opens a log file for `access`, creating it for SYSTEM and Administrators
// only; a file that was there is given the same DACL, since the logs name
// users and where they connect to. The file is not truncated here. An
// invalid handle with the system error when it cannot be opened or
// restricted.
UniqueFile OpenAdminOnlyFile(const std::wstring& path, DWORD access, DWORD share, uint32_t& error) {
    bx::win::AdminOnlySecurity security;
    if ((error = security.Error()) != 0) return UniqueFile();
    SetLastError(0);
    UniqueFile file(CreateFileW(path.c_str(), access | WRITE_DAC, share, security.Attributes(), OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = GetLastError();
        return file;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS && (error = bx::win::RestrictFileToAdministrators(file.get())) != 0)
        file.reset();
    return file;
}

// The C library's number for a system error of an open, as _wfsopen sets it.
int CrtErrorOf(uint32_t systemError) {
    switch (systemError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
            return ENOMEM;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        default:
            return EACCES;  // access denied, sharing and lock violations, ...
    }
}

}  // namespace

void FormatV(wchar_t* buf, size_t count, const wchar_t* format, va_list args) {
    // msvcrt's own formatter: its wide conventions are the interface's.
    int n = _vsnwprintf(buf, count - 1, format, args);
    if (n < 0 || static_cast<size_t>(n) >= count - 1) buf[count - 1] = L'\0';
}

void DebugOutput(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

std::tm LocalTime(time_t moment) {
    std::tm out{};
    localtime_s(&out, &moment);
    return out;
}

uint32_t LastError() { return GetLastError(); }

std::wstring SystemErrorText(uint32_t code) {
    wchar_t* text = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    return n ? std::wstring(text, n) : std::wstring();
}

bool FileMissing(const std::wstring& path) {
    struct _stat64 st;
    return _wstat64(path.c_str(), &st) != 0 && errno == ENOENT;
}

FILE* OpenLogFile(const std::wstring& path, bool truncate, bool exclusive, int& crtError, uint32_t& systemError) {
    UniqueFile file =
        OpenAdminOnlyFile(path, GENERIC_READ | GENERIC_WRITE, exclusive ? 0 : FILE_SHARE_READ, systemError);
    if (!file) {
        crtError = CrtErrorOf(systemError);
        return nullptr;
    }
    if (truncate && !SetEndOfFile(file.get())) {
        systemError = GetLastError();
        crtError = CrtErrorOf(systemError);
        return nullptr;
    }
    // The C runtime's text stream over the handle: "w+" reads and writes,
    // "a+" also writes every line at the end.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_TEXT | (truncate ? 0 : _O_APPEND));
    if (fd < 0) {
        crtError = errno;
        systemError = ERROR_TOO_MANY_OPEN_FILES;
        return nullptr;
    }
    file.release();  // the descriptor owns it now
    FILE* stream = _fdopen(fd, truncate ? "w+" : "a+");
    if (!stream) {
        crtError = errno;
        systemError = ERROR_NOT_ENOUGH_MEMORY;
        _close(fd);
    }
    return stream;
}

int64_t FileSize(FILE* stream) { return _filelengthi64(_fileno(stream)); }

int64_t WriteText(FILE* stream, const std::wstring& line, uint32_t& error) {
    int n = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr, nullptr);
    SetLastError(0);
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || fflush(stream) != 0) {
        error = GetLastError();
        if (error == 0) error = ERROR_WRITE_FAULT;
        clearerr(stream);
        return -1;
    }
    int64_t written = static_cast<int64_t>(bytes.size());
    for (char c : bytes) written += (c == '\n');  // text mode: LF is written as CR LF
    return written;
}

void RotateStream(FILE* stream, const std::wstring& copyPath) {
    // Copy through the logger's own descriptor: the file may be open
    // exclusively, so no second handle could read it.
    fflush(stream);
    int fd = _fileno(stream);
    int oldMode = _setmode(fd, _O_BINARY);
    uint32_t error = 0;
    UniqueFile copy = OpenAdminOnlyFile(copyPath, GENERIC_WRITE, 0, error);
    if (copy && SetEndOfFile(copy.get())) {
        _lseeki64(fd, 0, SEEK_SET);
        std::vector<char> block(64 * 1024);
        int n;
        DWORD written = 0;
        while ((n = _read(fd, block.data(), static_cast<unsigned>(block.size()))) > 0)
            if (!::WriteFile(copy.get(), block.data(), static_cast<DWORD>(n), &written, nullptr)) break;
    }
    copy.reset();
    _chsize_s(fd, 0);
    _setmode(fd, oldMode);
    fseek(stream, 0, SEEK_SET);
}

Module LoadStringLibrary(const std::wstring& path, uint32_t& error) {
    HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m) error = GetLastError();
    return m;
}

void FreeStringLibrary(Module module) { UniqueModule owner(static_cast<HMODULE>(module)); }

uint32_t LoadLibraryString(Module module, uint32_t id, size_t maxChars, std::wstring& text) {
    std::vector<wchar_t> buf(maxChars + 1);
    SetLastError(0);
    int n = LoadStringW(static_cast<HMODULE>(module), id, buf.data(), static_cast<int>(buf.size()));
    if (n <= 0) {
        text.clear();
        return GetLastError();
    }
    text.assign(buf.data(), n);
    return 0;
}

const wchar_t kPathSeparator = L'\\';

uint32_t RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) ? 0 : GetLastError(); }

uint32_t RegisterEventLogSource(const std::wstring& source, EventSource& handle, bool& registryFailed) {
    registryFailed = true;
    UniqueRegKey key;
    std::wstring keyPath = kEventLogApplicationKey + source;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    std::wstring messageFile = HostDirectory() + L"\\EvtMessages.dll";
    rc = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(messageFile.c_str()),
                        static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE | EVENTLOG_AUDIT_SUCCESS |
                  EVENTLOG_AUDIT_FAILURE;  // 31
    rc =
        RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    key.reset();
    registryFailed = false;
    UniqueEventSource registered(RegisterEventSourceW(nullptr, source.c_str()));
    if (!registered) return GetLastError();
    handle = registered.release();
    return 0;
}

void DeregisterEventLogSource(EventSource source) { UniqueEventSource owner(static_cast<HANDLE>(source)); }

uint32_t ReportEventLog(EventSource source, uint16_t eventType, const std::wstring& message) {
    // The calling thread's user (impersonated), else the process's; no user
    // when neither token can be read.
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()))
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    std::vector<BYTE> user;
    PSID sid = nullptr;
    if (token) {
        DWORD size = 0;
        GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        if (size) {
            user.resize(size);
            if (GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
                sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
        }
    }
    const wchar_t* strings[1] = {message.c_str()};
    if (!ReportEventW(static_cast<HANDLE>(source), eventType, 0, 0, sid, 1, 0, strings, nullptr)) return GetLastError();
    return 0;
}

uint32_t SocketStartup() {
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(1, 1), &data);
    return static_cast<uint32_t>(rc);
}

void SocketCleanup() { WSACleanup(); }

uint32_t LocalAddress(uint32_t& address) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return static_cast<uint32_t>(WSAGetLastError());
    hostent* host = gethostbyname(name);
    if (!host) return static_cast<uint32_t>(WSAGetLastError());
    if (host->h_addrtype != AF_INET || !host->h_addr_list[0]) return WSANO_DATA;
    memcpy(&address, host->h_addr_list[0], sizeof address);
    return 0;
}

uint16_t SyslogServicePort() {
    servent* entry = getservbyname("syslog", "udp");
    return entry ? static_cast<uint16_t>(entry->s_port) : htons(514);
}

uint32_t AdapterNetMask(uint32_t& mask) {
    ULONG size = 0;
    DWORD rc = GetAdaptersInfo(nullptr, &size);
    std::vector<BYTE> buffer;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
    }
    if (rc != ERROR_SUCCESS) return rc;
    if (buffer.empty()) return ERROR_NO_DATA;
    // The first adapter that has an address: adapters without one (listed
    // as 0.0.0.0 with mask 0.0.0.0) would put every server in the subnet.
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        for (const IP_ADDR_STRING* a = &adapter->IpAddressList; a; a = a->Next) {
            if (inet_addr(a->IpAddress.String) == 0 || inet_addr(a->IpAddress.String) == INADDR_NONE) continue;
            mask = inet_addr(a->IpMask.String);
            return 0;
        }
    }
    return ERROR_NO_DATA;
}

uint32_t ResolveHost(const std::string& name, uint32_t& address) {
    unsigned long dotted = inet_addr(name.c_str());
    if (dotted != INADDR_NONE || name == "255.255.255.255") {
        address = dotted;
        return 0;
    }
    hostent* host = gethostbyname(name.c_str());
    if (!host) return static_cast<uint32_t>(WSAGetLastError());
    if (host->h_addrtype != AF_INET || !host->h_addr_list[0]) return WSANO_DATA;
    memcpy(&address, host->h_addr_list[0], sizeof address);
    return 0;
}

bool ArpAnswers(uint32_t address, uint32_t localAddress) {
    ULONG mac[2] = {};
    ULONG length = 6;
    return SendARP(address, localAddress, mac, &length) == NO_ERROR;
}

uint32_t SendDatagram(const std::string& bytes, uint32_t address, uint16_t port, bool broadcast, bool& socketFailed) {
    UniqueSocket s(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!s) {
        socketFailed = true;
        return static_cast<uint32_t>(WSAGetLastError());
    }
    socketFailed = false;
    if (broadcast) {
        BOOL on = TRUE;
        setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    if (sendto(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) == SOCKET_ERROR)
        return static_cast<uint32_t>(WSAGetLastError());
    return 0;
}

bool IsMessageTooLong(uint32_t socketError) { return socketError == WSAEMSGSIZE; }

std::string ToMultiByte(const wchar_t* text, size_t length) {
    if (!length) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), bytes.data(), n, nullptr, nullptr);
    return bytes;
}

}  // namespace bx::log::os
