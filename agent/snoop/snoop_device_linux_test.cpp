// The Linux snoop device with its eBPF programs loaded for real and attached
// to a cgroup of the test's own: children moved into that cgroup, logged in
// as a test user in audit sessions of their own, open and close sockets;
// what the device reads is what they did. Children are forked before the
// programs are loaded (the reading thread then exists in no child).
#include "agent/snoop/snoop_device_linux.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <vector>

#include "agent/snoop/snoop_device.h"
#include "platform/errors.h"
#include "platform/linux/audit_sessions.h"
#include "platform/linux/unix_accounts.h"
#include "tests/support/posix/linux_host.h"

namespace {

using bx::test::Child;
using bx::test::Signal;

constexpr uint32_t Loopback() { return 0x7F000001u; }

uint16_t PortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Binds and closes `sockets` UDP sockets one after the other, as fast as it
// can: 0, or 10 when a bind fails.
int BindAndClose(int sockets) {
    for (int i = 0; i < sockets; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 10;
        close(fd);
    }
    return 0;
}

class SnoopDeviceLinux : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0u, geteuid()) << "the eBPF programs are loaded as root";
        std::string why;
        ASSERT_TRUE(cgroup.Create("dev", why)) << why;
        ASSERT_TRUE(user.Create(why)) << why;
        bx::accounts::ForgetCachedAccounts();
        ASSERT_EQ(0u, completion.Create(bx::sync::ResetMode::Auto));
        device.SetCompletionEvent(completion);
    }
    void TearDown() override {
        device.Close();
        bx::snoopdev::StopKernelSource();
        EXPECT_EQ(0u, bx::test::AttachedPrograms(cgroup.Path())) << "programs left attached to " << cgroup.Path();
        cgroup.Remove();
    }
    void Start(bx::snoopdev::KernelSourceOptions options = {}) {
        options.cgroupPath = cgroup.Path();
        std::string error;
        ASSERT_EQ(0u, bx::snoopdev::StartKernelSource(options, error)) << error;
        EXPECT_EQ(5u, bx::test::AttachedPrograms(cgroup.Path()));
        ASSERT_EQ(0u, device.Open());
    }
    // The next record, or false when none comes within timeoutMs.
    bool Next(snoop_event_t& record, int timeoutMs = 5000) {
        if (device.IssueRead(&record, sizeof record) != 0) return false;
        if (completion.Wait(static_cast<uint32_t>(timeoutMs)) != bx::sync::kWaitObject0) {
            device.CancelRead(0);
            return false;
        }
        uint32_t transferred = 0;
        return device.ReadResult(transferred) == 0 && transferred == SNOOP_EVENT_SIZE;
    }
    std::vector<snoop_event_t> Records(size_t count) {
        std::vector<snoop_event_t> records;
        snoop_event_t record;
        while (records.size() < count && Next(record)) records.push_back(record);
        return records;
    }
    // A child that logs in as the test user, waits for "go", runs body and
    // reports its session id.
    std::unique_ptr<Child> LoggedInChild(const std::function<int()>& body) {
        auto child = std::make_unique<Child>([this, body] {
            if (!bx::test::BecomeLoggedInUser(user.Uid(), 65534)) return 90;
            ready.Send();
            if (!go.Receive(10000)) return 91;
            return body();
        });
        EXPECT_TRUE(ready.Receive(5000)) << "the child could not log in";
        EXPECT_TRUE(cgroup.Add(child->Pid()));
        return child;
    }

    bx::test::TestCgroup cgroup;
    bx::test::TestUser user{"dev"};
    bx::sync::Event completion;
    CSnoopDevice device;
    Signal ready, go;
};

TEST_F(SnoopDeviceLinux, OpensAndCleanupsOfTheCgroupsProcesses) {
    // A TCP listener of the test's own, outside the cgroup: its bind is not
    // reported.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(Loopback());
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 8));
    const uint16_t listenPort = PortOf(listener);

    Signal ports;
    auto child = LoggedInChild([&] {
        // TCP connect; UDP bound explicitly; UDP sending unbound; TCP over an
        // IPv6 socket to an IPv4-mapped address; a listen without a bind
        // (its port chosen by the listen); then all closed.
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = address;
        to.sin_port = htons(listenPort);
        if (connect(tcp, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 10;
        int bound = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (bind(bound, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return 11;
        int sender = socket(AF_INET, SOCK_DGRAM, 0);
        to.sin_port = htons(9);
        if (sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != 1) return 12;
        int tcp6 = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 mapped{};
        mapped.sin6_family = AF_INET6;
        mapped.sin6_port = htons(listenPort);
        inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
        if (connect(tcp6, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped) != 0) return 13;
        int listening = socket(AF_INET, SOCK_STREAM, 0);
        if (listen(listening, 1) != 0) return 14;
        char text[64];
        const int n = snprintf(text, sizeof text, "%u %u %u %u %u", PortOf(tcp), PortOf(bound), PortOf(sender),
                               PortOf(tcp6), PortOf(listening));
        for (int i = 0; i < n; ++i) ports.Send(text[i]);
        ports.Send('\n');
        for (int fd : {tcp, bound, sender, tcp6, listening}) close(fd);
        return 0;
    });
    Start();
    // Outside the cgroup: nothing is reported.
    const int outside = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    (void)sendto(outside, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(outside);

    go.Send();
    ASSERT_EQ(0, child->Wait(10000));
    std::string text;
    char c;
    while (ports.Receive(1000, &c) && c != '\n') text += c;
    unsigned tcpPort = 0, boundPort = 0, senderPort = 0, tcp6Port = 0, listenPort2 = 0;
    ASSERT_EQ(5, sscanf(text.c_str(), "%u %u %u %u %u", &tcpPort, &boundPort, &senderPort, &tcp6Port, &listenPort2))
        << text;

    std::vector<snoop_event_t> records = Records(10);
    ASSERT_EQ(10u, records.size());
    snoop_event_t extra;
    EXPECT_FALSE(Next(extra, 300)) << "a record more than the child's ten";
    const std::vector<uint8_t> sid = bx::accounts::UnixUserSid(user.Uid());
    uint32_t sessionId = 0;
    struct Expected {
        uint32_t type, protocol, localIp;
        unsigned localPort;
        uint32_t remoteIp;
        unsigned remotePort;
    } expected[] = {
        {SNOOP_EVENT_OPEN, SNOOP_PROTOCOL_TCP, Loopback(), tcpPort, Loopback(), listenPort},
        {SNOOP_EVENT_OPEN, SNOOP_PROTOCOL_UDP, 0, boundPort, 0, 0},
        {SNOOP_EVENT_OPEN, SNOOP_PROTOCOL_UDP, 0, senderPort, 0, 0},
        {SNOOP_EVENT_OPEN, SNOOP_PROTOCOL_TCP, Loopback(), tcp6Port, Loopback(), listenPort},
        {SNOOP_EVENT_OPEN, SNOOP_PROTOCOL_TCP, 0, listenPort2, 0, 0},
        {SNOOP_EVENT_CLEANUP, SNOOP_PROTOCOL_TCP, Loopback(), tcpPort, 0, 0},
        {SNOOP_EVENT_CLEANUP, SNOOP_PROTOCOL_UDP, 0, boundPort, 0, 0},
        {SNOOP_EVENT_CLEANUP, SNOOP_PROTOCOL_UDP, 0, senderPort, 0, 0},
        {SNOOP_EVENT_CLEANUP, SNOOP_PROTOCOL_TCP, Loopback(), tcp6Port, 0, 0},
        {SNOOP_EVENT_CLEANUP, SNOOP_PROTOCOL_TCP, 0, listenPort2, 0, 0},
    };
    for (size_t i = 0; i < records.size(); ++i) {
        const snoop_event_t& r = records[i];
        const Expected& e = expected[i];
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(e.type, r.event_type);
        EXPECT_EQ(e.protocol, r.protocol);
        EXPECT_EQ(e.localIp, r.local_ip);
        EXPECT_EQ(e.localPort, ntohs(r.local_port));
        EXPECT_EQ(e.remoteIp, r.remote_ip);
        EXPECT_EQ(e.remotePort, ntohs(r.remote_port));
        EXPECT_EQ(static_cast<uint64_t>(child->Pid()), r.process_id);
        EXPECT_EQ(0, std::memcmp(sid.data(), r.sid, sid.size()));
        EXPECT_NE(0u, r.file_object);
        if (i == 0) sessionId = r.session_id;
        EXPECT_EQ(sessionId, r.session_id);
    }
    // The child's own audit session, whose login uid is now known.
    EXPECT_NE(0u, sessionId);
    uid_t loginUid = 0;
    EXPECT_TRUE(bx::sessions::KnownSessionUser(sessionId, loginUid));
    EXPECT_EQ(user.Uid(), loginUid);
    EXPECT_EQ(records[0].file_object, records[5].file_object);  // the socket's identity
    close(listener);
}

TEST_F(SnoopDeviceLinux, AFullRingBufferCountsWhatItLoses) {
    constexpr int kSockets = 400;
    auto child = LoggedInChild([] { return BindAndClose(kSockets); });
    bx::snoopdev::KernelSourceOptions options;
    options.ringBufferBytes = 4096;  // about 70 records
    options.maxQueued = 16;          // the reader stops taking more
    Start(options);
    go.Send();
    ASSERT_EQ(0, child->Wait(10000));
    bx::snoopdev::KernelSourceCounters counters = bx::snoopdev::GetKernelSourceCounters();
    EXPECT_GT(counters.lost, 0u);
    // Everything is either lost (counted) or read; reading the queue lets
    // the rest of the ring buffer in.
    snoop_event_t record;
    size_t read = 0;
    while (Next(record, 300)) ++read;
    counters = bx::snoopdev::GetKernelSourceCounters();
    EXPECT_EQ(2u * kSockets, counters.lost + counters.delivered) << "lost " << counters.lost;
    EXPECT_EQ(counters.delivered, read);
}

// A burst faster than the reader's pacing threshold (one record per few
// microseconds): the reader pauses between its runs, and every record still
// arrives once, in the order the kernel wrote it.
TEST_F(SnoopDeviceLinux, ASustainedBurstArrivesWholeAndInOrder) {
    constexpr int kSockets = 3000;
    auto child = LoggedInChild([] { return BindAndClose(kSockets); });
    Start();
    go.Send();
    ASSERT_EQ(0, child->Wait(20000));
    const std::vector<snoop_event_t> records = Records(2 * kSockets);
    ASSERT_EQ(2u * kSockets, records.size());
    snoop_event_t extra;
    EXPECT_FALSE(Next(extra, 300)) << "a record more than the child's";
    EXPECT_EQ(0u, bx::snoopdev::GetKernelSourceCounters().lost);
    for (size_t i = 0; i < records.size(); i += 2) {
        SCOPED_TRACE("socket " + std::to_string(i / 2));
        ASSERT_EQ(uint32_t{SNOOP_EVENT_OPEN}, records[i].event_type);
        ASSERT_EQ(uint32_t{SNOOP_EVENT_CLEANUP}, records[i + 1].event_type);
        ASSERT_EQ(records[i].file_object, records[i + 1].file_object);
        ASSERT_EQ(records[i].local_port, records[i + 1].local_port);
        if (i > 0) {
            ASSERT_NE(records[i - 1].file_object, records[i].file_object);
        }
    }
}

TEST_F(SnoopDeviceLinux, LinksEndWithTheProcessThatOwnsThem) {
    Signal attached;
    Child owner([&] {
        bx::snoopdev::KernelSourceOptions options;
        options.cgroupPath = cgroup.Path();
        std::string error;
        if (bx::snoopdev::StartKernelSource(options, error) != 0) return 1;
        attached.Send();
        pause();  // killed here, without any clean-up of its own
        return 0;
    });
    ASSERT_TRUE(attached.Receive(10000));
    EXPECT_EQ(5u, bx::test::AttachedPrograms(cgroup.Path()));
    kill(owner.Pid(), SIGKILL);
    owner.Wait(5000);
    EXPECT_TRUE(bx::test::WaitFor([&] { return bx::test::AttachedPrograms(cgroup.Path()) == 0; }, 5000));
}

TEST_F(SnoopDeviceLinux, WhatIsMissingIsSaidInOneLine) {
    bx::snoopdev::KernelSourceOptions options;
    options.cgroupPath = "/tmp";
    std::string error;
    EXPECT_EQ(bx::err::kFileNotFound, bx::snoopdev::StartKernelSource(options, error));
    EXPECT_EQ("cgroup /tmp is not a directory of a cgroup2 hierarchy", error);
    EXPECT_NE(0u, device.Open());  // no kernel side: no device

    // Without the capabilities (root still, as a unit's CapabilityBoundingSet
    // can leave it).
    Signal said;
    Child unprivileged([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        syscall(SYS_capget, &header, data);
        for (int cap : {12, 21, 38, 39}) data[cap / 32].effective &= ~(1u << (cap % 32));
        if (syscall(SYS_capset, &header, data) != 0) return 2;
        bx::snoopdev::KernelSourceOptions mine;
        mine.cgroupPath = cgroup.Path();
        std::string why;
        const uint32_t rc = bx::snoopdev::StartKernelSource(mine, why);
        for (char c : why) said.Send(c);
        said.Send('\n');
        return rc == bx::err::kAccessDenied ? 0 : 3;
    });
    std::string text;
    char c;
    while (said.Receive(5000, &c) && c != '\n') text += c;
    EXPECT_EQ(0, unprivileged.Wait(5000));
    EXPECT_EQ(
        "bxhvns needs the capabilities CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN (or CAP_SYS_ADMIN) to load its eBPF "
        "programs; missing: CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN",
        text);
}

}  // namespace
