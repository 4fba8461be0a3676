// The Windows error number of a C library error, for every POSIX host's
// platform code (header-only).
#pragma once
#include <cerrno>
#include <cstdint>

#include "platform/errors.h"

namespace bx::posix {

// The numbers the agent tests for; ERROR_GEN_FAILURE (31) for the rest.
inline uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return err::kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:
        case EISDIR:
            return err::kAccessDenied;
        case ENOMEM:
            return err::kNotEnoughMemory;
        case ENOSPC:
            return 112;  // ERROR_DISK_FULL
        case EEXIST:
            return err::kAlreadyExists;
        case EINVAL:
        case EOPNOTSUPP:
            return 50;  // ERROR_NOT_SUPPORTED
        default:
            return err::kGenFailure;
    }
}

}  // namespace bx::posix
