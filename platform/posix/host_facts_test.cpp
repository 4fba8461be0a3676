// Host facts on Linux against a network and host name of the test's own: a
// child process in fresh network and UTS namespaces (gone when it exits) gets
// a veth pair with known addresses and a host name, and reports what the
// host-facts calls answer there.
#include "platform/host_facts.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bx::host {
namespace {

struct Report {
    uint32_t addressResult = 99;
    uint32_t count = 0;
    uint32_t addresses[kMaxLocalAddresses + 2] = {};
    uint32_t nameResult = 99;
    wchar_t name[64] = {};
};

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

// Runs `setup` (shell commands) and `hostName` in new namespaces in a child
// and returns what the calls answered there. Skips when namespaces cannot be
// made (no privilege).
bool RunInNamespaces(const std::string& setup, const char* hostName, Report& report, std::string& why) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        why = "pipe";
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        why = "fork";
        return false;
    }
    if (child == 0) {
        close(pipeFds[0]);
        Report r;
        int status = 0;
        if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0)
            status = 10;
        else if (std::system(setup.c_str()) != 0)
            status = 11;
        else if (sethostname(hostName, std::strlen(hostName)) != 0)
            status = 12;
        if (status == 0) {
            std::vector<uint32_t> list;
            r.addressResult = LocalIpv4Addresses(list);
            r.count = static_cast<uint32_t>(list.size());
            for (size_t i = 0; i < list.size() && i < kMaxLocalAddresses + 2; ++i) r.addresses[i] = list[i];
            std::wstring name;
            r.nameResult = ComputerName(name);
            std::wcsncpy(r.name, name.c_str(), 63);
            if (write(pipeFds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) status = 13;
        }
        _exit(status);
    }
    close(pipeFds[1]);
    const ssize_t got = read(pipeFds[0], &report, sizeof report);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 10) {
        why = "cannot create namespaces (needs root)";
        return false;
    }
    if (code != 0 || got != static_cast<ssize_t>(sizeof report)) {
        why = "child failed with " + std::to_string(code);
        return false;
    }
    return true;
}

TEST(HostFactsNamespace, AddressesInOrderLoopbackSkippedAtMostTen) {
    // 127.0.0.1 on lo, then 12 addresses on one end of a veth pair: only the
    // first ten come back, in the order they were given to the interface.
    std::string setup = "ip link set lo up && ip link add bxa type veth peer name bxb";
    for (int i = 1; i <= 12; ++i) setup += " && ip addr add 10.77." + std::to_string(i) + ".1/24 dev bxa";
    Report r;
    std::string why;
    if (!RunInNamespaces(setup, "bx-facts", r, why)) {
        if (why.find("needs root") != std::string::npos) GTEST_SKIP() << why;
        FAIL() << why;
    }
    ASSERT_EQ(0u, r.addressResult);
    ASSERT_EQ(kMaxLocalAddresses, r.count);
    for (uint32_t i = 0; i < kMaxLocalAddresses; ++i) {
        EXPECT_EQ(Ip(10, 77, i + 1, 1), r.addresses[i]) << "position " << i;
    }
}

TEST(HostFactsNamespace, AddressesGoByInterfaceFirst) {
    // An address added later to the first interface still comes before the
    // address of an interface made after it.
    const std::string setup =
        "ip link set lo up && ip link add bxa type veth peer name bxb"
        " && ip addr add 10.77.1.1/24 dev bxa"
        " && ip link add bxc type veth peer name bxd && ip addr add 10.79.0.1/24 dev bxc"
        " && ip addr add 10.77.2.1/24 dev bxa";
    Report r;
    std::string why;
    if (!RunInNamespaces(setup, "bx-facts", r, why)) {
        if (why.find("needs root") != std::string::npos) GTEST_SKIP() << why;
        FAIL() << why;
    }
    ASSERT_EQ(0u, r.addressResult);
    ASSERT_EQ(3u, r.count);
    EXPECT_EQ(Ip(10, 77, 1, 1), r.addresses[0]);
    EXPECT_EQ(Ip(10, 77, 2, 1), r.addresses[1]);
    EXPECT_EQ(Ip(10, 79, 0, 1), r.addresses[2]);
}

TEST(HostFactsNamespace, OnlyLoopbackGivesAnEmptyList) {
    Report r;
    std::string why;
    if (!RunInNamespaces("ip link set lo up", "bx-facts", r, why)) {
        if (why.find("needs root") != std::string::npos) GTEST_SKIP() << why;
        FAIL() << why;
    }
    EXPECT_EQ(0u, r.addressResult);
    EXPECT_EQ(0u, r.count);
}

TEST(HostFactsNamespace, ComputerNameIsTheHostNameAsWideText) {
    Report r;
    std::string why;
    // "bx-h\xC3\xB6st" is UTF-8 for "bx-höst".
    if (!RunInNamespaces("true", "bx-h\xC3\xB6st", r, why)) {
        if (why.find("needs root") != std::string::npos) GTEST_SKIP() << why;
        FAIL() << why;
    }
    EXPECT_EQ(0u, r.nameResult);
    EXPECT_EQ(std::wstring(L"bx-h\u00F6st"), std::wstring(r.name));
}

}  // namespace
}  // namespace bx::host
