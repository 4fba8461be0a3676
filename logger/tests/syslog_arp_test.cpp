// The syslog sink's subnet rules through the real BXLogger.dll under Wine:
// the ARP request for a server in the local subnet, and the net mask by
// address class when no adapter's mask can be read.
//
// Wine's SendARP is a stub that always returns 50 (ERROR_NOT_SUPPORTED), and
// the host's own address and adapters are those of the machine, so the tests
// point the DLL's own import slots (not the test program's) at functions of
// their own: gethostbyname answers the local host name with an address of
// the case, GetAdaptersInfo lists one adapter with the case's mask or fails,
// and SendARP records its arguments and answers as the case says. The
// product keeps calling the real functions; only the answers are the test's.
// Where a case sends to a host outside loopback, sendto is replaced too and
// records the datagram instead of sending it, so no traffic leaves the host.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "BXLogger.h"
#include "platform/win/socket_handle.h"
#include "tests/support/logger_files.h"
#include "tests/support/win/import_patch.h"

using bx::test::ImportPatch;
using bx::test::ImportSlot;
using bx::win::UniqueSocket;

namespace {

struct ArpCall {
    IPAddr destination, source;
};

struct Sent {
    SOCKET socket;
    uint32_t address;
    uint16_t port;
    std::string bytes;
};

// What the replacements answer and what they saw.
struct Network {
    char hostName[256] = {};
    uint32_t localAddress = 0;   // network byte order
    DWORD adaptersError = 0;     // GetAdaptersInfo fails with this when not 0
    char adapterMask[16] = {};   // the one adapter's mask
    DWORD arpResult = NO_ERROR;  // SendARP's answer
    bool captureSends = false;   // sendto records instead of sending
    int hostNameLookups = 0;     // of the local host name
    int failingLookups = 0;      // of kFailingHost, which is never found
    std::vector<ArpCall> arpCalls;
    std::vector<SOCKET> broadcastSockets;  // SO_BROADCAST enabled on these
    std::vector<Sent> sent;
};
Network g_net;

const char kFailingHost[] = "failing.bx-test.invalid";

hostent* WSAAPI FakeGetHostByName(const char* name) {
    if (name && strcmp(name, kFailingHost) == 0) {
        ++g_net.failingLookups;
        WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    if (!name || strcmp(name, g_net.hostName) != 0) return ::gethostbyname(name);
    ++g_net.hostNameLookups;
    static char* addresses[2];
    static char* noAliases[1];
    static hostent host;
    addresses[0] = reinterpret_cast<char*>(&g_net.localAddress);
    addresses[1] = nullptr;
    host.h_name = g_net.hostName;
    host.h_aliases = noAliases;
    host.h_addrtype = AF_INET;
    host.h_length = 4;
    host.h_addr_list = addresses;
    return &host;
}

ULONG WINAPI FakeGetAdaptersInfo(PIP_ADAPTER_INFO info, PULONG size) {
    if (g_net.adaptersError) return g_net.adaptersError;
    if (!info || *size < sizeof(IP_ADAPTER_INFO)) {
        *size = sizeof(IP_ADAPTER_INFO);
        return ERROR_BUFFER_OVERFLOW;
    }
    memset(info, 0, sizeof *info);
    strcpy(info->AdapterName, "{bx-test-adapter}");
    in_addr local;
    local.s_addr = g_net.localAddress;
    strcpy(info->IpAddressList.IpAddress.String, inet_ntoa(local));
    strcpy(info->IpAddressList.IpMask.String, g_net.adapterMask);
    return ERROR_SUCCESS;
}

DWORD WINAPI FakeSendARP(IPAddr destination, IPAddr source, PVOID mac, PULONG length) {
    g_net.arpCalls.push_back({destination, source});
    if (g_net.arpResult == NO_ERROR && mac && length && *length >= 6) {
        memcpy(mac, "\x02\x00\x5e\x10\x00\x01", 6);
        *length = 6;
    }
    return g_net.arpResult;
}

int WSAAPI FakeSetSockOpt(SOCKET s, int level, int name, const char* value, int length) {
    if (level == SOL_SOCKET && name == SO_BROADCAST && value && length >= 1 && *value)
        g_net.broadcastSockets.push_back(s);
    return ::setsockopt(s, level, name, value, length);
}

int WSAAPI FakeSendTo(SOCKET s, const char* bytes, int length, int flags, const sockaddr* to, int toLength) {
    if (!g_net.captureSends) return ::sendto(s, bytes, length, flags, to, toLength);
    const auto* address = reinterpret_cast<const sockaddr_in*>(to);
    g_net.sent.push_back({s, address->sin_addr.s_addr, address->sin_port, std::string(bytes, length)});
    return length;
}

uint32_t Address(const char* dotted) { return inet_addr(dotted); }

std::string Dotted(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    return inet_ntoa(a);
}

const wchar_t kNoError[] = L"No Error\n";
const wchar_t kNoArpAnswer[] = L"Host not reachable by ARP-request\n";

template <typename F>
void Patch(std::optional<ImportPatch<F>>& patch, const char* dll, const char* function, F replacement) {
    F* slot = ImportSlot<F>(GetModuleHandleW(L"BXLogger.dll"), dll, function);
    ASSERT_NE(nullptr, slot) << "BXLogger.dll imports no " << function << " from " << dll;
    patch.emplace(*slot, replacement);
}

class SyslogSubnet : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        g_net = Network();
        ASSERT_EQ(0, gethostname(g_net.hostName, sizeof g_net.hostName));
        Patch(hostByName_, "ws2_32.dll", "gethostbyname", &FakeGetHostByName);
        Patch(adapters_, "iphlpapi.dll", "GetAdaptersInfo", &FakeGetAdaptersInfo);
        Patch(arp_, "iphlpapi.dll", "SendARP", &FakeSendARP);
        Patch(setSockOpt_, "ws2_32.dll", "setsockopt", &FakeSetSockOpt);
        Patch(sendTo_, "ws2_32.dll", "sendto", &FakeSendTo);
    }
    void TearDown() override {
        if (log) BXLog_Cleanup(log);
        WSACleanup();
    }

    // A logger started with the host's address `local` and, unless the
    // adapter query is to fail, one adapter with `mask`.
    void Start(const char* local, const char* mask) {
        g_net.localAddress = Address(local);
        strcpy(g_net.adapterMask, mask ? mask : "");
        ASSERT_EQ(0u, BXLog_Init(&log));
    }

    BXLOG_HANDLE log = nullptr;

private:
    std::optional<ImportPatch<decltype(&::gethostbyname)>> hostByName_;
    std::optional<ImportPatch<decltype(&::GetAdaptersInfo)>> adapters_;
    std::optional<ImportPatch<decltype(&::SendARP)>> arp_;
    std::optional<ImportPatch<decltype(&::setsockopt)>> setSockOpt_;
    std::optional<ImportPatch<decltype(&::sendto)>> sendTo_;
};

// A UDP receiver on 127.0.0.1 at a port of its own.
class Receiver {
public:
    Receiver() : socket_(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
        int length = sizeof at;
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&at), &length);
        port_ = at.sin_port;
        DWORD wait = 5000;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
    }
    uint16_t Port() const { return port_; }  // network byte order
    // The next datagram, or "" after five seconds.
    std::string Next() {
        char buffer[2048];
        int n = recv(socket_.get(), buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, n) : std::string();
    }

private:
    UniqueSocket socket_;
    uint16_t port_ = 0;
};

struct ArpCase {
    const char* name;
    const char* local;  // the host's address
    const char* mask;   // its adapter's mask
    DWORD arpResult;    // what SendARP answers
    bool arpSent;       // whether 127.0.0.1 lies in the local subnet
    const wchar_t* text;
};

}  // namespace

// A server inside the local subnet is asked for by ARP (once, with the
// server as destination and the local address as source); one outside is
// not. An ARP request without answer leaves text 122 as the last error
// text, and the message goes out all the same: the log call succeeds and the
// receiver gets the datagram.
TEST_F(SyslogSubnet, ArpRequestForAServerInTheLocalSubnet) {
    const ArpCase cases[] = {
        {"inside a /8, the host answers", "127.0.0.5", "255.0.0.0", NO_ERROR, true, kNoError},
        {"inside a /8, no answer", "127.0.0.5", "255.0.0.0", ERROR_BAD_NET_NAME, true, kNoArpAnswer},
        {"inside a /8, not supported (Wine's own answer)", "127.0.0.5", "255.0.0.0", ERROR_NOT_SUPPORTED, true,
         kNoArpAnswer},
        {"inside a /24, no answer", "127.0.0.5", "255.255.255.0", ERROR_GEN_FAILURE, true, kNoArpAnswer},
        // The class rule would put 127.0.0.1 beside 127.0.0.5: the adapter's mask decides.
        {"outside a /30", "127.0.0.5", "255.255.255.252", ERROR_BAD_NET_NAME, false, kNoError},
        {"another network", "10.1.2.3", "255.255.255.0", ERROR_BAD_NET_NAME, false, kNoError},
    };
    Receiver receiver;
    ASSERT_NE(0, receiver.Port());
    for (const ArpCase& c : cases) {
        SCOPED_TRACE(c.name);
        Start(c.local, c.mask);
        g_net.arpResult = c.arpResult;
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"127.0.0.1", receiver.Port()));
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_WARNING, L"%hs", c.name)) << BXLog_GetErrorStr(log);
        EXPECT_EQ(std::string("<12>") + c.name, receiver.Next());
        if (c.arpSent) {
            ASSERT_EQ(1u, g_net.arpCalls.size());
            EXPECT_EQ("127.0.0.1", Dotted(g_net.arpCalls[0].destination));
            EXPECT_EQ(c.local, Dotted(g_net.arpCalls[0].source));
        } else {
            EXPECT_EQ(0u, g_net.arpCalls.size());
        }
        EXPECT_EQ(std::wstring(c.text), BXLog_GetErrorStr(log));
        EXPECT_TRUE(g_net.broadcastSockets.empty());

        // The address is resolved once: the next message asks no more.
        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_ERROR, L"again"));
        EXPECT_EQ("<11>again", receiver.Next());
        EXPECT_EQ(c.arpSent ? 1u : 0u, g_net.arpCalls.size());

        BXLog_Cleanup(log);
        log = nullptr;
        g_net.arpCalls.clear();
    }
}

// Another server is resolved anew, and asked for by ARP when it lies in
// the subnet; the subnet's broadcast address is never asked for.
TEST_F(SyslogSubnet, AnotherServerIsAskedForAgainButNeverTheBroadcastAddress) {
    Start("127.0.0.5", "255.255.255.0");
    g_net.captureSends = true;
    g_net.arpResult = ERROR_BAD_NET_NAME;
    const uint16_t port = htons(5514);
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"127.0.0.1", port));
    ASSERT_EQ(0u, BXLog_Log(log, BXLOG_NOTICE, L"first"));
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"127.0.0.9", port));
    ASSERT_EQ(0u, BXLog_Log(log, BXLOG_NOTICE, L"second"));
    ASSERT_EQ(2u, g_net.arpCalls.size());
    EXPECT_EQ("127.0.0.1", Dotted(g_net.arpCalls[0].destination));
    EXPECT_EQ("127.0.0.9", Dotted(g_net.arpCalls[1].destination));

    ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"127.0.0.255", port));
    ASSERT_EQ(0u, BXLog_Log(log, BXLOG_NOTICE, L"third"));
    EXPECT_EQ(2u, g_net.arpCalls.size());
    ASSERT_EQ(3u, g_net.sent.size());
    EXPECT_EQ("127.0.0.255", Dotted(g_net.sent[2].address));
    EXPECT_EQ("<13>third", g_net.sent[2].bytes);
    ASSERT_EQ(1u, g_net.broadcastSockets.size());
    EXPECT_EQ(g_net.sent[2].socket, g_net.broadcastSockets[0]);
}

namespace {

struct ClassCase {
    const char* local;  // the host's address
    const char* server;
    bool arpSent;    // the server lies in the class's subnet
    bool broadcast;  // the server is that subnet's broadcast address
};

}  // namespace

// When the adapter query fails, Init notes text 115 with the system's text
// and takes the mask of the local address's class: A 255.0.0.0, B
// 255.255.0.0, C 255.255.255.0. Per class a server inside the subnet (ARP),
// one just outside (no ARP) and the subnet's broadcast address (broadcast
// socket, no ARP) pin the mask down. The datagrams are recorded, not sent.
TEST_F(SyslogSubnet, NetMaskByAddressClassWhenNoAdapterAnswers) {
    const ClassCase cases[] = {
        {"10.20.30.40", "10.99.1.1", true, false},      {"10.20.30.40", "11.20.30.40", false, false},
        {"10.20.30.40", "10.255.255.255", false, true}, {"172.16.5.5", "172.16.200.1", true, false},
        {"172.16.5.5", "172.17.5.5", false, false},     {"172.16.5.5", "172.16.255.255", false, true},
        {"192.168.7.9", "192.168.7.200", true, false},  {"192.168.7.9", "192.168.8.9", false, false},
        {"192.168.7.9", "192.168.7.255", false, true},
    };
    const uint16_t port = htons(5514);
    for (const ClassCase& c : cases) {
        SCOPED_TRACE(std::string(c.local) + " to " + c.server);
        g_net.adaptersError = ERROR_NOT_SUPPORTED;
        g_net.captureSends = true;
        g_net.arpResult = NO_ERROR;
        Start(c.local, nullptr);

        // The syslog object's text after the start-up, shown by a remove of
        // another server.
        ASSERT_EQ(0u, BXLog_AddSyslogServer(log, std::wstring(c.server, c.server + strlen(c.server)).c_str(), port));
        EXPECT_EQ(87u, BXLog_RemoveSyslogServer(log, L"somebody.else", port));
        EXPECT_EQ(L"Failed to get net mask " + bx::test::LoggerErrorText(ERROR_NOT_SUPPORTED) + L"\n",
                  std::wstring(BXLog_GetErrorStr(log)));

        EXPECT_EQ(0u, BXLog_Log(log, BXLOG_INFORMATIONAL, L"class"));
        EXPECT_EQ(c.arpSent ? 1u : 0u, g_net.arpCalls.size());
        if (c.arpSent && !g_net.arpCalls.empty()) {
            EXPECT_EQ(c.server, Dotted(g_net.arpCalls[0].destination));
            EXPECT_EQ(c.local, Dotted(g_net.arpCalls[0].source));
        }
        ASSERT_EQ(1u, g_net.sent.size());
        EXPECT_EQ(c.server, Dotted(g_net.sent[0].address));
        EXPECT_EQ(port, g_net.sent[0].port);
        EXPECT_EQ("<14>class", g_net.sent[0].bytes);
        EXPECT_EQ(c.broadcast ? 1u : 0u, g_net.broadcastSockets.size());

        BXLog_Cleanup(log);
        log = nullptr;
        g_net.arpCalls.clear();
        g_net.sent.clear();
        g_net.broadcastSockets.clear();
    }
}

// Init looks nothing up: the host's own name is looked up at the first
// AddSyslogServer, once. A server name that is not found is looked up once;
// the next messages fail at once with text 121 and the look-up's error.
TEST_F(SyslogSubnet, LookUpsOnlyWhenNeededAndAFailureIsNotRetriedPerMessage) {
    Start("10.1.2.3", "255.255.255.0");
    EXPECT_EQ(0, g_net.hostNameLookups);
    const uint16_t port = htons(5514);
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"failing.bx-test.invalid", port));
    ASSERT_EQ(0u, BXLog_AddSyslogServer(log, L"failing.bx-test.invalid", port));
    EXPECT_EQ(1, g_net.hostNameLookups);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(31u, BXLog_Log(log, BXLOG_ERROR, L"nowhere"));
    EXPECT_EQ(1, g_net.failingLookups);
    EXPECT_EQ(std::wstring(L"Unknown host 'failing.bx-test.invalid'\n"), BXLog_GetErrorStr(log));
}
