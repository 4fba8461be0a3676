// POSIX side of the logger's system interface, for the native build.
#include "logger/src/os.h"

#include "platform/utf8.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

namespace bx::log::os {
namespace {

// Rewrites a format of the Windows wide printf convention into glibc's:
// %s/%c take wide arguments there, %S/%hs/%C/%hc narrow ones, "l" on an
// integer is 32-bit and I64/I32/I are explicit sizes.
std::wstring TranslateFormat(const wchar_t* f) {
    std::wstring out;
    while (*f) {
        if (*f != L'%') {
            out += *f++;
            continue;
        }
        out += *f++;
        if (*f == L'%') {
            out += *f++;
            continue;
        }
        while (*f && wcschr(L"-+ #0", *f)) out += *f++;          // flags
        while (*f && (iswdigit(*f) || *f == L'*')) out += *f++;  // width
        if (*f == L'.') {                                        // precision
            out += *f++;
            while (*f && (iswdigit(*f) || *f == L'*')) out += *f++;
        }
        enum { None, Short, Long, LongLong, Size, Wide } len = None;
        if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            len = LongLong;
            f += 3;
        } else if (f[0] == L'I' && f[1] == L'3' && f[2] == L'2') {
            f += 3;
        } else if (f[0] == L'I') {
            len = Size;
            f += 1;
        } else if (f[0] == L'l' && f[1] == L'l') {
            len = LongLong;
            f += 2;
        } else if (f[0] == L'h' && f[1] == L'h') {
            out += L"hh";
            f += 2;
        } else if (f[0] == L'h') {
            len = Short;
            f += 1;
        } else if (f[0] == L'l') {
            len = Long;
            f += 1;
        } else if (f[0] == L'w') {
            len = Wide;
            f += 1;
        } else if (f[0] == L'L' || f[0] == L'z' || f[0] == L'j' || f[0] == L't') {
            out += *f++;
        }
        wchar_t conv = *f;
        if (!conv) break;
        ++f;
        switch (conv) {
            case L's':
            case L'c':
                if (len == Short)
                    out += conv;  // narrow
                else {
                    out += L'l';
                    out += conv;
                }  // wide
                break;
            case L'S':
            case L'C':
                if (len == Long || len == Wide) out += L'l';
                out += static_cast<wchar_t>(towlower(conv));  // narrow unless l/w
                break;
            case L'd':
            case L'i':
            case L'o':
            case L'u':
            case L'x':
            case L'X':
                if (len == Short)
                    out += L'h';
                else if (len == LongLong)
                    out += L"ll";
                else if (len == Size)
                    out += L'z';
                out += conv;  // Long stays 32-bit
                break;
            default:
                if (len == Long) out += L'l';
                out += conv;
        }
    }
    return out;
}

std::string Narrow(const std::wstring& path) { return bx::Utf8FromWide(path); }

// Opens a log file with `flags`, creating it with mode 0600; a file that was
// there is given that mode too (the logs name users and where they connect
// to). Not truncated here. A descriptor, or -1 with errno.
int OpenRootOnly(const std::wstring& path, int flags) {
    const int fd = open(Narrow(path).c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && fchmod(fd, 0600) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

void FormatV(wchar_t* buf, size_t count, const wchar_t* format, va_list args) {
    if (wcscmp(format, L"%s") == 0) {  // literal text, the common case
        const wchar_t* text = va_arg(args, const wchar_t*);
        size_t n = text ? wcsnlen(text, count - 1) : 0;
        if (!text) text = L"(null)", n = 6;
        wmemcpy(buf, text, n);
        buf[n] = L'\0';
        return;
    }
    std::wstring translated = TranslateFormat(format);
    int n = vswprintf(buf, count, translated.c_str(), args);
    if (n < 0) buf[count - 1] = L'\0';  // glibc leaves cut output unterminated
}

// No debugger on POSIX: its output goes to standard error.
void DebugOutput(const std::wstring& text) {
    std::string bytes = bx::Utf8FromWide(text);
    ssize_t ignored = write(STDERR_FILENO, bytes.data(), bytes.size());
    (void)ignored;
}

std::tm LocalTime(time_t moment) {
    std::tm out{};
    localtime_r(&moment, &out);
    return out;
}

uint32_t LastError() { return static_cast<uint32_t>(errno); }

std::wstring SystemErrorText(uint32_t code) {
    char buf[256];
    const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
    std::wstring out;
    for (const char* p = text; *p; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out + L"\n";
}

bool FileMissing(const std::wstring& path) {
    struct stat st;
    return stat(Narrow(path).c_str(), &st) != 0 && errno == ENOENT;
}

FILE* OpenLogFile(const std::wstring& path, bool truncate, bool exclusive, int& crtError, uint32_t& systemError) {
    // POSIX has no share modes. Both Windows modes refuse a second writer,
    // so every log file takes an advisory lock that other loggers respect;
    // readers are not kept out, even of an exclusive file.
    (void)exclusive;
    FILE* f = nullptr;
    const int fd = OpenRootOnly(path, O_RDWR | (truncate ? 0 : O_APPEND));
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 && (!truncate || ftruncate(fd, 0) == 0))
        f = fdopen(fd, truncate ? "w+" : "a+");
    if (!f) {
        crtError = errno;
        systemError = static_cast<uint32_t>(errno);
        if (fd >= 0) close(fd);
    }
    return f;
}

int64_t FileSize(FILE* stream) {
    struct stat st;
    return fstat(fileno(stream), &st) == 0 ? st.st_size : 0;
}

int64_t WriteText(FILE* stream, const std::wstring& line, uint32_t& error) {
    std::string bytes = bx::Utf8FromWide(line);
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || fflush(stream) != 0) {
        error = errno ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO);
        clearerr(stream);
        return -1;
    }
    return static_cast<int64_t>(bytes.size());
}

void RotateStream(FILE* stream, const std::wstring& copyPath) {
    fflush(stream);
    int fd = fileno(stream);
    const int copy = OpenRootOnly(copyPath, O_WRONLY);
    if (copy >= 0 && ftruncate(copy, 0) == 0) {
        char block[64 * 1024];
        off_t at = 0;
        ssize_t n;
        while ((n = pread(fd, block, sizeof block, at)) > 0 && write(copy, block, static_cast<size_t>(n)) == n) at += n;
    }
    if (copy >= 0) close(copy);
    if (ftruncate(fd, 0) != 0) { /* not reported: the write goes on */
    }
    fseek(stream, 0, SEEK_SET);
}

// A string library on POSIX is a shared object exporting
// `const wchar_t* BXLogStringTable(uint32_t id)`.
Module LoadStringLibrary(const std::wstring& path, uint32_t& error) {
    void* m = dlopen(Narrow(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m) error = static_cast<uint32_t>(ENOENT);
    return m;
}

void FreeStringLibrary(Module module) {
    if (module) dlclose(module);
}

uint32_t LoadLibraryString(Module module, uint32_t id, size_t maxChars, std::wstring& text) {
    using Table = const wchar_t* (*)(uint32_t);
    auto table = reinterpret_cast<Table>(dlsym(module, "BXLogStringTable"));
    const wchar_t* s = table ? table(id) : nullptr;
    text.clear();
    if (!s) return static_cast<uint32_t>(ENOENT);
    text.assign(s, wcsnlen(s, maxChars));
    return 0;
}

const wchar_t kPathSeparator = L'/';

uint32_t RemoveFile(const std::wstring& path) {
    return ::remove(Narrow(path).c_str()) == 0 ? 0 : static_cast<uint32_t>(errno);
}

// There is no Windows event log here: registration fails with
// ERROR_NOT_SUPPORTED, and no source can be reported to.
uint32_t RegisterEventLogSource(const std::wstring&, EventSource& handle, bool& registryFailed) {
    handle = nullptr;
    registryFailed = true;
    return 50;  // ERROR_NOT_SUPPORTED
}

void DeregisterEventLogSource(EventSource) {}

uint32_t ReportEventLog(EventSource, uint16_t, const std::wstring&) { return 50; }

uint32_t SocketStartup() { return 0; }
void SocketCleanup() {}

namespace {

// getaddrinfo's failures as the Winsock numbers the library reports.
uint32_t LookupError(int rc) {
    switch (rc) {
        case EAI_NONAME:
            return 11001;  // WSAHOST_NOT_FOUND
        case EAI_AGAIN:
            return 11002;  // WSATRY_AGAIN
#ifdef EAI_NODATA
        case EAI_NODATA:
            return 11004;  // WSANO_DATA
#endif
        case EAI_SYSTEM:
            return static_cast<uint32_t>(errno);
        default:
            return 11003;  // WSANO_RECOVERY
    }
}

uint32_t FirstIPv4(const char* name, uint32_t& address) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &found);
    if (rc != 0) return LookupError(rc);
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

// A socket descriptor, closed when the owner ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

uint32_t LocalAddress(uint32_t& address) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return static_cast<uint32_t>(errno);
    name[sizeof name - 1] = '\0';
    return FirstIPv4(name, address);
}

uint16_t SyslogServicePort() {
    servent entry;
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r("syslog", "udp", &entry, buffer, sizeof buffer, &found) == 0 && found)
        return static_cast<uint16_t>(found->s_port);
    return htons(514);
}

// The first adapter: the first IPv4 address of an interface other than
// loopback (the Windows adapter list has no loopback adapter).
uint32_t AdapterNetMask(uint32_t& mask) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return static_cast<uint32_t>(errno);
    uint32_t error = 232;  // ERROR_NO_DATA: no adapter with an IPv4 address
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
        error = 0;
        break;
    }
    freeifaddrs(list);
    return error;
}

uint32_t ResolveHost(const std::string& name, uint32_t& address) {
    in_addr dotted;
    if (inet_aton(name.c_str(), &dotted)) {
        address = dotted.s_addr;
        return 0;
    }
    return FirstIPv4(name.c_str(), address);
}

// Natively no ARP request is sent (it needs a raw socket); the subnet rule
// around it is the same, and the Windows build asks with SendARP.
bool ArpAnswers(uint32_t, uint32_t) { return true; }

uint32_t SendDatagram(const std::string& bytes, uint32_t address, uint16_t port, bool broadcast, bool& socketFailed) {
    Descriptor s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (s.get() < 0) {
        socketFailed = true;
        return static_cast<uint32_t>(errno);
    }
    socketFailed = false;
    if (broadcast) {
        int on = 1;
        setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = port;
    if (sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return static_cast<uint32_t>(errno);
    return 0;
}

bool IsMessageTooLong(uint32_t socketError) { return socketError == EMSGSIZE; }

std::string ToMultiByte(const wchar_t* text, size_t length) { return bx::Utf8FromWide(std::wstring(text, length)); }

}  // namespace bx::log::os
