// The command line of the Linux agent, bxhvns.
#pragma once
#include <cstdint>
#include <string>

namespace bx::daemon {

struct DaemonOptions {
    // Foreground for diagnosis: every line on the terminal too, Ctrl+C stops.
    bool console = false;
    bool help = false;
    bool version = false;
    std::string config = "/etc/bxhvns/agent.conf";
    std::string stateDir = "/var/lib/bxhvns";
    std::string logDir = "/var/log/bxhvns";
    std::string runDir = "/run/bxhvns";
    // Empty: the settings file's "cgroup", else the cgroup2 root.
    std::string cgroup;
    // Bytes of the kernel's ring buffer of connection events.
    uint32_t ringBufferBytes = 1u << 20;
};

// Reads argv into options: true, or false with `error` for a wrong command
// line.
bool ParseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error);

extern const char kDaemonUsage[];

}  // namespace bx::daemon
