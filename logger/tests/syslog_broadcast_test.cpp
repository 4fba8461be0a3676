// The syslog sink's subnet rules, natively, inside a network namespace of the
// test's own: a veth pair with 198.18.x.1/30 outside and 198.18.x.2/30
// inside, removed at the end. A logger made on a thread inside the namespace
// takes its net mask from the veth (the first adapter with an address), so
// the subnet's broadcast address 198.18.x.3 is a broadcast server: the sink
// enables broadcast on its socket (without it the kernel refuses the
// datagram) and the datagram arrives.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "BXLogger.h"

namespace {

int Run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Namespace {
public:
    Namespace() {
        const unsigned pid = static_cast<unsigned>(getpid());
        name_ = "bxlog" + std::to_string(pid);
        hostLink_ = "bxl" + std::to_string(pid) + "h";
        peerLink_ = "bxl" + std::to_string(pid) + "p";
        // A /30 inside 198.18.0.0/15, by process id (blocks 64 to 32767).
        const unsigned block = 64 + pid % (32768 - 64);
        const unsigned base = (198u << 24 | 18u << 16) + block * 4;
        host_ = Quad(base + 1);
        peer_ = Quad(base + 2);
        broadcast_ = Quad(base + 3);
    }
    ~Namespace() { Remove(); }

    bool Create(std::string& why) {
        if (geteuid() != 0) {
            why = "network namespaces need root";
            return false;
        }
        if (Run("ip netns add " + name_) != 0) {
            why = "ip netns add failed";
            return false;
        }
        created_ = true;
        const std::string in = "ip netns exec " + name_ + " ";
        for (const std::string& step :
             {"ip link add " + hostLink_ + " type veth peer name " + peerLink_,
              "ip link set " + peerLink_ + " netns " + name_, "ip addr add " + host_ + "/30 dev " + hostLink_,
              "ip link set " + hostLink_ + " up", in + "ip addr add " + peer_ + "/30 brd + dev " + peerLink_,
              in + "ip link set " + peerLink_ + " up", in + "ip link set lo up"}) {
            if (Run(step) != 0) {
                why = "'" + step + "' failed";
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

    // Runs body on a thread that has entered the namespace.
    bool Inside(const std::function<void()>& body) const {
        bool entered = false;
        std::thread thread([&] {
            int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return;
            entered = setns(fd, CLONE_NEWNET) == 0;
            close(fd);
            if (entered) body();
        });
        thread.join();
        return entered;
    }

    std::string host_, peer_, broadcast_;

private:
    static std::string Quad(unsigned a) {
        return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) +
               "." + std::to_string(a & 255);
    }
    std::string name_, hostLink_, peerLink_;
    bool created_ = false;
};

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

TEST(SyslogSubnet, BroadcastServerGetsABroadcastSocket) {
    Namespace net;
    std::string why;
    if (!net.Create(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(net.Inside([&] {
        // A receiver on the namespace's side, at a port of its own.
        int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(receiver, 0);
        int on = 1;
        setsockopt(receiver, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in any = {};
        any.sin_family = AF_INET;
        ASSERT_EQ(0, bind(receiver, reinterpret_cast<sockaddr*>(&any), sizeof any));
        socklen_t length = sizeof any;
        getsockname(receiver, reinterpret_cast<sockaddr*>(&any), &length);
        timeval wait = {5, 0};
        setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

        BXLOG_HANDLE log = nullptr;
        ASSERT_EQ(0u, BXLog_Init(&log));
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, Wide(net.broadcast_).c_str(), any.sin_port));
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_WARNING, L"to the whole subnet")) << BXLog_GetErrorStr(log);
        char buffer[2048];
        ssize_t got = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "no datagram arrived";
        EXPECT_EQ(std::string("<12>to the whole subnet"), std::string(buffer, static_cast<size_t>(got)));

        // A host of the subnet is an ordinary server.
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, Wide(net.peer_).c_str(), any.sin_port));
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_ERROR, L"to one host")) << BXLog_GetErrorStr(log);
        got = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "no datagram arrived";
        EXPECT_EQ(std::string("<11>to one host"), std::string(buffer, static_cast<size_t>(got)));
        BXLog_Cleanup(log);
        close(receiver);
    }));
}
