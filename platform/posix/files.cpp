// Whole files on POSIX.
#include "platform/files.h"
#include "platform/utf8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/posix/errno_error.h"

namespace bx::files {

wchar_t PathSeparator() { return L'/'; }

std::wstring JoinPath(const std::wstring& dir, const std::wstring& name) {
    if (dir.empty()) return name;
    std::wstring path = dir;
    if (path.back() != PathSeparator()) path += PathSeparator();
    return path + name;
}

uint32_t WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
    const int fd = open(bx::Utf8FromWide(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return bx::posix::ErrorFromErrno(errno);
    // A file that was there keeps its mode: it is given 0600 before anything
    // of it changes.
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0) {
        const uint32_t error = bx::posix::ErrorFromErrno(errno);
        close(fd);
        return error;
    }
    uint32_t result = 0;
    const ssize_t written = write(fd, data, size);
    if (written < 0)
        result = bx::posix::ErrorFromErrno(errno);
    else if (static_cast<size_t>(written) != size)
        result = 112;  // a short write: the disk is full
    if (close(fd) != 0 && result == 0) result = bx::posix::ErrorFromErrno(errno);
    return result;
}

uint32_t ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    const int fd = open(bx::Utf8FromWide(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bx::posix::ErrorFromErrno(errno);
    uint8_t chunk[4096];
    uint32_t result = 0;
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            result = bx::posix::ErrorFromErrno(errno);
            bytes.clear();
            break;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    close(fd);
    return result;
}

uint32_t DeleteFileAt(const std::wstring& path) {
    if (unlink(bx::Utf8FromWide(path).c_str()) != 0) return bx::posix::ErrorFromErrno(errno);
    return 0;
}

}  // namespace bx::files
