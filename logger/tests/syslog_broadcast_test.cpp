// The syslog sink's subnet rules, natively, inside a network namespace of the
// test's own: a veth pair with 198.18.x.1/30 outside and 198.18.x.2/30
// inside, removed at the end. A logger made on a thread inside the namespace
// takes its net mask from the veth (the first adapter with an address), so
// the subnet's broadcast address 198.18.x.3 is a broadcast server: the sink
// enables broadcast on its socket (without it the kernel refuses the
// datagram) and the datagram arrives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "BXLogger.h"
#include "tests/support/posix/netns.h"

namespace {

using bx::test::QuadText;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

TEST(SyslogSubnet, BroadcastServerGetsABroadcastSocket) {
    bx::test::TestNetwork net;
    BX_MAKE_TEST_NETWORK(net);
    ASSERT_TRUE(net.InNamespace([&] {
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
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, Wide(QuadText(net.BroadcastAddress())).c_str(), any.sin_port));
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_WARNING, L"to the whole subnet")) << BXLog_GetErrorStr(log);
        char buffer[2048];
        ssize_t got = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "no datagram arrived";
        EXPECT_EQ(std::string("<12>to the whole subnet"), std::string(buffer, static_cast<size_t>(got)));

        // A host of the subnet is an ordinary server.
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, Wide(QuadText(net.PeerAddress())).c_str(), any.sin_port));
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_ERROR, L"to one host")) << BXLog_GetErrorStr(log);
        got = recv(receiver, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0) << "no datagram arrived";
        EXPECT_EQ(std::string("<11>to one host"), std::string(buffer, static_cast<size_t>(got)));
        BXLog_Cleanup(log);
        close(receiver);
    }));
}
