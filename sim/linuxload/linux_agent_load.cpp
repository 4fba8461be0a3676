// linux_agent_load: the Linux agent's figures (scripts/bench.d/linux_agent).
//
//   linux_agent_load BXHVNS [SECONDS_PER_RATE] [IDLE_SECONDS] [RATE...]
//
// Runs the real bxhvns (verbose logging off) with its eBPF programs attached
// to a cgroup of its own, and plays both what lies around it: the users'
// connections and the appliance. A child process, logged in (an audit
// session of its own) and moved into that cgroup, makes real TCP connections
// from a network namespace to a listener on this host at a fixed rate (each
// connection opened, then closed at once with a reset, so that no TIME_WAIT
// fills the port range); in the same namespace a thread answers every
// notification the agent sends, as the appliance does (sim/utm's wire code:
// decoding and the acknowledgement), and notes when each open notification
// arrived. Printed, one line each (scripts/bench's format):
//
//   linux_agent_cpu_us_per_connection_<rate>  the agent's CPU time (all its
//       threads, /proc/PID/task/*/schedstat) per connection: its open and
//       close records, two notifications and two acknowledgements
//   linux_agent_notify_latency_us_p99_<rate>  from the start of connect() in
//       the user's process to the open notification's arrival at the
//       appliance, 99th percentile (p50 beside it); an open that never
//       arrived counts as later than every one that did
//   linux_agent_offered_connections_per_s_<rate>  the rate the load reached
//   linux_agent_lost_events_<rate>  connection events the kernel's ring buffer
//       could not hold while the agent fell behind (the agent logs them)
//   linux_agent_opens_sent_again_<rate>  open notifications the appliance
//       received more than once (the first was lost on the way, or its
//       answer was: the agent sent it again after its time-out)
//   linux_agent_idle_cpu_ms_per_min   the agent's CPU time without traffic,
//       per minute, with one user session logged in (whose one known process
//       the agent looks at every second)
//
// Needs root; removes its namespace, cgroup, files and processes at the end
// (BX_LOAD_KEEP=1 keeps the agent's files, its log among them).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_system.h"
#include "sim/utm/wire.h"

namespace {

const char kKey[] = "0123456789ABCDEF";

uint64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

int Run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteText(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool EnterNamespace(const std::string& name) {
    const int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

// The run time of every thread of a process (nanoseconds).
uint64_t CpuNs(pid_t pid) {
    uint64_t total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (!tasks) return 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(dir + "/" + entry->d_name + "/schedstat");
        uint64_t run = 0;
        if (stat >> run) total += run;
    }
    closedir(tasks);
    return total;
}

std::string Cgroup2Root() {
    std::string root;
    bx::linuxsys::FindCgroup2Root(root);
    return root;
}

struct Arrival {
    uint16_t port;
    uint64_t ns;
};

// The appliance: answers every notification, notes the open ones' arrival.
class Appliance {
public:
    bool Start(const std::string& ns, uint32_t address, uint16_t port) {
        bool ready = false;
        std::mutex lock;
        port_ = port;
        thread_ = std::thread([&, ns, address, port] {
            bool ok = EnterNamespace(ns);
            fd_ = ok ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_addr.s_addr = htonl(address);
            at.sin_port = htons(port);
            const int size = 16 << 20;
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
            ok = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                ready = true;
                ok_ = ok;
            }
            if (ok) Serve();
        });
        while (true) {
            std::lock_guard<std::mutex> guard(lock);
            if (ready) break;
        }
        return ok_;
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    std::vector<Arrival> Opens() {
        std::lock_guard<std::mutex> guard(lock_);
        return opens_;
    }
    size_t Notifications() const { return notifications_.load(); }
    size_t Resent() const { return resent_.load(); }
    bool SawReset() const { return resets_.load() > 0; }

private:
    void Serve() {
        utm::Key key;
        utm::KeyFromText(kKey, key);
        utm::Cipher cipher(key);
        uint8_t buffer[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            const uint64_t at = NowNs();
            if (got <= 0) continue;
            const utm::Decoded d = utm::Decode(buffer, static_cast<size_t>(got), cipher);
            if (d.reset) ++resets_;
            if (!utm::IsNotification(d)) continue;
            ++notifications_;
            if (d.protOp && (*d.protOp >> 4) == utm::kOpOpen && d.port) {
                std::lock_guard<std::mutex> guard(lock_);
                if (seen_.insert(d.requestId).second)
                    opens_.push_back(Arrival{*d.port, at});
                else
                    ++resent_;
            }
            // To the agent's listening port, which is the appliance's own.
            const std::vector<uint8_t> answer = utm::AckAnswer(d).Clear();
            from.sin_port = htons(port_);
            sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::thread thread_;
    int fd_ = -1;
    uint16_t port_ = 0;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Arrival> opens_;  // the first arrival of each open notification
    std::set<uint32_t> seen_;     // their request ids
    std::atomic<size_t> resent_{0};
    std::atomic<size_t> notifications_{0};
    std::atomic<size_t> resets_{0};
};

// What the load child records of each connection, in memory shared with this
// process.
struct Connection {
    uint64_t startNs;
    uint16_t port;
    uint16_t failed;
};

std::string Quad(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

// Waits (at most 120 s) until the agent has done what the load left it: less
// than 2 ms of CPU time in a second.
void SettleAgent(pid_t agent) {
    for (int i = 0; i < 120; ++i) {
        const uint64_t before = CpuNs(agent);
        sleep(1);
        if (CpuNs(agent) - before < 2000000) return;
    }
}

// The connection events the agent logged as lost (ring buffer full).
uint64_t LostEvents(const std::string& logPath) {
    std::ifstream log(logPath);
    std::string line;
    uint64_t lost = 0;
    const std::string marker = "The kernel's ring buffer was full: ";
    while (std::getline(log, line)) {
        const size_t at = line.find(marker);
        if (at != std::string::npos) lost += std::strtoull(line.c_str() + at + marker.size(), nullptr, 10);
    }
    return lost;
}

void Figure(const std::string& name, double value, const char* unit, const char* target) {
    std::printf("%s: %.1f %s (target %s)\n", name.c_str(), value, unit, target);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "Usage: linux_agent_load BXHVNS [SECONDS_PER_RATE] [IDLE_SECONDS] [RATE...]\n"
                     "  (defaults 10 s, 60 s, rates 1000 5000)\n");
        return 2;
    }
    const std::string agentProgram = argv[1];
    const unsigned seconds = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 10;
    const unsigned idleSeconds = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 60;
    std::vector<unsigned> rates;
    for (int i = 4; i < argc; ++i) rates.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    if (rates.empty()) rates = {1000, 5000};
    if (geteuid() != 0) {
        std::fprintf(stderr, "linux_agent_load: run as root (namespaces, cgroups, eBPF)\n");
        return 1;
    }

    // A namespace and veth pair of its own inside 198.18.0.0/15.
    const pid_t self = getpid();
    const std::string ns = "bxload" + std::to_string(self), hostIf = "bxl" + std::to_string(self) + "h",
                      peerIf = "bxl" + std::to_string(self) + "p";
    const uint32_t block = 64 + static_cast<uint32_t>(self) % (32768 - 64);
    const uint32_t hostIp = (198u << 24 | 18u << 16) + block * 4 + 1, peerIp = hostIp + 1;
    char dirPattern[] = "/tmp/bxhvns-load-XXXXXX";
    const std::string dir = mkdtemp(dirPattern) ? dirPattern : "/tmp";
    const std::string cgroup = Cgroup2Root() + "/bxhvns-load-" + std::to_string(self);
    pid_t agent = -1, sleeper = -1;
    Appliance appliance;
    int listener = -1;
    std::atomic<bool> stopAccept{false};
    std::thread acceptor;
    auto cleanup = [&] {
        for (pid_t pid : {agent, sleeper})
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        appliance.Stop();
        stopAccept = true;
        if (acceptor.joinable()) acceptor.join();
        if (listener >= 0) close(listener);
        std::ifstream procs(cgroup + "/cgroup.procs");
        for (std::string pid; procs >> pid;) WriteText(Cgroup2Root() + "/cgroup.procs", pid);
        rmdir(cgroup.c_str());
        // The UDP figures of the appliance's namespace, for a look at drops.
        Run("ip link del " + hostIf);
        Run("ip netns del " + ns);
        if (std::getenv("BX_LOAD_KEEP"))
            std::fprintf(stderr, "linux_agent_load: the agent's files are kept in %s\n", dir.c_str());
        else
            Run("rm -rf " + dir);
    };
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "linux_agent_load: %s\n", why.c_str());
        cleanup();
        return 1;
    };
    const std::string exec = "ip netns exec " + ns + " ";
    for (const std::string& step :
         {"ip netns add " + ns, "ip link add " + hostIf + " type veth peer name " + peerIf,
          "ip link set " + peerIf + " netns " + ns, "ip addr add " + Quad(hostIp) + "/30 dev " + hostIf,
          "ip link set " + hostIf + " up", exec + "ip addr add " + Quad(peerIp) + "/30 dev " + peerIf,
          exec + "ip link set " + peerIf + " up", exec + "ip link set lo up",
          exec + "sysctl -w net.ipv4.ip_local_port_range='1024 65000'"})
        if (Run(step) != 0) return fail("'" + step + "' failed");
    if (mkdir(cgroup.c_str(), 0755) != 0) return fail("cannot create " + cgroup);

    // The listener the users connect to: accepted and closed at once.
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(hostIp);
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 4096) != 0)
        return fail("no listener");
    socklen_t atLength = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &atLength);
    const uint16_t tcpPort = ntohs(at.sin_port);
    acceptor = std::thread([&] {
        while (!stopAccept) {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(fd);
        }
    });

    // The appliance, and the agent's settings naming it.
    const uint16_t port = static_cast<uint16_t>(20000 + self % 20000);
    if (!appliance.Start(ns, peerIp, port)) return fail("the appliance cannot listen");
    {
        const std::string conf = dir + "/agent.conf";
        std::ofstream out(conf);
        out << "ip = " << Quad(peerIp) << "\nport = " << port << "\nkey = " << kKey << "\nverbose = 0\n";
        out.close();
        chmod(conf.c_str(), 0600);
    }
    agent = fork();
    if (agent == 0) {
        const int null = open("/dev/null", O_WRONLY);  // the log file holds it all
        dup2(null, 1);
        dup2(null, 2);
        execl(agentProgram.c_str(), agentProgram.c_str(), "--console", "--config", (dir + "/agent.conf").c_str(),
              "--state-dir", (dir + "/state").c_str(), "--log-dir", (dir + "/log").c_str(), "--run-dir",
              (dir + "/run").c_str(), "--cgroup", cgroup.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200 && !appliance.SawReset(); ++i) usleep(50000);
    if (!appliance.SawReset()) return fail("the agent did not start (no reset request within 10 s)");

    int status = 0;
    uint64_t lostBefore = 0;
    for (unsigned rate : rates) {
        const size_t count = static_cast<size_t>(rate) * seconds;
        auto* log = static_cast<Connection*>(
            mmap(nullptr, count * sizeof(Connection), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        int go[2];
        if (log == MAP_FAILED || pipe(go) != 0) return fail("no shared memory");
        const size_t before = appliance.Opens().size();
        const pid_t load = fork();
        if (load == 0) {
            // A login of root's (an audit session of its own), in the cgroup
            // (the parent moves it), in the namespace.
            char c;
            if (!WriteText("/proc/self/loginuid", "0") || read(go[0], &c, 1) != 1 || !EnterNamespace(ns)) _exit(3);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(hostIp);
            to.sin_port = htons(tcpPort);
            const linger reset{1, 0};
            const uint64_t start = NowNs(), step = 1000000000ull / rate;
            for (size_t i = 0; i < count; ++i) {
                const uint64_t due = start + i * step;
                timespec when{static_cast<time_t>(due / 1000000000ull), static_cast<long>(due % 1000000000ull)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
                log[i].startNs = NowNs();
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                    log[i].failed = 1;
                } else {
                    sockaddr_in local{};
                    socklen_t length = sizeof local;
                    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
                    log[i].port = ntohs(local.sin_port);
                }
                close(fd);
            }
            _exit(0);
        }
        WriteText(cgroup + "/cgroup.procs", std::to_string(load));
        const uint64_t cpuBefore = CpuNs(agent), wallBefore = NowNs();
        (void)!write(go[1], "g", 1);
        waitpid(load, nullptr, 0);
        const uint64_t loadEnd = NowNs();
        // Every open has arrived, or nothing more has come for 15 s (longer
        // than the agent's time-out and retransmit scan: an open lost on the
        // way arrives again).
        size_t made = 0;
        for (size_t i = 0; i < count; ++i) made += log[i].failed == 0;
        const size_t resentBefore = appliance.Resent();
        for (size_t last = 0, quiet = 0; appliance.Opens().size() - before < made && quiet < 300; usleep(50000)) {
            const size_t now = appliance.Notifications();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        SettleAgent(agent);
        const uint64_t cpu = CpuNs(agent) - cpuBefore;
        const std::vector<Arrival> all = appliance.Opens();
        // Connections and arrivals per port, in time order, paired.
        std::map<uint16_t, std::vector<uint64_t>> started, arrived;
        for (size_t i = 0; i < count; ++i)
            if (!log[i].failed) started[log[i].port].push_back(log[i].startNs);
        for (size_t i = before; i < all.size(); ++i) arrived[all[i].port].push_back(all[i].ns);
        std::vector<uint64_t> latencies;
        for (auto& [p, starts] : started) {
            auto& arrivals = arrived[p];
            size_t j = 0;
            for (uint64_t s : starts) {
                while (j < arrivals.size() && arrivals[j] < s) ++j;
                if (j < arrivals.size()) latencies.push_back(arrivals[j++] - s);
            }
        }
        std::sort(latencies.begin(), latencies.end());
        const std::string suffix = "_" + std::to_string(rate);
        const double offered = made / ((loadEnd - wallBefore) / 1e9);
        const uint64_t lost = LostEvents(dir + "/log/BXHVNAgent.log") - lostBefore;
        lostBefore += lost;
        if (made == 0) {
            std::printf(
                "linux_agent_cpu_us_per_connection%s: not measured (target <= 10 us) -- no connection was "
                "made\n",
                suffix.c_str());
            status = 1;
        } else {
            Figure("linux_agent_cpu_us_per_connection" + suffix, cpu / 1000.0 / made, "us", "<= 10 us");
            // An open that never arrived counts as later than any that did.
            if (latencies.size() * 100 >= made * 99) {
                Figure("linux_agent_notify_latency_us_p99" + suffix, latencies[made * 99 / 100] / 1000.0, "us",
                       "none set");
            } else {
                std::printf(
                    "linux_agent_notify_latency_us_p99%s: not reached (target none set) -- %zu of %zu opens "
                    "never arrived\n",
                    suffix.c_str(), made - latencies.size(), made);
                status = 1;
            }
            if (!latencies.empty())
                Figure("linux_agent_notify_latency_us_p50" + suffix,
                       latencies[std::min(made / 2, latencies.size() - 1)] / 1000.0, "us", "none set");
            Figure("linux_agent_offered_connections_per_s" + suffix, offered, "connections/s",
                   std::to_string(rate).c_str());
            Figure("linux_agent_lost_events" + suffix, static_cast<double>(lost), "events", "0");
            Figure("linux_agent_opens_sent_again" + suffix, static_cast<double>(appliance.Resent() - resentBefore),
                   "notifications", "0");
        }
        munmap(log, count * sizeof(Connection));
        close(go[0]);
        close(go[1]);
    }

    // Idle, with one logged-in session whose processes the agent looks for.
    int hold[2];
    if (pipe(hold) != 0) return fail("no pipe");
    sleeper = fork();
    if (sleeper == 0) {
        char c;
        WriteText("/proc/self/loginuid", "0");
        close(hold[1]);
        (void)!read(hold[0], &c, 1);
        _exit(0);
    }
    close(hold[0]);
    WriteText(cgroup + "/cgroup.procs", std::to_string(sleeper));
    sleep(5);  // the load's session has ended and been reported
    SettleAgent(agent);
    const uint64_t idleBefore = CpuNs(agent);
    sleep(idleSeconds);
    const uint64_t idle = CpuNs(agent) - idleBefore;
    Figure("linux_agent_idle_cpu_ms_per_min", idle / 1e6 * 60.0 / idleSeconds, "ms", "<= 50 ms");
    close(hold[1]);
    cleanup();
    return status;
}
