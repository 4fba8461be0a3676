// The syslog sink's rules that need no syslog daemon: the fallback net mask
// by address class and the subnet tests built on it (portable, checked in
// both builds), and the sink's text when no socket can be had.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BXLogger.h"
#include "logger/src/subnet.h"
#include "tests/support/logger_files.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// a.b.c.d in network byte order, as the sink keeps addresses.
uint32_t Quad(unsigned a, unsigned b, unsigned c, unsigned d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t value;
    memcpy(&value, bytes, 4);
    return value;
}

std::string Text(uint32_t address) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

}  // namespace

// The mask of each class, at both ends of its range of first octets. An
// unknown local address (0.0.0.0) is class A.
TEST(SyslogNetMask, ByAddressClass) {
    const struct {
        uint32_t local, mask;
    } cases[] = {
        {Quad(0, 0, 0, 0), Quad(255, 0, 0, 0)},           {Quad(10, 1, 2, 3), Quad(255, 0, 0, 0)},
        {Quad(127, 0, 0, 1), Quad(255, 0, 0, 0)},         {Quad(127, 255, 255, 254), Quad(255, 0, 0, 0)},
        {Quad(128, 0, 0, 1), Quad(255, 255, 0, 0)},       {Quad(172, 16, 5, 5), Quad(255, 255, 0, 0)},
        {Quad(191, 255, 255, 254), Quad(255, 255, 0, 0)}, {Quad(192, 0, 0, 1), Quad(255, 255, 255, 0)},
        {Quad(192, 168, 7, 9), Quad(255, 255, 255, 0)},   {Quad(223, 255, 255, 254), Quad(255, 255, 255, 0)},
        {Quad(224, 0, 0, 1), Quad(255, 255, 255, 255)},   {Quad(240, 0, 0, 1), Quad(255, 255, 255, 255)},
    };
    for (const auto& c : cases) EXPECT_EQ(Text(c.mask), Text(bx::log::ClassNetMask(c.local))) << Text(c.local);
}

// With the class mask: which servers are asked for by ARP (in the subnet,
// not a broadcast address) and which get a broadcast socket (every host bit
// of the mask set).
TEST(SyslogNetMask, SubnetAndBroadcastOfTheClassMask) {
    const struct {
        uint32_t local, server;
        bool inSubnet, broadcast;
    } cases[] = {
        {Quad(10, 20, 30, 40), Quad(10, 99, 1, 1), true, false},
        {Quad(10, 20, 30, 40), Quad(11, 20, 30, 40), false, false},
        {Quad(10, 20, 30, 40), Quad(10, 255, 255, 255), true, true},
        {Quad(172, 16, 5, 5), Quad(172, 16, 200, 1), true, false},
        {Quad(172, 16, 5, 5), Quad(172, 17, 5, 5), false, false},
        {Quad(172, 16, 5, 5), Quad(172, 16, 255, 255), true, true},
        // Every host bit set is a broadcast address, in this subnet or another.
        {Quad(172, 16, 5, 5), Quad(172, 255, 255, 255), false, true},
        {Quad(192, 168, 7, 9), Quad(192, 168, 7, 200), true, false},
        {Quad(192, 168, 7, 9), Quad(192, 168, 8, 9), false, false},
        {Quad(192, 168, 7, 9), Quad(192, 168, 7, 255), true, true},
        {Quad(192, 168, 7, 9), Quad(255, 255, 255, 255), false, true},
    };
    for (const auto& c : cases) {
        const uint32_t mask = bx::log::ClassNetMask(c.local);
        EXPECT_EQ(c.inSubnet, bx::log::InLocalSubnet(c.local, c.server, mask))
            << Text(c.local) << " " << Text(c.server);
        EXPECT_EQ(c.broadcast, bx::log::IsSubnetBroadcast(c.server, mask)) << Text(c.local) << " " << Text(c.server);
    }
}

namespace {

// While alive, the process can create no socket: natively every descriptor
// is taken (socket() fails with EMFILE); under Windows the socket library is
// ended under the logger's feet by as many WSACleanup calls as it was
// started (socket() fails with WSANOTINITIALISED), and started again after.
class NoSockets {
public:
#ifdef _WIN32
    NoSockets() {
        while (WSACleanup() == 0) ++cleanups_;
    }
    ~NoSockets() {
        WSADATA data;
        for (int i = 0; i < cleanups_; ++i) WSAStartup(MAKEWORD(1, 1), &data);
    }
    static uint32_t Expected() { return 10093; }  // WSANOTINITIALISED

private:
    int cleanups_ = 0;
#else
    NoSockets() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        // A low limit first, so that taking every descriptor stays cheap.
        int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(lowest + 8);
        if (low.rlim_cur > saved_.rlim_cur) low.rlim_cur = saved_.rlim_cur;
        setrlimit(RLIMIT_NOFILE, &low);
        if (lowest >= 0) taken_.push_back(lowest);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    }
    ~NoSockets() {
        for (int fd : taken_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    static uint32_t Expected() { return EMFILE; }

private:
    rlimit saved_{};
    std::vector<int> taken_;
#endif
};

uint16_t NetworkOrder(uint16_t port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port & 0xFF)};
    uint16_t value;
    memcpy(&value, bytes, 2);
    return value;
}

}  // namespace

// No socket to be had: text 120 with the system's text for the socket
// error, and the syslog sink fails the message (31 when it is the only
// sink). Once sockets can be had again the sink sends again.
TEST(SyslogSocket, NoSocketGivesText120) {
    bx::test::Logger log;
    // The discard port of the loopback address: nobody needs to listen.
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log.h, L"127.0.0.1", NetworkOrder(9)));
    ASSERT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"resolved")) << BXLog_GetErrorStr(log.h);
    uint32_t result = 0;
    {
        NoSockets none;
        result = BXLog_Log(log.h, BXLOG_ERROR, L"no socket");
    }
    EXPECT_EQ(31u, result);
    EXPECT_EQ(L"socket() failed. " + bx::test::LoggerErrorText(NoSockets::Expected()) + L"\n", log.Error());
    EXPECT_EQ(0u, BXLog_Log(log.h, BXLOG_ERROR, L"sockets again")) << BXLog_GetErrorStr(log.h);
}
