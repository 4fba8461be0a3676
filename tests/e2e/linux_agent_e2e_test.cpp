// The Linux agent end to end, as root: the real bxhvns with its eBPF
// programs attached to a cgroup of the test's own, the appliance peer sim/utm
// in a network namespace, and connections made by processes of test users
// (useradd), each logged in to an audit session of its own, from inside that
// namespace towards this host. What the peer printed is checked with the
// same checks as the Windows agent's (tests/e2e/peer_lines.h).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <set>

#include "platform/host_facts.h"
#include "platform/product_version.h"
#include "platform/utf8.h"
#include "tests/e2e/peer_lines.h"
#include "tests/support/posix/linux_host.h"
#include "tests/support/posix/netns.h"

namespace {

using bx::test::Program;
using bx::test::Signal;
using bx::test::e2e::ExpectedNotification;
using bx::test::e2e::NotificationIs;
using bx::test::e2e::PeerLine;
using Names = ExpectedNotification::Names;

const char kKey[] = "0123456789ABCDEF";
constexpr int kArrivalMs = 15000;  // bound for a datagram that must come

std::string Quad(uint32_t address) { return bx::test::QuadText(address); }

std::string HostName() {
    std::wstring name;
    bx::host::ComputerName(name);
    return bx::Utf8FromWide(name);
}

// A process of the test's: logged in as a user (a new audit session), or
// outside every login (a system daemon's), moved into the agent's cgroup,
// inside the test's network namespace. It opens and closes sockets when told
// to: "tcp PORT" and "udp PORT" connect to the host's address (a UDP socket
// then sends one datagram) and answer the local port; "close N" closes the
// Nth socket it opened; "burst N PORT" opens and closes N UDP sockets.
class UserProcess {
public:
    enum class Kind { LoggedIn, Daemon };

    UserProcess(Kind kind, uid_t uid, const std::string& ns, uint32_t host, const bx::test::TestCgroup& cgroup) {
        child_ = std::make_unique<bx::test::Child>([=] {
            if (kind == Kind::LoggedIn ? !bx::test::WriteText("/proc/self/loginuid", std::to_string(uid))
                                       : !bx::test::LeaveAuditSession())
                return 90;
            ready_.Send();
            if (!go_.Receive(10000)) return 91;
            if (!bx::test::EnterNetworkNamespace(ns)) return 92;
            if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(uid) != 0)) return 93;
            return Serve(host);
        });
        ok_ = ready_.Receive(5000) && cgroup.Add(child_->Pid());
        go_.Send();
    }
    ~UserProcess() { Exit(); }
    bool Ok() const { return ok_; }
    pid_t Pid() const { return child_->Pid(); }
    std::string Session() const { return std::to_string(bx::test::SessionIdOf(child_->Pid())); }

    // The answer to one command ("" when none came).
    std::string Ask(const std::string& command) {
        for (char c : command + "\n") commands_.Send(c);
        std::string answer;
        char c;
        while (answers_.Receive(10000, &c) && c != '\n') answer += c;
        return answer;
    }
    int Exit() {
        if (!child_ || exited_) return exitCode_;
        Ask("exit");
        exitCode_ = child_->Wait(5000);
        exited_ = true;
        return exitCode_;
    }

private:
    int Serve(uint32_t host) {
        std::vector<int> sockets;
        std::string line;
        char c;
        for (;;) {
            if (!commands_.Receive(30000, &c)) return 94;
            if (c != '\n') {
                line += c;
                continue;
            }
            char verb[16] = {};
            unsigned a = 0, b = 0;
            std::sscanf(line.c_str(), "%15s %u %u", verb, &a, &b);
            line.clear();
            std::string answer = "ok";
            if (std::strcmp(verb, "exit") == 0) {
                Answer("bye");
                return 0;
            } else if (std::strcmp(verb, "tcp") == 0 || std::strcmp(verb, "udp") == 0) {
                const bool tcp = verb[0] == 't';
                const int fd = Connect(tcp, host, static_cast<uint16_t>(a));
                sockets.push_back(fd);
                answer = fd < 0 ? "failed" : std::to_string(LocalPort(fd));
            } else if (std::strcmp(verb, "close") == 0 && a < sockets.size()) {
                close(sockets[a]);
            } else if (std::strcmp(verb, "burst") == 0) {
                answer.clear();
                for (unsigned i = 0; i < a; ++i) {
                    const int fd = Connect(false, host, static_cast<uint16_t>(b));
                    if (fd < 0) return 95;
                    answer += (i ? "," : "") + std::to_string(LocalPort(fd));
                    close(fd);
                }
            }
            Answer(answer);
        }
    }
    static int Connect(bool tcp, uint32_t host, uint16_t port) {
        const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(host);
        to.sin_port = htons(port);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
        if (!tcp && send(fd, "x", 1, 0) != 1) return -1;
        return fd;
    }
    static unsigned LocalPort(int fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    void Answer(const std::string& text) {
        for (char ch : text + "\n") answers_.Send(ch);
    }

    Signal ready_, go_, commands_, answers_;
    std::unique_ptr<bx::test::Child> child_;
    bool ok_ = false, exited_ = false;
    int exitCode_ = -1;
};

class LinuxAgent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, geteuid()) << "the Linux agent's tests run as root";
        std::string why;
        ASSERT_TRUE(network.Create(why)) << why;
        ASSERT_TRUE(cgroup.Create("e2e", why)) << why;
        char pattern[] = "/tmp/bxhvns-e2e-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        port = FreePort();
        ASSERT_NE(0u, port);
        // A TCP listener at the host's end of the veth pair, for the users'
        // connections (the kernel completes them; nobody accepts).
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(network.HostAddress());
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at));
        ASSERT_EQ(0, listen(listener, 64));
        socklen_t length = sizeof at;
        getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
        tcpPort = ntohs(at.sin_port);
        host = HostName();
    }

    void TearDown() override {
        const bool ran = agent.Pid() > 0;
        agent.Kill();
        peer.Kill();
        logind.Kill();
        bus.Kill();
        if (ran) {
            EXPECT_EQ(0u, bx::test::AttachedPrograms(cgroup.Path())) << "left attached to " << cgroup.Path();
        }
        if (listener >= 0) close(listener);
        if (HasFailure())
            std::printf("agent output:\n%s\npeer output:\n%s\n", agent.Output().c_str(), peer.Output().c_str());
        cgroup.Remove();
        network.Remove();
        if (!dir.empty()) bx::test::Shell("rm -rf " + dir);
    }

    static uint16_t FreePort() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
        socklen_t length = sizeof any;
        getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length);
        close(fd);
        return ntohs(any.sin_port);
    }

    void WriteConf(const std::string& text, mode_t mode = 0600) {
        const std::string path = dir + "/agent.conf";
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f);
        fputs(text.c_str(), f);
        fclose(f);
        ASSERT_EQ(0, chmod(path.c_str(), mode));
    }
    std::string ApplianceConf(const std::string& ip) const {
        return "ip = " + ip + "\nport = " + std::to_string(port) + "\nkey = " + kKey + "\nverbose = 1\n";
    }

    void StartPeer(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {"/usr/bin/env", "ip",
                                         "netns",        "exec",
                                         network.Name(), BX_UTM_PROGRAM,
                                         "--listen",     Quad(network.PeerAddress()) + ":" + std::to_string(port),
                                         "--key",        kKey};
        argv.insert(argv.end(), options.begin(), options.end());
        ASSERT_TRUE(peer.Start(argv));
        ASSERT_TRUE(peer.WaitForOutput("listening ", 10000)) << peer.Output();
    }

    std::vector<std::string> AgentCommand(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> argv = {BX_AGENT_PROGRAM, "--console",    "--config",  dir + "/agent.conf",
                                         "--state-dir",    dir + "/state", "--log-dir", dir + "/log",
                                         "--run-dir",      dir + "/run",   "--cgroup",  cgroup.Path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    // The system bus the agent asks for logind: the test's own, or none.
    std::string BusAddress() const { return "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir + "/bus"; }

    // Starts the agent and waits until it runs and its reset request reached
    // the peer (when one listens).
    void StartAgent(const std::vector<std::string>& extra = {}, bool resetReachesPeer = true) {
        ASSERT_TRUE(agent.Start(AgentCommand(extra), {BusAddress()}));
        ASSERT_TRUE(agent.WaitForOutput("Brontavex Halvern runs:", 15000)) << agent.Output();
        if (resetReachesPeer) {
            ASSERT_TRUE(WaitForPeer([](const std::vector<PeerLine>& l) { return Count(l, "kind", "reset") > 0; }));
        }
    }
    void StopAgent() {
        ASSERT_TRUE(agent.Signal(SIGTERM));
        EXPECT_EQ(0, agent.Wait(30000)) << agent.Output();
        EXPECT_EQ(1u, agent.Count("Brontavex Halvern finished"));
    }

    std::vector<PeerLine> Lines() const { return bx::test::e2e::ParsePeerOutput(peer.Output()); }
    std::vector<PeerLine> Notifications() const {
        std::vector<PeerLine> found;
        for (const PeerLine& line : Lines())
            if (line.IsNotification()) found.push_back(line);
        return found;
    }
    static size_t Count(const std::vector<PeerLine>& lines, const std::string& key, const std::string& value) {
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const PeerLine& l) { return l[key] == value; }));
    }
    bool WaitForPeer(const std::function<bool(const std::vector<PeerLine>&)>& done, int timeoutMs = kArrivalMs) const {
        return bx::test::WaitFor([&] { return done(Lines()); }, timeoutMs, 20);
    }
    // Waits until `count` notifications arrived and every one is answered.
    bool WaitForAnswered(size_t count) const {
        return WaitForPeer([count](const std::vector<PeerLine>& lines) {
            size_t notifications = 0;
            for (const PeerLine& l : lines) notifications += l.IsNotification();
            return notifications >= count && Count(lines, "sent", "ack") >= count;
        });
    }

    ExpectedNotification Connection(const std::string& op, const std::string& proto, const std::string& localPort,
                                    const std::string& session) const {
        ExpectedNotification expected;
        expected.op = op;
        expected.proto = proto;
        expected.port = localPort;
        expected.ips = Quad(network.PeerAddress());
        expected.session = session;
        return expected;
    }

    bx::test::TestNetwork network;
    bx::test::TestCgroup cgroup;
    std::string dir, host;
    uint16_t port = 0, tcpPort = 0;
    int listener = -1;
    Program peer, agent, bus, logind;
};

// Two users, each in a session of their own: the first notification of each
// session names its user, encrypted; once the appliance knows the session its
// notifications go in clear; TCP and connected UDP, opens and closes, with
// their addresses and ports. bxhvnsctl stats counts what the peer saw.
TEST_F(LinuxAgent, UsersConnectionsReachThePeerWithTheirNames) {
    bx::test::TestUser alice("a"), bob("b");
    std::string why;
    ASSERT_TRUE(alice.Create(why)) << why;
    ASSERT_TRUE(bob.Create(why)) << why;
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent();
    UserProcess a(UserProcess::Kind::LoggedIn, alice.Uid(), network.Name(), network.HostAddress(), cgroup);
    UserProcess b(UserProcess::Kind::LoggedIn, bob.Uid(), network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(a.Ok() && b.Ok());

    const std::string a1 = a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(1)) << a1;
    const std::string a2 = a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(2));
    const std::string b1 = b.Ask("udp 9");
    ASSERT_TRUE(WaitForAnswered(3));
    a.Ask("close 0");
    ASSERT_TRUE(WaitForAnswered(4));

    std::vector<PeerLine> n = Notifications();
    ASSERT_EQ(4u, n.size());
    ExpectedNotification first = Connection("open", "tcp", a1, a.Session());
    first.dst = Quad(network.HostAddress());
    first.dport = std::to_string(tcpPort);
    first.names = Names::Encrypted;
    first.user = alice.Name();
    first.domain = host;
    EXPECT_TRUE(NotificationIs(n[0], first));
    ExpectedNotification second = first;
    second.port = a2;
    second.names = Names::Clear;
    EXPECT_TRUE(NotificationIs(n[1], second));
    ExpectedNotification udp = Connection("open", "udp", b1, b.Session());
    udp.dst = Quad(network.HostAddress());
    udp.dport = "9";
    udp.names = Names::Encrypted;
    udp.user = bob.Name();
    udp.domain = host;
    EXPECT_TRUE(NotificationIs(n[2], udp));
    ExpectedNotification close = Connection("close", "tcp", a1, a.Session());
    close.names = Names::Clear;
    EXPECT_TRUE(NotificationIs(n[3], close));
    EXPECT_NE(a.Session(), b.Session());

    // The agent has handled the peer's four answers.
    ASSERT_TRUE(agent.WaitForOutput("Processing response from UTM", 5000, 4));
    Program stats;
    ASSERT_TRUE(stats.Start({BX_AGENTCTL_PROGRAM, "--state-dir", dir + "/state", "--run-dir", dir + "/run", "stats"}));
    ASSERT_EQ(0, stats.Wait(10000)) << stats.Output();
    std::string expected;
    for (auto [label, value] : {std::pair<const char*, int>{"Total Request Sent:", 4},
                                {"    Open Request:", 3},
                                {"    Close Request:", 1},
                                {"Response Received:", 4},
                                {"Deleted Request As No Resp:", 0},
                                {"Waiting For Response:", 0},
                                {"Bad Request Received:", 0},
                                {"Queue OverFlow:", 0},
                                {"Request Pending In Queue:", 0}}) {
        char row[64];
        std::snprintf(row, sizeof row, "%-28s %d\n", label, value);
        expected += row;
    }
    EXPECT_EQ(expected, stats.Output());
    StopAgent();
}

// A process outside every login (a system daemon's) makes a non-user
// connection in session 0, named after its user, as a Windows service's.
TEST_F(LinuxAgent, DaemonsConnectionIsANonUserConnection) {
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent();
    UserProcess daemon(UserProcess::Kind::Daemon, 0, network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(daemon.Ok());
    const std::string port1 = daemon.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(1));
    std::vector<PeerLine> n = Notifications();
    ASSERT_EQ(1u, n.size());
    ExpectedNotification expected = Connection("open", "tcp", port1, "0");
    expected.dst = Quad(network.HostAddress());
    expected.dport = std::to_string(tcpPort);
    expected.conntype = "nonuser";
    expected.names = Names::Encrypted;
    expected.user = "root";
    expected.domain = host;
    EXPECT_TRUE(NotificationIs(n[0], expected));
    StopAgent();
}

// Without logind, a session whose last process ended sends its logoff a few
// seconds later; the user's connection was closed first.
TEST_F(LinuxAgent, ASessionWithoutProcessesSendsItsLogoff) {
    bx::test::TestUser alice("l");
    std::string why;
    ASSERT_TRUE(alice.Create(why)) << why;
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent();
    ASSERT_TRUE(agent.WaitForOutput("logind does not answer", 5000)) << agent.Output();
    auto a = std::make_unique<UserProcess>(UserProcess::Kind::LoggedIn, alice.Uid(), network.Name(),
                                           network.HostAddress(), cgroup);
    ASSERT_TRUE(a->Ok());
    const std::string session = a->Session();
    const std::string port1 = a->Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(1));
    ASSERT_TRUE(agent.WaitForOutput("SessionID:'" + session + "'  " + alice.Name() + "@" + host + " Logged-on", 5000));
    ASSERT_EQ(0, a->Exit());
    ASSERT_TRUE(WaitForAnswered(3)) << "close and logoff";
    std::vector<PeerLine> n = Notifications();
    ASSERT_EQ(3u, n.size());
    ExpectedNotification close = Connection("close", "tcp", port1, session);
    close.names = Names::Clear;
    EXPECT_TRUE(NotificationIs(n[1], close));
    ExpectedNotification logoff;
    logoff.kind = "logoff";
    logoff.session = session;
    logoff.names = Names::Clear;
    EXPECT_TRUE(NotificationIs(n[2], logoff));
    EXPECT_EQ("logoff", n[2]["flags"]);
    EXPECT_TRUE(agent.WaitForOutput("SessionID:'" + session + "'  " + alice.Name() + "@" + host + " Logged-off", 1000));
    StopAgent();
}

// Where logind runs, a session ends when logind says so, although a process
// of it is still there; a session that logind announces and that is gone
// before it could be asked about is said so in the log, and nothing breaks.
TEST_F(LinuxAgent, LogindSaysWhenASessionEnds) {
    bx::test::TestUser alice("g");
    std::string why;
    ASSERT_TRUE(alice.Create(why)) << why;
    ASSERT_TRUE(bus.Start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                           "--address=unix:path=" + dir + "/bus", "--print-address=1"}));
    ASSERT_TRUE(bus.WaitForOutput("unix:path=", 10000)) << bus.Output();
    ASSERT_TRUE(logind.Start({BX_LOGIND_PROGRAM}, {BusAddress()}));
    ASSERT_TRUE(logind.WaitForOutput("ready", 10000)) << logind.Output();
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent();
    ASSERT_TRUE(agent.WaitForOutput("Sessions end when logind says so", 5000)) << agent.Output();

    UserProcess a(UserProcess::Kind::LoggedIn, alice.Uid(), network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(a.Ok());
    const std::string session = a.Session();
    ASSERT_TRUE(logind.Input("new c1 " + session + " " + std::to_string(alice.Uid()) + "\n"));
    ASSERT_TRUE(agent.WaitForOutput("SessionID:'" + session + "'  " + alice.Name() + "@" + host + " Logged-on", 5000));
    a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(1));

    ASSERT_TRUE(logind.Input("vanish c2\n"));
    ASSERT_TRUE(agent.WaitForOutput("logind session c2: the Audit property of", 5000)) << agent.Output();
    ASSERT_TRUE(logind.Input("remove c1\n"));
    ASSERT_TRUE(WaitForAnswered(2)) << "the logoff, with the session's process still there";
    std::vector<PeerLine> n = Notifications();
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ("logoff", n[1]["kind"]);
    EXPECT_EQ(session, n[1]["session"]);
    EXPECT_EQ(0, kill(a.Pid(), 0));
    StopAgent();
}

// SIGHUP reads the settings again: from an appliance whose name does not
// resolve to the peer (the close of a connection opened before goes there
// too), and a malformed file afterwards keeps the running settings.
TEST_F(LinuxAgent, SighupMovesTheTrafficAndKeepsGoodSettingsAgainstBadOnes) {
    bx::test::TestUser alice("h");
    std::string why;
    ASSERT_TRUE(alice.Create(why)) << why;
    WriteConf(ApplianceConf("utm.invalid"));
    StartPeer();
    StartAgent({}, false);
    EXPECT_TRUE(agent.WaitForOutput("failed to convert hostname to a IP", 5000)) << agent.Output();
    UserProcess a(UserProcess::Kind::LoggedIn, alice.Uid(), network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(a.Ok());
    const std::string before = a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(agent.WaitForOutput("handleOpenAddress: Queuing Pkt for Dispatching", 5000));

    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    ASSERT_TRUE(agent.Signal(SIGHUP));
    ASSERT_TRUE(agent.WaitForOutput("Settings read again: appliance '" + Quad(network.PeerAddress()) + "'", 10000))
        << agent.Output();
    ASSERT_TRUE(WaitForPeer([](const std::vector<PeerLine>& l) { return Count(l, "kind", "reset") > 0; }));
    a.Ask("close 0");
    const std::string after = a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(2));

    WriteConf("ip = " + Quad(network.PeerAddress()) + "\nport = none\n");
    ASSERT_TRUE(agent.Signal(SIGHUP));
    ASSERT_TRUE(
        agent.WaitForOutput("line 2: port must be a number from 1 to 65535, not \"none\" - the running settings "
                            "are kept",
                            10000))
        << agent.Output();
    const std::string later = a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(3));

    std::vector<PeerLine> n = Notifications();
    ASSERT_EQ(3u, n.size());
    ExpectedNotification close = Connection("close", "tcp", before, a.Session());
    close.names = Names::Encrypted;  // the new appliance has not seen the session
    close.user = alice.Name();
    close.domain = host;
    EXPECT_TRUE(NotificationIs(n[0], close));
    EXPECT_EQ(after, n[1]["port"]);
    EXPECT_EQ(later, n[2]["port"]);
    StopAgent();
}

// A stop right after a burst of connections: everything the kernel reported
// before the stop reaches the peer.
TEST_F(LinuxAgent, StopUnderLoadLosesNothingItHadQueued) {
    constexpr unsigned kSockets = 300;
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent();
    UserProcess daemon(UserProcess::Kind::Daemon, 0, network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(daemon.Ok());
    const std::string ports = daemon.Ask("burst " + std::to_string(kSockets) + " 9");
    ASSERT_TRUE(agent.Signal(SIGTERM));
    ASSERT_EQ(0, agent.Wait(30000)) << agent.Output();
    ASSERT_TRUE(WaitForPeer([&](const std::vector<PeerLine>& lines) {
        return std::count_if(lines.begin(), lines.end(), [](const PeerLine& l) { return l.IsNotification(); }) >=
               2 * kSockets;
    })) << Notifications().size()
        << " of " << 2 * kSockets;
    std::set<std::string> opened, closed;
    for (const PeerLine& l : Notifications()) (l["op"] == "open" ? opened : closed).insert(l["port"]);
    std::set<std::string> expected;
    for (size_t at = 0, end; at < ports.size(); at = end + 1) {
        end = ports.find(',', at);
        if (end == std::string::npos) end = ports.size();
        expected.insert(ports.substr(at, end - at));
    }
    EXPECT_EQ(expected, opened);
    EXPECT_EQ(expected, closed);
    EXPECT_EQ(0u, agent.Count("still queued"));
}

// True once every thread of `pid` has stopped (state T): kill() returns
// before a SIGSTOP has reached them all.
bool AllThreadsStopped(pid_t pid, int timeoutMs) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        bool any = false, all = true;
        if (DIR* dir = opendir(tasks.c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.') continue;
                std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
                std::string line;
                std::getline(stat, line);
                const size_t name = line.rfind(')');  // the state follows the name
                if (name == std::string::npos || name + 2 >= line.size()) continue;
                any = true;
                if (line[name + 2] != 'T') all = false;
            }
            closedir(dir);
        }
        if (any && all) return true;
        usleep(10000);
    }
    return false;
}

// Connection events the kernel's ring buffer cannot hold are counted and
// logged: the agent is frozen while a burst fills its small ring buffer.
TEST_F(LinuxAgent, RingBufferOverflowIsCountedAndLogged) {
    WriteConf(ApplianceConf(Quad(network.PeerAddress())));
    StartPeer();
    StartAgent({"--ring-buffer", "4096"});
    UserProcess daemon(UserProcess::Kind::Daemon, 0, network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(daemon.Ok());
    ASSERT_TRUE(agent.Signal(SIGSTOP));
    ASSERT_TRUE(AllThreadsStopped(agent.Pid(), 5000));
    daemon.Ask("burst 200 9");
    ASSERT_TRUE(agent.Signal(SIGCONT));
    ASSERT_TRUE(agent.WaitForOutput("The kernel's ring buffer was full: ", 10000)) << agent.Output();
    const std::string output = agent.Output();
    const size_t at = output.find("The kernel's ring buffer was full: ");
    const unsigned long lost = std::strtoul(output.c_str() + at + 35, nullptr, 10);
    EXPECT_GT(lost, 0u);
    EXPECT_LT(lost, 400u);
    StopAgent();
}

// What the start cannot do without ends it with exit code 1 and one error
// line saying what is missing: capabilities (taken away as a unit's
// CapabilityBoundingSet would), a settings file that others may read, a
// malformed one.
TEST_F(LinuxAgent, AStartWithoutWhatItNeedsEndsWithOneErrorLine) {
    struct Case {
        std::string conf;
        mode_t mode;
        bool dropCapabilities;
        std::string error;
    } cases[] = {
        {ApplianceConf("10.0.0.1"), 0600, true,
         "Connection events cannot be had: bxhvns needs the capabilities CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN (or "
         "CAP_SYS_ADMIN) to load its eBPF programs; missing: CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN - cannot continue"},
        {ApplianceConf("10.0.0.1"), 0644, false,
         dir + "/agent.conf has mode 0644: it holds the shared key, so only root may read it (chmod 600 " + dir +
             "/agent.conf) - cannot continue"},
        {"ip = 10.0.0.1\nkey = 0123\nkey = 4567\n", 0600, false,
         dir + "/agent.conf: line 3: key is given twice (first on line 2) - cannot continue"},
    };
    for (const Case& c : cases) {
        WriteConf(c.conf, c.mode);
        Program start;
        const bool drop = c.dropCapabilities;
        ASSERT_TRUE(start.Start(AgentCommand(), {BusAddress()}, [drop] {
            if (drop)
                for (int cap : {12, 21, 38, 39}) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        }));
        EXPECT_EQ(1, start.Wait(15000)) << start.Output();
        EXPECT_EQ(1u, start.Count("Error")) << start.Output();
        EXPECT_EQ(1u, start.Count(c.error + "\n")) << start.Output();
        EXPECT_EQ(0u, bx::test::AttachedPrograms(cgroup.Path()));
    }
}

// The service manager's readiness socket, as systemd gives a Type=notify
// service in NOTIFY_SOCKET (an abstract name).
class NotifySocket {
public:
    NotifySocket() : name_("bxhvns-notify-" + std::to_string(getpid())) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name_.data(), name_.size());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size())) == 0;
    }
    ~NotifySocket() { close(fd_); }
    bool Bound() const { return bound_; }
    std::string Variable() const { return "NOTIFY_SOCKET=@" + name_; }
    // The next message, or "" when none comes within timeoutMs.
    std::string Next(int timeoutMs) const {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return "";
        char text[512];
        const ssize_t got = recv(fd_, text, sizeof text, 0);
        return got > 0 ? std::string(text, static_cast<size_t>(got)) : "";
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

std::string ModeOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "absent";
    char text[16];
    std::snprintf(text, sizeof text, "%04o %u", static_cast<unsigned>(st.st_mode & 07777),
                  static_cast<unsigned>(st.st_uid));
    return text;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The Debian package on this machine, with dpkg and its maintainer scripts:
// installed (enabled; started by systemd where it runs, else started here as
// the unit's ExecStart under a readiness socket, as systemd would), a user's
// connection reaches the peer, removed (the agent stops, the settings stay),
// purged (nothing of it stays). On a machine where systemd runs, the settings
// naming the test's cgroup are written before the installation starts the
// service, so that it never attaches to the machine's cgroup root.
TEST_F(LinuxAgent, DebianPackageInstallsRunsStopsAndPurgesLeavingNothing) {
    const bool systemd = Exists("/run/systemd/system");
    const std::string deb = BX_DEB_FILE;
    struct Purge {
        ~Purge() { bx::test::Shell("dpkg -P bxhvns"); }
    } purgeAtTheEnd;
    std::string output;
    bx::test::Shell("dpkg -P bxhvns");
    ASSERT_EQ(0, bx::test::Shell("dpkg-deb -c " + deb + " | awk '{print $6}' | sed 's|^\\.||'", &output)) << output;
    std::vector<std::string> files;
    for (size_t at = 0, end; at < output.size(); at = end + 1) {
        end = output.find('\n', at);
        const std::string path = output.substr(at, end - at);
        if (path.find("bxhvns") != std::string::npos) files.push_back(path);
    }
    ASSERT_GE(files.size(), 8u) << output;

    bx::test::TestUser alice("p");
    std::string why;
    ASSERT_TRUE(alice.Create(why)) << why;
    const std::string conf = ApplianceConf(Quad(network.PeerAddress())) + "cgroup = " + cgroup.Path() + "\n";
    StartPeer();
    if (systemd) {
        ASSERT_EQ(0, bx::test::Shell("install -d -m 0700 /etc/bxhvns"));
        FILE* f = fopen("/etc/bxhvns/agent.conf", "w");
        fputs(conf.c_str(), f);
        fclose(f);
        chmod("/etc/bxhvns/agent.conf", 0600);
    }
    ASSERT_EQ(0, bx::test::Shell("dpkg --force-confold -i " + deb, &output)) << output;
    EXPECT_EQ(systemd ? 0u : 1u, output.find("systemd is not running here") != std::string::npos ? 1u : 0u) << output;
    EXPECT_EQ("0700 0", ModeOf("/etc/bxhvns"));
    EXPECT_EQ("0600 0", ModeOf("/etc/bxhvns/agent.conf"));
    EXPECT_EQ("0700 0", ModeOf("/var/lib/bxhvns"));
    EXPECT_EQ("0700 0", ModeOf("/var/log/bxhvns"));
    EXPECT_EQ("0755 0", ModeOf("/usr/sbin/bxhvns"));
    char target[256] = {};
    ASSERT_GT(readlink("/etc/systemd/system/multi-user.target.wants/bxhvns.service", target, sizeof target - 1), 0)
        << "the service is not enabled";
    EXPECT_STREQ("/lib/systemd/system/bxhvns.service", target);
    EXPECT_EQ(0, bx::test::Shell("systemd-analyze verify /lib/systemd/system/bxhvns.service", &output)) << output;
    EXPECT_EQ("", output);
    ASSERT_EQ(0, bx::test::Shell("/usr/sbin/bxhvns --version", &output));
    EXPECT_EQ("bxhvns " BX_VERSION_TEXT "\n", output);

    if (!systemd) {
        // Started as systemd starts it: the unit's ExecStart= in the
        // foreground, ready once it says READY=1.
        FILE* f = fopen("/etc/bxhvns/agent.conf", "w");
        fputs(conf.c_str(), f);
        fclose(f);
        ASSERT_EQ(0, bx::test::Shell("grep '^ExecStart=' /lib/systemd/system/bxhvns.service", &output));
        const std::string execStart = output.substr(10, output.find('\n') - 10);
        NotifySocket notify;
        ASSERT_TRUE(notify.Bound());
        ASSERT_TRUE(agent.Start({execStart}, {notify.Variable(), BusAddress()}));
        const std::string ready = notify.Next(15000);
        EXPECT_EQ(0u, ready.find("READY=1\nMAINPID=" + std::to_string(agent.Pid()))) << ready << agent.Output();
    }
    ASSERT_TRUE(WaitForPeer([](const std::vector<PeerLine>& l) { return Count(l, "kind", "reset") > 0; }));
    UserProcess a(UserProcess::Kind::LoggedIn, alice.Uid(), network.Name(), network.HostAddress(), cgroup);
    ASSERT_TRUE(a.Ok());
    a.Ask("tcp " + std::to_string(tcpPort));
    ASSERT_TRUE(WaitForAnswered(1));
    EXPECT_EQ(alice.Name(), Notifications()[0]["user"]);
    ASSERT_EQ(0, bx::test::Shell("/usr/sbin/bxhvnsctl stats", &output)) << output;
    char sent[64];
    std::snprintf(sent, sizeof sent, "%-28s %d\n", "Total Request Sent:", 1);
    EXPECT_EQ(0u, output.find(sent)) << output;

    // Removed: the maintainer scripts stop the agent; the settings stay.
    ASSERT_EQ(0, bx::test::Shell("dpkg -r bxhvns", &output)) << output;
    if (!systemd) {
        EXPECT_EQ(0, agent.Wait(1000)) << agent.Output();
        EXPECT_EQ(1u, agent.Count("Brontavex Halvern finished"));
    }
    EXPECT_FALSE(Exists("/usr/sbin/bxhvns"));
    EXPECT_EQ("0600 0", ModeOf("/etc/bxhvns/agent.conf"));
    EXPECT_TRUE(Exists("/var/log/bxhvns/BXHVNAgent.log"));
    EXPECT_EQ(0u, bx::test::AttachedPrograms(cgroup.Path()));

    // Purged: nothing stays.
    ASSERT_EQ(0, bx::test::Shell("dpkg -P bxhvns", &output)) << output;
    EXPECT_NE(0, bx::test::Shell("dpkg -s bxhvns", &output));
    for (const std::string& path : files) EXPECT_FALSE(Exists(path)) << path;
    for (const char* path :
         {"/etc/bxhvns", "/var/lib/bxhvns", "/var/log/bxhvns", "/run/bxhvns",
          "/etc/systemd/system/multi-user.target.wants/bxhvns.service", "/etc/systemd/system/bxhvns.service",
          "/var/lib/systemd/deb-systemd-helper-enabled/bxhvns.service.dsh-also",
          "/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/bxhvns.service",
          "/var/lib/systemd/deb-systemd-helper-masked/bxhvns.service"})
        EXPECT_FALSE(Exists(path)) << path;
}

}  // namespace
