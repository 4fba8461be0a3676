// Test helpers (native only) for talking to an appliance peer over real UDP:
// a network namespace of the test's own (tests/support/posix/test_network.h),
// a child program started inside it whose output lines the test reads, and
// UDP sockets opened inside the namespace.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/udp_socket.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/posix/line_reader.h"
#include "tests/support/posix/test_network.h"

namespace bx::test {

// Makes `network` (a TestNetwork) for the running case. Namespaces need root:
// a run without root skips the case and says so; as root a namespace that
// cannot be made is an environment fault and fails the case with its reason.
#define BX_MAKE_TEST_NETWORK(network)                                                          \
    do {                                                                                        \
        if (geteuid() != 0) GTEST_SKIP() << "not run as root: the case needs a network namespace"; \
        std::string whyNot_;                                                                    \
        ASSERT_TRUE((network).Create(whyNot_)) << "network namespace not made: " << whyNot_;   \
    } while (0)

// A child program whose standard output the test reads line by line.
class ChildProgram {
public:
    ChildProgram() = default;
    ~ChildProgram() { Stop(); }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool Start(const std::vector<std::string>& argv) {
        // Everything the child needs is made before fork: a child of a
        // threaded process may only call async-signal-safe functions.
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) {
            close(fds[0]);
            close(fds[1]);
            return false;
        }
        if (pid_ == 0) {
            dup2(fds[1], 1);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            ReadLines(fd, lock_, changed_, [this](std::string&& line) { lines_.push_back(std::move(line)); });
            std::lock_guard<std::mutex> guard(lock_);
            ended_ = true;
            changed_.notify_all();
        });
        return true;
    }

    // Ends the program (SIGTERM, then SIGKILL) and its reader.
    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

    // Lines that hold every one of `needles`.
    std::vector<std::string> Matching(const std::vector<std::string>& needles) const {
        std::vector<std::string> found;
        for (const std::string& line : Lines())
            if (HoldsAll(line, needles)) found.push_back(line);
        return found;
    }

    // Waits until `count` lines hold every one of `needles`; false on time-out.
    bool WaitFor(const std::vector<std::string>& needles, size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            size_t matches = 0;
            for (const std::string& line : lines_) matches += HoldsAll(line, needles) ? 1 : 0;
            if (matches >= count) return true;
            if (ended_) return false;
            if (changed_.wait_until(guard, deadline) == std::cv_status::timeout) return false;
        }
    }

    std::string Dump() const {
        std::string text;
        for (const std::string& line : Lines()) text += line + "\n";
        return text;
    }

private:
    static bool HoldsAll(const std::string& line, const std::vector<std::string>& needles) {
        for (const std::string& n : needles)
            if (line.find(n) == std::string::npos) return false;
        return true;
    }

    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// The value of `key=` in a peer line ("" when absent).
inline std::string Field(const std::string& line, const std::string& key) {
    const std::string needle = " " + key + "=";
    const size_t at = line.find(needle);
    if (at == std::string::npos) return "";
    const size_t start = at + needle.size();
    const size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace bx::test
