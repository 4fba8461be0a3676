// Reading a child program's output line by line on a thread of the test's.
#pragma once
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

namespace bx::test {

// Reads `fd` until its writers close it, then closes it. Each complete line
// (without its '\n') goes to `line` under `lock`, and `changed` is notified
// after each read. What follows the last '\n' is not handed on.
template <typename OnLine>
void ReadLines(int fd, std::mutex& lock, std::condition_variable& changed, OnLine line) {
    std::string partial;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        std::lock_guard<std::mutex> guard(lock);
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                partial += chunk[i];
                continue;
            }
            line(std::move(partial));
            partial.clear();
        }
        changed.notify_all();
    }
    close(fd);
}

}  // namespace bx::test
