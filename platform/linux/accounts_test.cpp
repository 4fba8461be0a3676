// Unix users' SIDs and their accounts through NSS, with a user the test makes.
#include "platform/linux/unix_accounts.h"

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/host_facts.h"
#include "tests/support/posix/linux_host.h"

namespace bx::accounts {
namespace {

TEST(UnixAccounts, SidIsTheUnixUserForm) {
    std::vector<uint8_t> sid = UnixUserSid(1000);
    std::wstring text;
    ASSERT_EQ(0u, SidToString(sid.data(), text));
    EXPECT_EQ(L"S-1-22-1-1000", text);
    uid_t uid = 0;
    EXPECT_TRUE(UidOfUnixUserSid(sid.data(), uid));
    EXPECT_EQ(1000u, uid);
    for (const wchar_t* other : {L"S-1-22-2-1000", L"S-1-5-18", L"S-1-22-1", L"S-1-22-1-5-6", L"S-1-5-21-1-1"}) {
        std::vector<uint8_t> bytes;
        ASSERT_EQ(0u, StringToSid(other, bytes)) << other;
        EXPECT_FALSE(UidOfUnixUserSid(bytes.data(), uid)) << other;
        Account account;
        EXPECT_EQ(err::kNoneMapped, LookupAccount(bytes.data(), account)) << other;
    }
}

TEST(UnixAccounts, NamesSplitIntoUserAndDomain) {
    struct Case {
        const char* name;
        const wchar_t* user;
        const wchar_t* domain;
    } cases[] = {
        {"alice@CORP.EXAMPLE.COM", L"alice", L"CORP.EXAMPLE.COM"},
        {"bob.smith@ad.example.com", L"bob.smith", L"ad.example.com"},
        {"CORP\\carol", L"carol", L"CORP"},
        {"dave", L"dave", L"thishost"},
        {"@odd", L"@odd", L"thishost"},
        {"odd@", L"odd@", L"thishost"},
        {"\\odd", L"\\odd", L"thishost"},
    };
    for (const Case& c : cases) {
        Account account;
        SplitAccountName(c.name, L"thishost", account);
        EXPECT_EQ(c.user, account.name) << c.name;
        EXPECT_EQ(c.domain, account.domain) << c.name;
        EXPECT_EQ(SidType::User, account.type);
    }
}

TEST(UnixAccounts, LocalUserThroughNss) {
    bx::test::TestUser user("acc");
    std::string why;
    ASSERT_TRUE(user.Create(why)) << why;
    ForgetCachedAccounts();
    std::vector<uint8_t> sid = UnixUserSid(user.Uid());
    Account account;
    ASSERT_EQ(0u, LookupAccount(sid.data(), account));
    std::wstring host;
    ASSERT_EQ(0u, host::ComputerName(host));
    EXPECT_EQ(std::wstring(user.Name().begin(), user.Name().end()), account.name);
    EXPECT_EQ(host, account.domain);
    EXPECT_EQ(SidType::User, account.type);

    user.Remove();
    // The answer is kept for a while; once forgotten, the user is gone.
    EXPECT_EQ(0u, LookupAccount(sid.data(), account));
    ForgetCachedAccounts();
    EXPECT_EQ(err::kNoneMapped, LookupAccount(sid.data(), account));
    EXPECT_TRUE(account.name.empty());
}

}  // namespace
}  // namespace bx::accounts
