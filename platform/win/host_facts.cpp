// Host facts on Windows: IP Helper, computer name, clocks, pauses, module path.
#include "platform/host_facts.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <memory>

#include "platform/win/handles.h"

namespace bx::host {

uint32_t LocalIpv4Addresses(std::vector<uint32_t>& addresses) {
    addresses.clear();
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The adapter list can grow between the size query and the call: retry a
    // few times with the size the call asks for.
    ULONG size = 15 * 1024;
    std::unique_ptr<unsigned char[]> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.reset(new (std::nothrow) unsigned char[size]);
        if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
        result =
            GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
    }
    if (result == ERROR_NO_DATA) return 0;  // no adapters: an empty list
    if (result != ERROR_SUCCESS) return result;

    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter; adapter = adapter->Next) {
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const SOCKADDR* sa = unicast->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET) continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
            const uint32_t address = ntohl(in->sin_addr.s_addr);
            if (address == kLoopbackAddress) continue;
            addresses.push_back(address);
            if (addresses.size() == kMaxLocalAddresses) return 0;
        }
    }
    return 0;
}

uint32_t ComputerName(std::wstring& name) {
    name.clear();
    wchar_t buffer[256];
    DWORD length = 256;
    if (!GetComputerNameW(buffer, &length)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    name.assign(buffer, length);
    return 0;
}

uint32_t TickCount() { return GetTickCount(); }

bool PauseMicroseconds(uint32_t microseconds) {
    // The flag's value (winbase.h of newer SDKs; mingw-w64's lacks it).
    constexpr DWORD kHighResolution = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
    // One timer per thread that pauses, made at its first pause; a Windows
    // older than 10 1803 refuses the flag. Even a high-resolution timer may
    // fire a millisecond late (Wine's does): a thread whose pause lasts more
    // than twice what it asked, and 100 us more, makes no further pauses.
    struct Pauser {
        win::UniqueHandle timer{CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS)};
        bool tooCoarse = false;
    };
    thread_local Pauser pauser;
    if (!pauser.timer || pauser.tooCoarse) return false;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;  // relative, in 100 ns
    if (!SetWaitableTimer(pauser.timer.get(), &due, 0, nullptr, nullptr, FALSE)) return false;
    if (WaitForSingleObject(pauser.timer.get(), INFINITE) != WAIT_OBJECT_0) return false;
    QueryPerformanceCounter(&end);
    const double elapsedUs = static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart;
    pauser.tooCoarse = elapsedUs > 2.0 * microseconds + 100;
    return true;
}

uint64_t SecondsSince1970() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // FILETIME counts 100 ns since 1601-01-01; 1970 is 11644473600 s later.
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    return ticks < kUnixEpoch ? 0 : (ticks - kUnixEpoch) / 10000000ull;
}

uint32_t ExecutableDirectory(std::wstring& dir) {
    dir.clear();
    // Long-path aware: grow until the whole path fits (32767 is the limit).
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], size);
        if (length == 0) {
            const DWORD error = GetLastError();
            return error != 0 ? error : ERROR_GEN_FAILURE;
        }
        if (length < size) {
            path.resize(length);
            const size_t slash = path.find_last_of(L"\\/");
            dir = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
            return 0;
        }
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace bx::host
