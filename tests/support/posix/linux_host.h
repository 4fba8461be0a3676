// Test helpers of the Linux agent's tests (native, root): test users made
// with useradd and removed with userdel, child processes in audit sessions of
// their own, cgroups of the tests' own below the cgroup2 root, bounded waits.
#pragma once
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/bpf.h>
#include <sched.h>
#include <sys/syscall.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/linux_system.h"
#include "tests/support/posix/line_reader.h"

namespace bx::test {

// Polls `done` every pollMs until it holds or timeoutMs passes.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs, int pollMs = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}

// Runs a shell command; its exit code, and what it printed (both streams).
inline int Shell(const std::string& command, std::string* output = nullptr) {
    std::string text;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool WriteText(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

// Whether a test program of that process id still runs (what it left
// behind when it was killed is removed by the next one).
inline bool ProcessRuns(const std::string& pid) {
    struct stat st {};
    return !pid.empty() && stat(("/proc/" + pid).c_str(), &st) == 0;
}

// The digits that follow `prefix` at the start of `name` ("" when none).
inline std::string PidAfter(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return "";
    size_t end = prefix.size();
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    return name.substr(prefix.size(), end - prefix.size());
}

// A local user made for the test (no home, no login shell), removed again.
// The name is "bxt" with the process id and a tag, so that test programs
// running at once do not collide; users of test programs that no longer run
// are removed first.
class TestUser {
public:
    explicit TestUser(const std::string& tag) : name_("bxt" + std::to_string(getpid()) + tag) {}
    ~TestUser() { Remove(); }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    bool Create(std::string& why) {
        Remove();
        std::string output;
        Shell("cut -d: -f1 /etc/passwd", &output);
        std::istringstream users(output);
        for (std::string user; users >> user;) {
            const std::string pid = PidAfter(user, "bxt");
            if (!pid.empty() && !ProcessRuns(pid)) Shell("userdel " + user);
        }
        if (Shell("useradd -M -N -s /usr/sbin/nologin " + name_, &output) != 0) {
            why = "useradd " + name_ + " failed: " + output;
            return false;
        }
        created_ = true;
        if (Shell("id -u " + name_, &output) != 0) {
            why = "id -u " + name_ + " failed: " + output;
            return false;
        }
        uid_ = static_cast<uid_t>(std::strtoul(output.c_str(), nullptr, 10));
        return true;
    }
    void Remove() {
        if (created_) Shell("userdel " + name_);
        created_ = false;
    }
    const std::string& Name() const { return name_; }
    uid_t Uid() const { return uid_; }

private:
    std::string name_;
    uid_t uid_ = 0;
    bool created_ = false;
};

// In a forked child: leaves the audit session it inherited, as a process
// that no login started (a system daemon) has none.
inline bool LeaveAuditSession() { return WriteText("/proc/self/loginuid", "4294967295"); }

// In a forked child: enters the network namespace `name` (ip netns).
inline bool EnterNetworkNamespace(const std::string& name) {
    const int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool entered = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return entered;
}

// The audit session id of a process (4294967295 for none).
inline uint32_t SessionIdOf(pid_t pid) {
    return static_cast<uint32_t>(
        std::strtoul(ReadText("/proc/" + std::to_string(pid) + "/sessionid").c_str(), nullptr, 10));
}

// In a forked child: a login of `uid` as pam_loginuid makes one (a new audit
// session with that login uid), then that user's identity. False when a
// step failed (the child should then exit with an error).
inline bool BecomeLoggedInUser(uid_t uid, gid_t gid) {
    if (!WriteText("/proc/self/loginuid", std::to_string(uid))) return false;
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// A cgroup of the test's own below the cgroup2 root; processes moved into it
// are moved back to the root and the cgroup removed at the end, so nothing
// of the test stays in the hierarchy (cgroups of test programs that no
// longer run are removed when the next one makes its own).
class TestCgroup {
public:
    TestCgroup() = default;
    ~TestCgroup() { Remove(); }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    bool Create(const std::string& tag, std::string& why) {
        if (linuxsys::FindCgroup2Root(root_) != 0) {
            why = "no cgroup2 hierarchy is mounted";
            return false;
        }
        if (DIR* cgroups = opendir(root_.c_str())) {
            while (const dirent* entry = readdir(cgroups)) {
                const std::string pid = PidAfter(entry->d_name, "bxhvns-test-");
                if (!pid.empty() && !ProcessRuns(pid)) Empty(root_ + "/" + entry->d_name);
            }
            closedir(cgroups);
        }
        path_ = root_ + "/bxhvns-test-" + std::to_string(getpid()) + "-" + tag;
        rmdir(path_.c_str());
        if (mkdir(path_.c_str(), 0755) != 0) {
            why = "cannot create " + path_ + ": " + std::strerror(errno);
            path_.clear();
            return false;
        }
        return true;
    }
    const std::string& Path() const { return path_; }
    bool Add(pid_t pid) const { return WriteText(path_ + "/cgroup.procs", std::to_string(pid)); }
    void Remove() {
        if (path_.empty()) return;
        Empty(path_);
        path_.clear();
    }

private:
    // Moves its processes back to the root and removes the cgroup.
    void Empty(const std::string& path) const {
        std::istringstream procs(ReadText(path + "/cgroup.procs"));
        std::string pid;
        while (procs >> pid) WriteText(root_ + "/cgroup.procs", pid);
        WaitFor([&] { return rmdir(path.c_str()) == 0 || errno == ENOENT; }, 5000);
    }

    std::string root_, path_;
};

// The eBPF programs attached to a cgroup, over every attach type the Linux
// snoop device uses (BPF_PROG_QUERY).
inline size_t AttachedPrograms(const std::string& cgroup) {
    const int fd = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t total = 0;
    for (bpf_attach_type type : {BPF_CGROUP_INET4_POST_BIND, BPF_CGROUP_INET6_POST_BIND, BPF_CGROUP_SOCK_OPS,
                                 BPF_CGROUP_INET_EGRESS, BPF_CGROUP_INET_SOCK_RELEASE}) {
        uint32_t ids[16] = {};
        bpf_attr attr{};
        attr.query.target_fd = static_cast<uint32_t>(fd);
        attr.query.attach_type = type;
        attr.query.prog_ids = reinterpret_cast<uint64_t>(ids);
        attr.query.prog_cnt = 16;
        if (syscall(__NR_bpf, BPF_PROG_QUERY, &attr, sizeof attr) == 0) total += attr.query.prog_cnt;
    }
    close(fd);
    return total;
}

// A forked child running `body` (its return value is the exit code); killed
// and reaped at the end when still running.
class Child {
public:
    explicit Child(const std::function<int()>& body) {
        pid_ = fork();
        if (pid_ == 0) {
            int code = 120;
            try {
                code = body();
            } catch (...) {
            }
            _exit(code);
        }
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t Pid() const { return pid_; }
    // The exit code, or -1 when it did not end within timeoutMs (or was
    // killed by a signal).
    int Wait(int timeoutMs) {
        int status = 0;
        const bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 5);
        if (!ended) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// A pipe for a child to wait on the parent ("go") or tell it something.
class Signal {
public:
    Signal() {
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Signal() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    void Send(char c = 'g') { (void)!write(fds_[1], &c, 1); }
    // Waits for one byte: false when the other side closed or timeoutMs passed.
    bool Receive(int timeoutMs, char* got = nullptr) {
        pollfd p{fds_[0], POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return false;
        char c;
        if (read(fds_[0], &c, 1) != 1) return false;
        if (got) *got = c;
        return true;
    }

private:
    int fds_[2];
};

// A program started with fork and exec, its standard output and error read
// line by line (merged), its exit code kept.
class Program {
public:
    Program() = default;
    ~Program() { Kill(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // `setup` runs in the child before exec (async-signal-safe calls only).
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
               const std::function<void()>& setup = nullptr) {
        std::vector<char*> args, env;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        // The given variables first: the first of a name is the one read.
        for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
        for (char** e = environ; *e; ++e) env.push_back(*e);
        env.push_back(nullptr);
        int fds[2], in[2];
        if (pipe2(fds, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            if (setup) setup();
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
        close(fds[1]);
        close(in[0]);
        input_ = in[1];
        reader_ = std::thread([this, fd = fds[0]] {
            ReadLines(fd, lock_, changed_, [this](std::string&& line) { text_ += line + "\n"; });
        });
        return true;
    }
    pid_t Pid() const { return pid_; }
    // Writes to the program's standard input.
    bool Input(const std::string& text) const {
        return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    bool Signal(int signal) const { return pid_ > 0 && kill(pid_, signal) == 0; }
    // The exit code once it ended within timeoutMs; -1 when it did not end
    // (or ended by a signal).
    int Wait(int timeoutMs) {
        if (pid_ <= 0) return exitCode_;
        int status = 0;
        if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs, 5)) return -1;
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (reader_.joinable()) reader_.join();
        return exitCode_;
    }
    void Kill() {
        if (input_ >= 0) close(input_);
        input_ = -1;
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
        if (reader_.joinable()) reader_.join();
    }
    std::string Output() const {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }
    size_t Count(const std::string& needle) const {
        const std::string text = Output();
        size_t count = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
        return count;
    }
    // Waits until `needle` was printed `count` times.
    bool WaitForOutput(const std::string& needle, int timeoutMs, size_t count = 1) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            size_t found = 0;
            for (size_t at = text_.find(needle); at != std::string::npos; at = text_.find(needle, at + 1)) ++found;
            return found >= count;
        });
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int exitCode_ = -1;
    std::thread reader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string text_;
};

}  // namespace bx::test
