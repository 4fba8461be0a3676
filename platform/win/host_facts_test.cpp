// Host facts on Windows against independent system calls (under Wine in the
// windows flavour).
#include "platform/host_facts.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace bx::host {
namespace {

TEST(HostFactsWin, AddressesAgreeWithTheAddressTable) {
    std::vector<uint32_t> addresses;
    ASSERT_EQ(0u, LocalIpv4Addresses(addresses));

    // GetIpAddrTable: every IPv4 address of the machine, in another order.
    ULONG size = 0;
    ASSERT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetIpAddrTable(nullptr, &size, FALSE));
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.get());
    ASSERT_EQ(static_cast<DWORD>(NO_ERROR), GetIpAddrTable(table, &size, FALSE));
    std::set<uint32_t> all;
    bool loopbackListed = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const uint32_t a = ntohl(table->table[i].dwAddr);
        if (a == kLoopbackAddress)
            loopbackListed = true;
        else
            all.insert(a);
    }
    // Under Wine the table (like GetAdaptersAddresses) holds loopback and the
    // Linux machine's interface addresses.
    EXPECT_TRUE(loopbackListed) << "the table lists 127.0.0.1, which host facts skip";
    for (uint32_t a : addresses) EXPECT_EQ(1u, all.count(a)) << std::hex << a;
    if (all.size() <= kMaxLocalAddresses) {
        EXPECT_EQ(all, std::set<uint32_t>(addresses.begin(), addresses.end()));
    } else {
        EXPECT_EQ(kMaxLocalAddresses, addresses.size());
    }
}

TEST(HostFactsWin, ComputerNameIsTheNetBiosName) {
    std::wstring name;
    ASSERT_EQ(0u, ComputerName(name));
    wchar_t expected[256];
    DWORD length = 256;
    ASSERT_TRUE(GetComputerNameExW(ComputerNameNetBIOS, expected, &length)) << GetLastError();
    EXPECT_EQ(std::wstring(expected, length), name);
    const DWORD env = GetEnvironmentVariableW(L"COMPUTERNAME", expected, 256);
    if (env > 0 && env < 256) {
        EXPECT_EQ(0, _wcsicmp(expected, name.c_str()));
    }
}

TEST(HostFactsWin, ThreadIdIsTheSystemThreadId) {
    EXPECT_EQ(static_cast<uint32_t>(GetCurrentThreadId()), CurrentThreadId());
}

}  // namespace
}  // namespace bx::host
