// A network namespace of a test's or benchmark's own with a veth pair
// (native only, root): the agent binds the wildcard address at the
// appliance's port and no other socket may share that port, so an appliance
// peer on the same host lives in a namespace of its own.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bx::test {

inline std::string QuadText(uint32_t a) {
    return std::to_string(a >> 24 & 0xFF) + "." + std::to_string(a >> 16 & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

inline int Run(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A namespace "bxconn<pid>" with a veth pair: the host end and the peer end
// hold two addresses of one /30 inside 198.18.0.0/15, chosen from the process
// id and passed over while an interface of this host already holds one of
// them (tests/e2e/peer.sh picks its /30 the same way), so that test programs
// running at the same time do not collide.
class TestNetwork {
public:
    TestNetwork() {
        const uint32_t pid = static_cast<uint32_t>(getpid());
        name_ = "bxconn" + std::to_string(pid);
        hostLink_ = "bxc" + std::to_string(pid) + "h";
        peerLink_ = "bxc" + std::to_string(pid) + "p";
        PickSubnet(pid);
    }
    ~TestNetwork() { Remove(); }
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // Makes the namespace; false with the reason when it cannot be made.
    bool Create(std::string& why) {
        Remove();
        if (geteuid() != 0) {
            why = "network namespaces need root (ip netns add)";
            return false;
        }
        if (Run("ip netns add " + name_) != 0) {
            why = "'ip netns add " + name_ + "' failed (no iproute2, or namespaces not permitted here)";
            return false;
        }
        created_ = true;
        const std::string exec = "ip netns exec " + name_ + " ";
        const std::vector<std::string> steps = {
            "ip link add " + hostLink_ + " type veth peer name " + peerLink_,
            "ip link set " + peerLink_ + " netns " + name_,
            "ip addr add " + QuadText(host_) + "/30 dev " + hostLink_,
            "ip link set " + hostLink_ + " up",
            exec + "ip addr add " + QuadText(peer_) + "/30 brd + dev " + peerLink_,
            exec + "ip link set " + peerLink_ + " up",
            exec + "ip link set lo up",
        };
        for (const std::string& step : steps) {
            if (Run(step) != 0) {
                why = "'" + step + "' failed";
                Remove();
                return false;
            }
        }
        return true;
    }

    void Remove() {
        if (!created_) return;
        Run("ip link del " + hostLink_);
        Run("ip netns del " + name_);
        created_ = false;
    }

    const std::string& Name() const { return name_; }
    uint32_t HostAddress() const { return host_; }
    uint32_t PeerAddress() const { return peer_; }
    uint32_t BroadcastAddress() const { return peer_ + 1; }  // of the /30

    // Runs `body` on a thread that has entered the namespace: sockets it
    // creates stay in the namespace.
    bool InNamespace(const std::function<void()>& body) const {
        bool entered = false;
        std::thread inside([&] {
            const std::string path = "/var/run/netns/" + name_;
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            entered = setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (entered) body();
        });
        inside.join();
        return entered;
    }

private:
    // 198.18.0.0/15 holds 32768 blocks of 4; the first 64 are left to others.
    void PickSubnet(uint32_t seed) {
        for (uint32_t attempt = 0; attempt < 64; ++attempt) {
            const uint32_t block = 64 + (seed + attempt * 7919) % (32768 - 64);
            const uint32_t base = (198u << 24 | 18u << 16) + block * 4;
            host_ = base + 1;
            peer_ = base + 2;
            const std::string inUse = "ip -o -4 addr show | grep -q -e ' " + QuadText(host_) + "/' -e ' " +
                                      QuadText(peer_) + "/'";
            if (Run(inUse) != 0) return;
        }
    }

    std::string name_, hostLink_, peerLink_;
    uint32_t host_ = 0, peer_ = 0;
    bool created_ = false;
};

}  // namespace bx::test
