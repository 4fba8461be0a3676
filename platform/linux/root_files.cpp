// Root-only directories and files.
#include "platform/linux/root_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/linux/linux_system.h"

namespace bx::linuxfs {
namespace {

using linuxsys::ErrorFromErrno;

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

uint32_t EnsurePrivateDirectory(const std::string& path, bool& narrowed, std::string& error) {
    narrowed = false;
    error.clear();
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        const int e = errno;
        error = "cannot create " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    // Opened without following a link, so that the checks and the mode
    // change apply to the directory itself.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        error = path + (e == ELOOP || e == ENOTDIR ? " is not a directory (or is a symbolic link)"
                                                   : std::string(" cannot be opened: ") + std::strerror(e));
        return e == ELOOP || e == ENOTDIR ? err::kAccessDenied : ErrorFromErrno(e);
    }
    struct stat st {};
    uint32_t result = 0;
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        error = path + " cannot be examined: " + std::strerror(e);
        result = ErrorFromErrno(e);
    } else if (st.st_uid != geteuid()) {
        error = path + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " + std::to_string(geteuid()) +
                ": it is not the agent's own folder";
        result = err::kAccessDenied;
    } else if ((st.st_mode & 077) != 0) {
        if (fchmod(fd, 0700) != 0) {
            const int e = errno;
            error = path + " has mode " + Mode(st.st_mode) + " and cannot be narrowed to 0700: " + std::strerror(e);
            result = ErrorFromErrno(e);
        } else {
            narrowed = true;
        }
    }
    close(fd);
    return result;
}

uint32_t WritePrivateFile(const std::string& path, const void* data, size_t size, std::string& error) {
    error.clear();
    const std::string temporary = path + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int e = errno;
        error = "cannot create " + temporary + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    const bool written = WriteAll(fd, data, size);
    const int writeError = errno;
    if (close(fd) != 0 || !written) {
        const int e = written ? errno : writeError;
        unlink(temporary.c_str());
        error = "cannot write " + temporary + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(temporary.c_str());
        error = "cannot replace " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    return 0;
}

uint32_t ReadPrivateFile(const std::string& path, size_t maxBytes, std::string& text, std::string& error) {
    text.clear();
    error.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        error = path + (e == ELOOP ? " is a symbolic link" : std::string(": ") + std::strerror(e));
        return e == ELOOP ? err::kAccessDenied : ErrorFromErrno(e);
    }
    struct stat st {};
    uint32_t result = 0;
    if (fstat(fd, &st) != 0) {
        result = ErrorFromErrno(errno);
        error = path + " cannot be examined";
    } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        result = err::kAccessDenied;
        error = path + " is not a regular file of uid " + std::to_string(geteuid());
    } else if (static_cast<size_t>(st.st_size) > maxBytes) {
        result = err::kInvalidData;
        error = path + " is longer than " + std::to_string(maxBytes) + " bytes";
    } else {
        char chunk[4096];
        for (;;) {
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                const int e = errno;
                result = ErrorFromErrno(e);
                error = path + " cannot be read: " + std::strerror(e);
                break;
            }
            if (got == 0) break;
            text.append(chunk, static_cast<size_t>(got));
            if (text.size() > maxBytes) {
                result = err::kInvalidData;
                error = path + " is longer than " + std::to_string(maxBytes) + " bytes";
                break;
            }
        }
    }
    close(fd);
    if (result) text.clear();
    return result;
}

uint32_t PidFile::Acquire(const std::string& path, std::string& error) {
    Release();
    error.clear();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int e = errno;
        error = "cannot create " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        char text[32] = {};
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        close(fd);
        if (e == EWOULDBLOCK) {
            std::string pid = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string("?");
            while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
            error = "another bxhvns is running (process " + pid + ", " + path + ")";
            return err::kAlreadyExists;
        }
        error = "cannot lock " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const int e = errno;
        close(fd);
        error = "cannot write " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    fd_ = fd;
    path_ = path;
    return 0;
}

void PidFile::Release() {
    if (fd_ < 0) return;
    // Removed while still locked, so that no other agent can have taken it.
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
    path_.clear();
}

uint32_t LockedPid(const std::string& path, pid_t& pid, std::string& error) {
    pid = 0;
    error.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        error =
            e == ENOENT ? "bxhvns is not running (no " + path + ")" : "cannot open " + path + ": " + std::strerror(e);
        return ErrorFromErrno(e);
    }
    // A shared lock is had only when nobody holds the agent's exclusive one.
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
        close(fd);
        error = "bxhvns is not running (" + path + " is left from an agent that ended)";
        return err::kFileNotFound;
    }
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    close(fd);
    long value = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    if (value <= 0) {
        error = path + " holds no process id";
        return err::kInvalidData;
    }
    pid = static_cast<pid_t>(value);
    return 0;
}

bool IsUuidText(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

bool NewUuidText(std::string& text) {
    text.clear();
    const int fd = open("/proc/sys/kernel/random/uuid", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[40] = {};
    const ssize_t got = read(fd, buffer, 36);
    close(fd);
    if (got != 36) return false;
    text.assign(buffer, 36);
    return IsUuidText(text);
}

}  // namespace bx::linuxfs
