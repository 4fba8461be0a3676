// utm: the appliance peer program. See Usage() in peer.cpp for the options.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/utm/peer.h"

namespace {

std::atomic<utm::Peer*> activePeer{nullptr};

extern "C" void OnStopSignal(int) {
    if (utm::Peer* peer = activePeer.load()) peer->Stop();
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

    utm::Peer peer(options, stdout);
    if (!peer.Open(error)) {
        fprintf(stderr, "utm: %s\n", error.c_str());
        return utm::kExitFailure;
    }
    activePeer = &peer;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll returns, and the wake pipe says why
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const int code = peer.Run();
    activePeer = nullptr;
    return code;
}
