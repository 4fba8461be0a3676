#include "agent/daemon/daemon_options.h"

#include <cstdlib>
#include <cstring>

namespace bx::daemon {

const char kDaemonUsage[] =
    "Usage: bxhvns [--console] [--config FILE] [--cgroup PATH] [--ring-buffer BYTES]\n"
    "              [--state-dir DIR] [--log-dir DIR] [--run-dir DIR]\n"
    "       bxhvns --help | --version\n"
    "\n"
    "The Brontavex Halvern agent for Linux hosts: reports the connections of\n"
    "this host's users to the appliance named in the settings file.\n"
    "\n"
    "  --console        run in the foreground and log to the terminal too;\n"
    "                   Ctrl+C stops (without it, bxhvns started outside\n"
    "                   systemd detaches into the background)\n"
    "  --config FILE    the settings file (default /etc/bxhvns/agent.conf)\n"
    "  --cgroup PATH    report the connections of this cgroup's processes\n"
    "                   (default: the settings' cgroup, else the cgroup2 root)\n"
    "  --ring-buffer BYTES  the kernel's buffer of connection events, a power\n"
    "                   of two from 4096 (default 1048576)\n"
    "  --state-dir DIR  status record and installation id (default /var/lib/bxhvns)\n"
    "  --log-dir DIR    log files (default /var/log/bxhvns)\n"
    "  --run-dir DIR    process id file (default /run/bxhvns)\n"
    "\n"
    "Signals: SIGTERM stops, SIGHUP reads the settings again, SIGUSR1 writes\n"
    "the status record (bxhvnsctl stats shows it).\n";

bool ParseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::string* value = nullptr;
        if (argument == "--console") {
            options.console = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
        } else if (argument == "--config") {
            value = &options.config;
        } else if (argument == "--cgroup") {
            value = &options.cgroup;
        } else if (argument == "--state-dir") {
            value = &options.stateDir;
        } else if (argument == "--log-dir") {
            value = &options.logDir;
        } else if (argument == "--run-dir") {
            value = &options.runDir;
        } else if (argument == "--ring-buffer") {
            unsigned long bytes = 0;
            char* end = nullptr;
            if (i + 1 < argc) bytes = std::strtoul(argv[i + 1], &end, 10);
            if (i + 1 >= argc || !end || *end != '\0' || bytes < 4096 || bytes > (1ul << 30) ||
                (bytes & (bytes - 1)) != 0) {
                error = "--ring-buffer needs a power of two from 4096 to 1073741824";
                return false;
            }
            options.ringBufferBytes = static_cast<uint32_t>(bytes);
            ++i;
        } else {
            error = "unknown option " + argument;
            return false;
        }
        if (value) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = argument + " needs a value";
                return false;
            }
            *value = argv[++i];
            if (value != &options.config && (*value)[0] != '/') {
                error = argument + " needs an absolute path, not " + *value;
                return false;
            }
        }
    }
    return true;
}

}  // namespace bx::daemon
