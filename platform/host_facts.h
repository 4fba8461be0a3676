// Host facts: what the agent needs to know about the machine it runs on.
//
// Windows: GetAdaptersAddresses, GetComputerNameW, GetTickCount,
// GetSystemTimeAsFileTime, GetModuleFileNameW, waitable timers. POSIX:
// getifaddrs, gethostname, the monotonic and real-time clocks, nanosleep,
// /proc/self/exe.
// The calling thread's id is CurrentThreadId() of platform/thread_id.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/thread_id.h"

namespace bx::host {

// At most this many local addresses are reported.
constexpr size_t kMaxLocalAddresses = 10;
// 127.0.0.1 in host byte order; never reported.
constexpr uint32_t kLoopbackAddress = 0x7F000001u;

// The host's IPv4 unicast addresses in adapter order, as 32-bit values in host
// byte order (192.168.1.2 is 0xC0A80102). Anycast, multicast and DNS-server
// entries and 127.0.0.1 are skipped; at most kMaxLocalAddresses. 0 with the
// list (possibly empty), or the system's error with the list cleared.
uint32_t LocalIpv4Addresses(std::vector<uint32_t>& addresses);

// The computer name (GetComputerNameW: the NetBIOS name; POSIX: the host
// name), at most 255 characters. 0 with the name, or the system's error with
// name cleared.
uint32_t ComputerName(std::wstring& name);

// Milliseconds since an arbitrary start (system start on Windows); wraps
// around after 2^32 ms like GetTickCount, so compare by unsigned difference.
uint32_t TickCount();

// Pauses the calling thread for about `microseconds` (a few hundred at most
// is what it is for) and answers true; answers false at once, without a
// pause, when the host cannot wait that briefly. POSIX: nanosleep. Windows: a
// high-resolution waitable timer (Windows 10 1803 and later; without one a
// wait lasts until the next timer tick, up to 15.6 ms, so none is made), and
// a thread whose pause lasted more than twice what it asked makes no more.
bool PauseMicroseconds(uint32_t microseconds);

// Seconds since 1970-01-01 00:00:00 UTC.
uint64_t SecondsSince1970();

// Directory of the running executable, without a trailing separator (a root
// directory is returned as "C:" or "" for "/"). 0 with the path, or the
// system's error with dir cleared.
uint32_t ExecutableDirectory(std::wstring& dir);

}  // namespace bx::host
