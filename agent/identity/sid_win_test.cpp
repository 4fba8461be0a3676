// CSid under Wine against the real security API.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "agent/identity/sid.h"
#include "platform/win/handles.h"

namespace {

using bx::accounts::SidType;

TEST(SidWindows, LocalSystemResolvesAndCompares) {
    CSid system = CSid::FromString(L"S-1-5-18");
    EXPECT_EQ(0u, system.LookupError());
    EXPECT_EQ(L"SYSTEM", system.AccountName());
    EXPECT_EQ(L"NT AUTHORITY", system.Domain());
    EXPECT_EQ(SidType::WellKnownGroup, system.Type());
    EXPECT_EQ(L"S-1-5-18", system.String());
    EXPECT_TRUE(system.IsLocalSystem());

    // The security API's own S-1-5-18 compares equal.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID raw = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &raw));
    std::unique_ptr<void, decltype(&FreeSid)> owner(raw, &FreeSid);
    CSid fromApi(raw, GetLengthSid(raw));
    EXPECT_TRUE(fromApi == system);
    EXPECT_TRUE(fromApi != CSid::FromString(L"S-1-5-19"));
}

TEST(SidWindows, ProcessTokenUserResolvesToAUser) {
    bx::win::UniqueHandle tokenOwner;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, tokenOwner.put())) << GetLastError();
    HANDLE token = tokenOwner.get();
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    ASSERT_GT(needed, 0u);
    std::vector<uint8_t> info(needed);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, info.data(), needed, &needed)) << GetLastError();
    PSID raw = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;

    CSid user(raw, GetLengthSid(raw));
    EXPECT_EQ(0u, user.LookupError());
    EXPECT_EQ(SidType::User, user.Type());
    EXPECT_FALSE(user.AccountName().empty());
    EXPECT_FALSE(user.Domain().empty());
    EXPECT_FALSE(user.IsLocalSystem());
    // Its string form leads back to the same SID.
    EXPECT_TRUE(CSid::FromString(user.String().c_str()) == user)
        << std::string(user.String().begin(), user.String().end());
}

}  // namespace
