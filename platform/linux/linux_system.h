// Small facts of the Linux system the agent and its tests share (Linux only,
// header-only): Windows numbers for C library errors, and where the cgroup2
// hierarchy is mounted.
#pragma once
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/posix/errno_error.h"

namespace bx::linuxsys {

// The Windows error number of an errno value (platform/posix/errno_error.h).
using bx::posix::ErrorFromErrno;

// The mount point of the cgroup2 hierarchy (/proc/self/mountinfo): 0 with
// it, or 2 when none is mounted.
inline uint32_t FindCgroup2Root(std::string& path) {
    path.clear();
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        const size_t dash = line.find(" - ");
        if (dash == std::string::npos || line.compare(dash + 3, 8, "cgroup2 ") != 0) continue;
        std::istringstream fields(line);
        std::string id, parent, devices, root;
        fields >> id >> parent >> devices >> root >> path;
        return 0;
    }
    return err::kFileNotFound;
}

}  // namespace bx::linuxsys
