// CSid natively: account look-ups come from the accounts table.
#include <gtest/gtest.h>

#include <memory>

#include "agent/identity/sid.h"
#include "platform/posix/account_table.h"

namespace {

using bx::accounts::Account;
using bx::accounts::SidType;

TEST(SidTable, AccountIsLookedUpOnFirstNeedOnly) {
    bx::accounts::ClearTableAccounts();
    ASSERT_EQ(0u, bx::accounts::SetTableAccount(L"S-1-5-21-7-8-9-1001", {L"alice", L"CORP", SidType::User}));
    CSid sid = CSid::FromString(L"S-1-5-21-7-8-9-1001");
    // Changing the table now still counts: nothing was looked up yet.
    ASSERT_EQ(0u, bx::accounts::SetTableAccount(L"S-1-5-21-7-8-9-1001", {L"bob", L"CORP", SidType::User}));
    EXPECT_EQ(L"bob", sid.AccountName());
    EXPECT_EQ(L"CORP", sid.Domain());
    EXPECT_EQ(SidType::User, sid.Type());
    EXPECT_EQ(0u, sid.LookupError());

    // Once looked up, the names stay, and copies carry them.
    bx::accounts::ClearTableAccounts();
    EXPECT_EQ(L"bob", sid.AccountName());
    CSid copy(sid);
    EXPECT_EQ(L"bob", copy.AccountName());
    EXPECT_EQ(SidType::User, copy.Type());
    // A copy keeps the names when the SID it was copied from is cleared and
    // goes (copies share the looked-up names).
    auto original = std::make_unique<CSid>(sid);
    CSid second(*original);
    original->Clear();
    EXPECT_EQ(L"", original->AccountName());
    original.reset();
    EXPECT_EQ(L"bob", second.AccountName());
    EXPECT_EQ(L"CORP", second.Domain());
    // A fresh object of the same SID finds nothing now.
    CSid fresh = CSid::FromString(L"S-1-5-21-7-8-9-1001");
    EXPECT_EQ(L"", fresh.AccountName());
    EXPECT_EQ(1332u, fresh.LookupError());
}

}  // namespace
