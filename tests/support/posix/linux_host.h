// Test helpers of the Linux agent's tests (native, root): test users made
// with useradd and removed with userdel, child processes in audit sessions of
// their own, cgroups of the tests' own below the cgroup2 root, bounded waits.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

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

// A local user made for the test (no home, no login shell), removed again.
// The name is "bxt" with the process id and a tag, so that test programs
// running at once do not collide.
class TestUser {
public:
    explicit TestUser(const std::string& tag) : name_("bxt" + std::to_string(getpid()) + tag) {}
    ~TestUser() { Remove(); }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    bool Create(std::string& why) {
        Remove();
        std::string output;
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

// The audit session id of a process (4294967295 for none).
inline uint32_t SessionIdOf(pid_t pid) {
    return static_cast<uint32_t>(std::strtoul(ReadText("/proc/" + std::to_string(pid) + "/sessionid").c_str(), nullptr, 10));
}

// In a forked child: a login of `uid` as pam_loginuid makes one (a new audit
// session with that login uid), then that user's identity. False when a
// step failed (the child should then exit with an error).
inline bool BecomeLoggedInUser(uid_t uid, gid_t gid) {
    if (!WriteText("/proc/self/loginuid", std::to_string(uid))) return false;
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// The mount point of the cgroup2 hierarchy ("" when there is none).
inline std::string Cgroup2Root() {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
        std::istringstream fields(line);
        std::string id, parent, devices, root, mountPoint;
        fields >> id >> parent >> devices >> root >> mountPoint;
        return mountPoint;
    }
    return "";
}

// A cgroup of the test's own below the cgroup2 root; processes moved into it
// are moved back to the root and the cgroup removed at the end, so nothing
// of the test stays in the hierarchy.
class TestCgroup {
public:
    TestCgroup() = default;
    ~TestCgroup() { Remove(); }
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;

    bool Create(const std::string& tag, std::string& why) {
        root_ = Cgroup2Root();
        if (root_.empty()) {
            why = "no cgroup2 hierarchy is mounted";
            return false;
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
        std::istringstream procs(ReadText(path_ + "/cgroup.procs"));
        std::string pid;
        while (procs >> pid) WriteText(root_ + "/cgroup.procs", pid);
        WaitFor([&] { return rmdir(path_.c_str()) == 0 || errno == ENOENT; }, 5000);
        path_.clear();
    }

private:
    std::string root_, path_;
};

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

}  // namespace bx::test
