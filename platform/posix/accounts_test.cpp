// The POSIX account table: look-ups answer what tests put in, 1332 otherwise.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/posix/account_table.h"

namespace bx::accounts {
namespace {

TEST(AccountTable, LookupAnswersFromTable) {
    ClearTableAccounts();
    std::vector<uint8_t> sid;
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-18", sid));
    Account account;
    account.name = L"stale";
    EXPECT_EQ(err::kNoneMapped, LookupAccount(sid.data(), account));
    EXPECT_TRUE(account.name.empty());
    EXPECT_EQ(SidType::Unknown, account.type);

    ASSERT_EQ(err::kSuccess, SetTableAccount(L"s-1-5-18", {L"SYSTEM", L"NT AUTHORITY", SidType::WellKnownGroup}));
    ASSERT_EQ(err::kSuccess, LookupAccount(sid.data(), account));
    EXPECT_EQ(L"SYSTEM", account.name);
    EXPECT_EQ(L"NT AUTHORITY", account.domain);
    EXPECT_EQ(SidType::WellKnownGroup, account.type);

    EXPECT_EQ(err::kInvalidSid, SetTableAccount(L"nonsense", {}));
    uint8_t invalid[12] = {3, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(err::kInvalidSid, LookupAccount(invalid, account));

    ClearTableAccounts();
    EXPECT_EQ(err::kNoneMapped, LookupAccount(sid.data(), account));
}

TEST(AccountTable, PortableParserIsStrict) {
    std::vector<uint8_t> sid;
    for (const wchar_t* bad : {L"S-1-5-18-", L"S-1-5-4294967296", L"S-1-0x1000000000000-1",
                               L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
        EXPECT_EQ(err::kInvalidSid, StringToSid(bad, sid)) << bad;
        EXPECT_TRUE(sid.empty());
    }
    // Authorities past 32 bits are written in hexadecimal, as Windows does.
    std::wstring text;
    for (const wchar_t* form : {L"S-1-0x123456789ABC-7", L"S-1-5", L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"}) {
        ASSERT_EQ(err::kSuccess, StringToSid(form, sid)) << form;
        ASSERT_EQ(err::kSuccess, SidToString(sid.data(), text));
        EXPECT_EQ(std::wstring(form), text);
    }
    EXPECT_EQ(kMaxSidBytes, sid.size());
}

}  // namespace
}  // namespace bx::accounts
