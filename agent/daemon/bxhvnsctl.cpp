// bxhvnsctl: the Linux agent's counterpart of the tool's Stats page.
//
//   bxhvnsctl [--state-dir DIR] [--run-dir DIR] stats
//
// Asks the running bxhvns for its status record (SIGUSR1), waits until the
// record is written anew (at most 5 s) and prints the nine counters the
// Stats page shows, with its labels. Run it as root: the record is root's.
// Exit codes: 0, 1 when the agent is not running or did not answer, 2 for a
// wrong command line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "agent/appliance/status_file.h"
#include "platform/linux/root_files.h"

namespace {

constexpr int kAnswerWaitMs = 5000;

struct Stamp {
    ino_t inode = 0;
    timespec modified{};
    bool operator==(const Stamp& other) const {
        return inode == other.inode && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

Stamp StampOf(const std::string& path) {
    struct stat st {};
    Stamp stamp;
    if (lstat(path.c_str(), &st) == 0) {
        stamp.inode = st.st_ino;
        stamp.modified = st.st_mtim;
    }
    return stamp;
}

int Usage(const char* why) {
    std::fprintf(stderr, "bxhvnsctl: %s\nUsage: bxhvnsctl [--state-dir DIR] [--run-dir DIR] stats\n", why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string stateDir = bx::linuxfs::kStateDirectory, runDir = bx::linuxfs::kRunDirectory, command;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--state-dir" || argument == "--run-dir") && i + 1 < argc) {
            (argument == "--state-dir" ? stateDir : runDir) = argv[++i];
        } else if (argument == "--help" || argument == "-h") {
            std::printf("Usage: bxhvnsctl [--state-dir DIR] [--run-dir DIR] stats\n");
            return 0;
        } else if (command.empty() && argument[0] != '-') {
            command = argument;
        } else {
            return Usage(("unknown argument " + argument).c_str());
        }
    }
    if (command != "stats") return Usage(command.empty() ? "no command" : ("unknown command " + command).c_str());

    pid_t pid = 0;
    std::string error;
    if (bx::linuxfs::LockedPid(runDir + "/bxhvns.pid", pid, error) != 0) {
        std::fprintf(stderr, "bxhvnsctl: %s\n", error.c_str());
        return 1;
    }
    const std::string path = stateDir + "/" + "HVNConfig.xml";
    const Stamp before = StampOf(path);
    if (kill(pid, SIGUSR1) != 0) {
        std::perror("bxhvnsctl: cannot signal bxhvns");
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    while (StampOf(path) == before) {
        if (std::chrono::steady_clock::now() >= end) {
            std::fprintf(stderr, "bxhvnsctl: bxhvns (process %d) wrote no status record within %d ms\n",
                         static_cast<int>(pid), kAnswerWaitMs);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string bytes;
    bx::StatisticsSnapshot snapshot;
    if (bx::linuxfs::ReadPrivateFile(path, bx::kStatusRecordSize, bytes, error) != 0 ||
        !bx::DecodeStatusRecord(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), snapshot)) {
        std::fprintf(stderr, "bxhvnsctl: the status record cannot be read: %s\n",
                     error.empty() ? "it is not 40 bytes long" : error.c_str());
        return 1;
    }
    // The rows of the Stats page, in its order and with its labels.
    const struct {
        const char* label;
        size_t counter;
    } rows[] = {
        {"Total Request Sent:", bx::kNotificationsSent},
        {"    Open Request:", bx::kEnteredInRequestTable},
        {"    Close Request:", bx::kClosesSent},
        {"Response Received:", bx::kResponsesProcessed},
        {"Deleted Request As No Resp:", bx::kDeletedAfterRetries},
        {"Waiting For Response:", bx::kRequestTableCount},
        {"Bad Request Received:", bx::kParseFailures},
        {"Queue OverFlow:", bx::kQueueDropped},
        {"Request Pending In Queue:", bx::kQueueCount},
    };
    for (const auto& row : rows) std::printf("%-28s %d\n", row.label, snapshot.counters[row.counter]);
    return 0;
}
