// The Linux snoop device's backend: the eBPF programs' ring buffer read by a
// thread of the agent's own into the queue that CSnoopDevice reads
// (snoop_read_queue.h), as the in-process device does.
#include "agent/snoop/snoop_device_linux.h"

#include <arpa/inet.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/appliance/wake_pacer.h"
#include "agent/snoop/bxhvns_snoop.skel.h"
#include "agent/snoop/ebpf/snoop_record.h"
#include "agent/snoop/snoop_read_queue.h"
#include "platform/errors.h"
#include "platform/linux/audit_sessions.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/unix_accounts.h"

namespace {

constexpr uint32_t kNotSupported = 50;      // ERROR_NOT_SUPPORTED
constexpr long kCgroup2Magic = 0x63677270;  // CGROUP2_SUPER_MAGIC
constexpr int kCapNetAdmin = 12, kCapSysAdmin = 21, kCapPerfmon = 38, kCapBpf = 39;

// libbpf's messages of the last start, for the one error line.
std::mutex messageLock;
std::string lastMessage;

int KeepLibbpfMessage(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG) return 0;
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return 0;
    std::lock_guard<std::mutex> guard(messageLock);
    lastMessage = line;
    return 0;
}

std::string LastLibbpfMessage() {
    std::lock_guard<std::mutex> guard(messageLock);
    return lastMessage;
}

struct Source {
    std::mutex lock;  // guards the state below; the records have their own
    std::condition_variable roomForMore;
    bool running = false;
    bool stopping = false;
    bxhvns_snoop* skeleton = nullptr;
    ring_buffer* ring = nullptr;
    int stopFd = -1;
    std::thread reader;
    std::string cgroup;
    bx::snoopdev::KernelSourceOptions options;
    CSnoopReadQueue reads;
    std::atomic<uint64_t> delivered{0};
};

Source& TheSource() {
    static Source source;
    return source;
}

snoop_event_t ToSnoopEvent(const bx_snoop_record& record) {
    snoop_event_t event;
    std::memset(&event, 0, sizeof event);
    event.protocol = record.protocol;
    event.event_type = record.kind;
    event.local_ip = ntohl(record.local_ip);
    event.local_port = htons(record.local_port);
    event.remote_ip = ntohl(record.remote_ip);
    event.remote_port = htons(record.remote_port);
    event.process_id = record.pid;
    event.session_id = record.session_id == bx::sessions::kNoAuditSession ? 0 : record.session_id;
    event.file_object = record.cookie;
    const std::vector<uint8_t> sid = bx::accounts::UnixUserSid(static_cast<uid_t>(record.uid));
    std::memcpy(event.sid, sid.data(), sid.size());
    return event;
}

int OnRecord(void* context, void* data, size_t size) {
    auto* source = static_cast<Source*>(context);
    if (size < sizeof(bx_snoop_record)) return 0;
    bx_snoop_record record;
    std::memcpy(&record, data, sizeof record);
    if (record.kind == BX_RECORD_OPEN && record.session_id != bx::sessions::kNoAuditSession &&
        bx::sessions::NoteSessionUser(record.session_id, static_cast<uid_t>(record.login_uid)) &&
        source->options.onNewSession)
        source->options.onNewSession(record.session_id);
    snoop_event_t event = ToSnoopEvent(record);
    ++source->delivered;
    event.pending = static_cast<uint32_t>(source->reads.Queued());
    source->reads.Complete({event, SNOOP_EVENT_SIZE, 0});
    return 0;
}

// Under a sustained load the reader pauses between runs (CWakePacer), as the
// agent's other threads do: the ring buffer gathers what comes meanwhile, and
// one wake-up takes it all.
void ReaderLoop(Source* source) {
    pollfd fds[2] = {{ring_buffer__epoll_fd(source->ring), POLLIN, 0}, {source->stopFd, POLLIN, 0}};
    CWakePacer pacer;
    for (;;) {
        {
            // A full queue leaves the records in the ring buffer until the
            // snooper has taken some.
            std::unique_lock<std::mutex> guard(source->lock);
            source->roomForMore.wait(
                guard, [&] { return source->stopping || source->reads.Queued() < source->options.maxQueued; });
            if (source->stopping) return;
        }
        fds[0].revents = fds[1].revents = 0;
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        if (fds[0].revents) {
            uint64_t runStartUs = CWakePacer::NowUs();
            const int consumed = ring_buffer__consume(source->ring);
            uint32_t taken = consumed > 0 ? static_cast<uint32_t>(consumed) : 0;
            pacer.PauseAfterRun(runStartUs, taken);
        }
    }
}

// The effective capabilities of this process.
bool HasCapability(const __user_cap_data_struct (&data)[2], int cap) {
    return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

std::string MissingCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return "";
    if (HasCapability(data, kCapSysAdmin)) return "";
    std::string missing;
    for (auto [cap, name] : {std::pair<int, const char*>{kCapBpf, "CAP_BPF"},
                             {kCapPerfmon, "CAP_PERFMON"},
                             {kCapNetAdmin, "CAP_NET_ADMIN"}})
        if (!HasCapability(data, cap)) missing += std::string(missing.empty() ? "" : ", ") + name;
    return missing;
}

// Whether the running kernel's BTF has what the programs read.
uint32_t CheckKernelBtf(std::string& error) {
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        error =
            "the kernel offers no BTF (/sys/kernel/btf/vmlinux): the agent's eBPF programs need a kernel built "
            "with CONFIG_DEBUG_INFO_BTF";
        return kNotSupported;
    }
    btf* kernel = btf__load_vmlinux_btf();
    if (!kernel) {
        error = std::string("the kernel's BTF cannot be read: ") + std::strerror(errno);
        return kNotSupported;
    }
    bool sessionId = false, loginUid = false;
    const int id = btf__find_by_name_kind(kernel, "task_struct", BTF_KIND_STRUCT);
    if (id > 0) {
        const btf_type* type = btf__type_by_id(kernel, static_cast<__u32>(id));
        const btf_member* member = btf_members(type);
        for (int i = 0; i < btf_vlen(type); ++i, ++member) {
            const char* name = btf__name_by_offset(kernel, member->name_off);
            if (name && std::strcmp(name, "sessionid") == 0) sessionId = true;
            if (name && std::strcmp(name, "loginuid") == 0) loginUid = true;
        }
    }
    btf__free(kernel);
    if (!sessionId || !loginUid) {
        error =
            "the kernel keeps no audit sessions (task_struct has no sessionid/loginuid): the agent needs a kernel "
            "built with CONFIG_AUDITSYSCALL";
        return kNotSupported;
    }
    return 0;
}

void DestroyLocked(Source& source) {
    if (source.ring) ring_buffer__free(source.ring);
    source.ring = nullptr;
    // Destroying the skeleton detaches every link and frees the maps.
    if (source.skeleton) bxhvns_snoop__destroy(source.skeleton);
    source.skeleton = nullptr;
    if (source.stopFd >= 0) close(source.stopFd);
    source.stopFd = -1;
}

}  // namespace

namespace bx::snoopdev {

uint32_t StartKernelSource(const KernelSourceOptions& options, std::string& error) {
    Source& source = TheSource();
    error.clear();
    {
        std::lock_guard<std::mutex> guard(source.lock);
        if (source.running) {
            error = "the eBPF programs are loaded already";
            return err::kAlreadyExists;
        }
    }
    const std::string missing = MissingCapabilities();
    if (!missing.empty()) {
        error =
            "bxhvns needs the capabilities CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN (or CAP_SYS_ADMIN) to load its "
            "eBPF programs; missing: " +
            missing;
        return err::kAccessDenied;
    }
    if (uint32_t rc = CheckKernelBtf(error)) return rc;
    std::string cgroup = options.cgroupPath;
    if (cgroup.empty() && bx::linuxsys::FindCgroup2Root(cgroup) != 0) {
        error = "no cgroup2 hierarchy is mounted: the agent attaches its eBPF programs to a cgroup (version 2)";
        return kNotSupported;
    }
    struct statfs fs {};
    if (statfs(cgroup.c_str(), &fs) != 0 || static_cast<long>(fs.f_type) != kCgroup2Magic) {
        error = "cgroup " + cgroup + " is not a directory of a cgroup2 hierarchy";
        return err::kFileNotFound;
    }
    const uint32_t ring = options.ringBufferBytes;
    if (ring < 4096 || (ring & (ring - 1)) != 0) {
        error = "the ring buffer's size must be a power of two of at least 4096 bytes, not " + std::to_string(ring);
        return err::kInvalidParameter;
    }

    libbpf_set_print(KeepLibbpfMessage);
    {
        std::lock_guard<std::mutex> guard(messageLock);
        lastMessage.clear();
    }
    std::lock_guard<std::mutex> guard(source.lock);
    source.options = options;
    source.cgroup = cgroup;
    source.skeleton = bxhvns_snoop__open();
    if (!source.skeleton) {
        const int e = errno;
        error = "the eBPF programs cannot be opened: " + std::string(std::strerror(e));
        return bx::linuxsys::ErrorFromErrno(e);
    }
    bpf_map__set_max_entries(source.skeleton->maps.events, ring);
    if (int rc = bxhvns_snoop__load(source.skeleton)) {
        error = "the kernel refused the agent's eBPF programs (" + std::string(std::strerror(-rc)) + ")";
        const std::string why = LastLibbpfMessage();
        if (!why.empty()) error += ": " + why;
        DestroyLocked(source);
        return bx::linuxsys::ErrorFromErrno(-rc);
    }
    const int cgroupFd = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroupFd < 0) {
        const int e = errno;
        error = "cgroup " + cgroup + " cannot be opened: " + std::strerror(e);
        DestroyLocked(source);
        return bx::linuxsys::ErrorFromErrno(e);
    }
    struct {
        bpf_program* program;
        bpf_link** link;
    } attachments[] = {
        {source.skeleton->progs.bx_post_bind4, &source.skeleton->links.bx_post_bind4},
        {source.skeleton->progs.bx_post_bind6, &source.skeleton->links.bx_post_bind6},
        {source.skeleton->progs.bx_sockops, &source.skeleton->links.bx_sockops},
        {source.skeleton->progs.bx_egress, &source.skeleton->links.bx_egress},
        {source.skeleton->progs.bx_sock_release, &source.skeleton->links.bx_sock_release},
    };
    for (auto& attachment : attachments) {
        *attachment.link = bpf_program__attach_cgroup(attachment.program, cgroupFd);
        if (!*attachment.link) {
            const int e = errno;
            error = "attaching " + std::string(bpf_program__name(attachment.program)) + " to cgroup " + cgroup +
                    " failed: " + std::strerror(e);
            close(cgroupFd);
            DestroyLocked(source);
            return bx::linuxsys::ErrorFromErrno(e);
        }
    }
    close(cgroupFd);
    source.ring = ring_buffer__new(bpf_map__fd(source.skeleton->maps.events), OnRecord, &source, nullptr);
    source.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!source.ring || source.stopFd < 0) {
        const int e = errno;
        error = "the ring buffer cannot be read: " + std::string(std::strerror(e));
        DestroyLocked(source);
        return bx::linuxsys::ErrorFromErrno(e);
    }
    source.reads.Clear();
    source.delivered = 0;
    source.stopping = false;
    source.running = true;
    source.reader = std::thread(ReaderLoop, &source);
    return 0;
}

namespace {

// Ends the reading thread (the ring buffer stays).
void StopReader(Source& source) {
    {
        std::lock_guard<std::mutex> guard(source.lock);
        if (!source.running) return;
        source.stopping = true;
        const uint64_t one = 1;
        (void)!write(source.stopFd, &one, sizeof one);
    }
    source.roomForMore.notify_all();
    if (source.reader.joinable()) source.reader.join();
}

}  // namespace

void DetachKernelSource() {
    Source& source = TheSource();
    {
        std::lock_guard<std::mutex> guard(source.lock);
        if (!source.running || !source.skeleton) return;
        bxhvns_snoop__detach(source.skeleton);
    }
    StopReader(source);
    // The callback takes the lock itself; the queue takes every record left.
    if (source.ring) ring_buffer__consume(source.ring);
}

void StopKernelSource() {
    Source& source = TheSource();
    StopReader(source);
    std::lock_guard<std::mutex> guard(source.lock);
    if (!source.running) return;
    DestroyLocked(source);
    source.reads.Clear();
    source.running = false;
    source.cgroup.clear();
}

bool KernelSourceRunning() {
    Source& source = TheSource();
    std::lock_guard<std::mutex> guard(source.lock);
    return source.running;
}

std::string KernelSourceCgroup() {
    Source& source = TheSource();
    std::lock_guard<std::mutex> guard(source.lock);
    return source.cgroup;
}

KernelSourceCounters GetKernelSourceCounters() {
    Source& source = TheSource();
    std::lock_guard<std::mutex> guard(source.lock);
    KernelSourceCounters counters;
    counters.delivered = source.delivered;
    counters.queued = source.reads.Queued();
    if (source.skeleton) {
        const int cpus = libbpf_num_possible_cpus();
        if (cpus > 0) {
            std::vector<uint64_t> perCpu(static_cast<size_t>(cpus));
            const uint32_t zero = 0;
            if (bpf_map__lookup_elem(source.skeleton->maps.lost, &zero, sizeof zero, perCpu.data(),
                                     perCpu.size() * sizeof(uint64_t), 0) == 0)
                for (uint64_t value : perCpu) counters.lost += value;
        }
    }
    return counters;
}

CSnoopReadQueue& BackendReads() { return TheSource().reads; }

// Without the kernel side there is no device, as on a machine without the
// driver.
uint32_t BackendOpenError() { return KernelSourceRunning() ? 0 : err::kFileNotFound; }

// A reading thread that waits for room goes on.
void BackendRecordTaken() {
    Source& source = TheSource();
    if (source.reads.Queued() < source.options.maxQueued) source.roomForMore.notify_one();
}

}  // namespace bx::snoopdev
