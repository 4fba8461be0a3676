// bxhvns: the Brontavex Halvern agent for Linux hosts (agent/daemon/daemon.h).
//
// Under systemd (Type=notify) it runs in the foreground, logs to standard
// error for the journal and tells systemd when it is ready; started by hand
// without --console it detaches into the background once it runs, and its
// exit code says whether it started. --console keeps it in the foreground on
// the terminal, where Ctrl+C stops it. Exit codes: 0 stopped normally, 1 the
// start failed (one line says why), 2 a wrong command line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "agent/daemon/daemon.h"
#include "agent/daemon/daemon_options.h"
#include "platform/product_version.h"

namespace {

// Every signal the agent answers is taken by one thread through a signalfd;
// the others never see them.
class SignalThread {
public:
    explicit SignalThread(bx::daemon::CDaemon& daemon, bool underSystemd) {
        sigset_t set;
        Signals(set);
        signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this, &daemon, underSystemd] {
            for (;;) {
                pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
                if (poll(fds, 2, -1) < 0) continue;
                if (fds[1].revents) return;
                signalfd_siginfo info{};
                if (read(signalFd_, &info, sizeof info) != sizeof info) continue;
                switch (info.ssi_signo) {
                    case SIGTERM:
                    case SIGINT:
                        if (underSystemd) sd_notify(0, "STOPPING=1");
                        daemon.RequestStop();
                        break;
                    case SIGHUP:
                        daemon.RequestReload();
                        break;
                    case SIGUSR1:
                        daemon.RequestStatus();
                        break;
                }
            }
        });
    }
    ~SignalThread() {
        const uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        thread_.join();
        close(signalFd_);
        close(stopFd_);
    }
    static void Signals(sigset_t& set) {
        sigemptyset(&set);
        for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, signal);
    }

private:
    int signalFd_ = -1, stopFd_ = -1;
    std::thread thread_;
};

// Detaches into the background: the process that returns here is the
// agent's; the caller's process waits for its word (1 byte on `report`:
// '0' it runs, anything else or nothing it failed) and exits with it.
bool Detach(int& report) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t first = fork();
    if (first < 0) return false;
    if (first > 0) {
        close(fds[1]);
        char word = '1';
        const bool got = read(fds[0], &word, 1) == 1;
        _exit(got && word == '0' ? 0 : 1);
    }
    close(fds[0]);
    setsid();
    if (fork() > 0) _exit(0);  // not a session leader: never gets a terminal
    if (chdir("/") != 0) return false;
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) dup2(null, STDIN_FILENO);
    report = fds[1];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bx::daemon::DaemonOptions options;
    std::string error;
    if (!bx::daemon::ParseDaemonOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "bxhvns: %s (bxhvns --help shows the options)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(bx::daemon::kDaemonUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("bxhvns %s\n", BX_VERSION_TEXT);
        return 0;
    }
    const bool underSystemd = std::getenv("NOTIFY_SOCKET") != nullptr || std::getenv("INVOCATION_ID") != nullptr;
    int report = -1;
    if (!options.console && !underSystemd && !Detach(report)) {
        std::perror("bxhvns: cannot detach into the background");
        return 1;
    }
    // Blocked before any thread exists, so that only the signal thread
    // takes them.
    sigset_t set;
    SignalThread::Signals(set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int rc = 1;
    {
        bx::daemon::CDaemon daemon(options);
        SignalThread signals(daemon, underSystemd);
        rc = daemon.Run([&] {
            if (underSystemd) sd_notifyf(0, "READY=1\nMAINPID=%lu", static_cast<unsigned long>(getpid()));
            if (report >= 0) {
                const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
                if (null >= 0) {
                    dup2(null, STDOUT_FILENO);
                    dup2(null, STDERR_FILENO);
                    close(null);
                }
                (void)!write(report, "0", 1);
                close(report);
                report = -1;
            }
        });
    }
    if (report >= 0) close(report);  // the start failed: the waiting process exits with 1
    return rc;
}
