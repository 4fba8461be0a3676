// Root-only directories and files of the Linux agent (Linux only): its state
// (/var/lib/bxhvns), logs (/var/log/bxhvns) and run folder (/run/bxhvns).
//
// The agent's folders belong to the user it runs as (root) and give nobody
// else any access; the files in them are written whole (a reader never sees
// half a file) with mode 0600, and a symbolic link is never followed.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace bx::linuxfs {

constexpr char kStateDirectory[] = "/var/lib/bxhvns";
constexpr char kLogDirectory[] = "/var/log/bxhvns";
constexpr char kRunDirectory[] = "/run/bxhvns";

// Makes `path` a directory of this process's user with mode 0700: creates it
// (its parent must exist), or narrows the mode of one that gives others
// access (`narrowed` then tells). 0, or 5 with `error` when the path is a
// symbolic link, not a directory, or another user's; else the system's error
// of creating it, as a Windows number.
uint32_t EnsurePrivateDirectory(const std::string& path, bool& narrowed, std::string& error);

// Writes the bytes to `path` as one new file of mode 0600 that replaces the
// old one at once (written beside it, then renamed). 0 or the error.
uint32_t WritePrivateFile(const std::string& path, const void* data, size_t size, std::string& error);

// Reads at most maxBytes of a regular file of this process's user, without
// following a symbolic link. 0; 2 when it does not exist; 5 when it is not
// such a file; 13 when it is longer; else the system's error.
uint32_t ReadPrivateFile(const std::string& path, size_t maxBytes, std::string& text, std::string& error);

// The process id file that keeps one agent running at a time: created (mode
// 0644) and locked for as long as the object lives, holding the process id;
// removed when released.
class PidFile {
public:
    PidFile() = default;
    ~PidFile() { Release(); }
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // 0; 183 with `error` naming the running process when another holds the
    // lock; else the error of creating or writing the file.
    uint32_t Acquire(const std::string& path, std::string& error);
    void Release();

private:
    int fd_ = -1;
    std::string path_;
};

// The process that holds the lock of the process id file at `path`: 0 with
// its id; 2 when the file does not exist or no process holds it (a stale
// file of an agent that ended); else the error of reading it.
uint32_t LockedPid(const std::string& path, pid_t& pid, std::string& error);

// A new random UUID in its 36-character text form, lower case (the kernel's
// /proc/sys/kernel/random/uuid). False when none can be had.
bool NewUuidText(std::string& text);
// Whether the text is a UUID's 36-character form (hexadecimal digits and
// dashes at 8, 13, 18 and 23).
bool IsUuidText(const std::string& text);

}  // namespace bx::linuxfs
