// utm: the appliance peer program. See Usage() in peer.cpp for the options.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/utm/counter.h"
#include "sim/utm/peer.h"

namespace {

std::atomic<utm::Peer*> activePeer{nullptr};
std::atomic<utm::Counter*> activeCounter{nullptr};

extern "C" void OnStopSignal(int) {
    if (utm::Peer* peer = activePeer.load()) peer->Stop();
    if (utm::Counter* counter = activeCounter.load()) counter->Stop();
}

void InstallStopHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll returns, and the wake pipe says why
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int RunCounter(const utm::Options& options) {
    utm::CountOptions count;
    count.listenAddress = options.listenAddress;
    count.listenPort = options.listenPort;
    count.agentPort = options.agentPort;
    count.key = options.key;
    count.silent = options.answers[0] == utm::Answer::Silent;
    count.receiveBufferBytes = options.receiveBuffer;
    count.timeout = options.timeout;
    count.count = options.count;
    count.arrivalsPath = options.arrivalsPath;
    utm::Counter counter(count, stdout);
    std::string error;
    if (!counter.Open(error)) {
        fprintf(stderr, "utm: %s\n", error.c_str());
        return utm::kExitFailure;
    }
    activeCounter = &counter;
    InstallStopHandler();
    const int code = counter.Run();
    activeCounter = nullptr;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    utm::Options options;
    std::string error;
    if (!utm::ParseOptions(args, options, error)) {
        fprintf(stderr, "utm: %s\nTry 'utm --help'.\n", error.c_str());
        return utm::kExitUsage;
    }
    if (options.help) {
        fputs(utm::Usage().c_str(), stdout);
        return utm::kExitOk;
    }
    if (options.keyCut)
        fprintf(stderr, "utm: the key has %zu characters; only its first 16 are used, as the agent does\n",
                options.keyText.size());

    if (options.countOnly) return RunCounter(options);

    utm::Peer peer(options, stdout);
    if (!peer.Open(error)) {
        fprintf(stderr, "utm: %s\n", error.c_str());
        return utm::kExitFailure;
    }
    activePeer = &peer;
    InstallStopHandler();
    const int code = peer.Run();
    activePeer = nullptr;
    return code;
}
