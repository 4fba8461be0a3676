// The Linux snoop device's kernel side (Linux only): the eBPF programs of
// ebpf/snoop.bpf.c, loaded once per process and attached to one cgroup
// through BPF links the process owns (they are detached when it ends, however
// it ends), and the thread that reads their ring buffer. CSnoopDevice
// (snoop_device_linux.cpp) reads its records through the same seam as the
// Windows driver's: one outstanding read of one snoop_event_t at a time.
//
// Each kernel record becomes a snoop_event_t: protocol, open or clean-up,
// local and remote IPv4 address (host order) and port (network order), the
// process id, the audit session id as the session (0 for a process outside
// every login), the socket's cookie as the file object, and the process's
// real uid as the Unix-user SID S-1-22-1-<uid>. The login uid of each session
// seen is noted for naming the session (platform/linux/audit_sessions.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bx::snoopdev {

struct KernelSourceOptions {
    // The cgroup (version 2) whose processes' addresses are reported, with
    // every cgroup below it. Empty: the root of the cgroup2 hierarchy.
    std::string cgroupPath;
    // Bytes of the ring buffer: a power of two, at least a page.
    uint32_t ringBufferBytes = 1u << 20;
    // Records read from the ring buffer and not yet taken by the snooper, at
    // most; beyond it the ring buffer is left to fill (and to count what it
    // cannot hold).
    size_t maxQueued = 65536;
    // Called on the reading thread when a record shows a session not seen
    // before.
    std::function<void(uint32_t sessionId)> onNewSession;
};

struct KernelSourceCounters {
    uint64_t delivered = 0;  // records read from the ring buffer
    uint64_t lost = 0;       // records the ring buffer could not hold
    size_t queued = 0;       // records waiting for the snooper
};

// Checks what the programs need (the capabilities to load and attach them,
// the kernel's BTF with its audit session fields, a cgroup2 directory),
// loads the programs, attaches them and starts reading. 0, or an error with
// `error` saying in one line what is missing or what failed. The source runs
// until StopKernelSource or the end of the process.
uint32_t StartKernelSource(const KernelSourceOptions& options, std::string& error);
// Detaches the programs (no record comes any more) and moves every record
// still in the ring buffer into the queue; the device goes on reading the
// queue. The first step of stopping without losing what the kernel saw.
void DetachKernelSource();
// Detaches the programs, stops reading and drops what was not read.
void StopKernelSource();
bool KernelSourceRunning();
// The cgroup the programs are attached to ("" when not running).
std::string KernelSourceCgroup();
KernelSourceCounters GetKernelSourceCounters();

}  // namespace bx::snoopdev
