// Host facts on POSIX: interface addresses, host name, clocks, pauses, /proc/self/exe.
#include "platform/host_facts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/errors.h"

namespace bx::host {
namespace {

// Error numbers of the C library, returned as Windows numbers where the
// product tests for one, else as the generic failure.
uint32_t FromErrno(int error) {
    switch (error) {
        case ENOMEM:
            return err::kNotEnoughMemory;
        case ENOENT:
            return err::kFileNotFound;
        case EACCES:
            return err::kAccessDenied;
        case ENAMETOOLONG:
            return err::kInsufficientBuffer;
        default:
            return err::kGenFailure;
    }
}

// Bytes as the system gives them (UTF-8) to a wide text; a byte that does not
// start a valid sequence becomes U+FFFD.
std::wstring Widen(const char* text, size_t length) {
    std::wstring wide;
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07u;
        } else {
            wide += L'\xFFFD';
            ++i;
            continue;
        }
        bool ok = i + extra < length;
        for (size_t k = 1; ok && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!ok) {
            wide += L'\xFFFD';
            ++i;
            continue;
        }
        wide += static_cast<wchar_t>(code);
        i += extra + 1;
    }
    return wide;
}

}  // namespace

uint32_t LocalIpv4Addresses(std::vector<uint32_t>& addresses) {
    addresses.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return FromErrno(errno);
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        // getifaddrs lists interface addresses only: no anycast, multicast or
        // DNS-server entries to skip.
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const uint32_t address = ntohl(in->sin_addr.s_addr);
        if (address == kLoopbackAddress) continue;
        addresses.push_back(address);
        if (addresses.size() == kMaxLocalAddresses) break;
    }
    freeifaddrs(list);
    return 0;
}

uint32_t ComputerName(std::wstring& name) {
    name.clear();
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return FromErrno(errno);
    size_t length = 0;
    while (length < 255 && buffer[length] != '\0') ++length;
    name = Widen(buffer, length);
    return 0;
}

uint32_t TickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

bool PauseMicroseconds(uint32_t microseconds) {
    const timespec pause{static_cast<time_t>(microseconds / 1000000u),
                         static_cast<long>(microseconds % 1000000u) * 1000};
    nanosleep(&pause, nullptr);  // a signal may end it early: a shorter pause is no harm
    return true;
}

uint64_t SecondsSince1970() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec < 0 ? 0 : static_cast<uint64_t>(now.tv_sec);
}

uint32_t ExecutableDirectory(std::wstring& dir) {
    dir.clear();
    char path[PATH_MAX + 1];
    const ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
    if (length < 0) return FromErrno(errno);
    if (length >= PATH_MAX) return err::kInsufficientBuffer;  // may be cut
    size_t slash = static_cast<size_t>(length);
    while (slash > 0 && path[slash - 1] != '/') --slash;
    // "/usr/bin/x" -> "/usr/bin"; "/x" -> "".
    dir = Widen(path, slash == 0 ? 0 : slash - 1);
    return 0;
}

}  // namespace bx::host
