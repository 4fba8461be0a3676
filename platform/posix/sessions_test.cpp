// Sessions on POSIX: the table that stands in for the terminal-services API.
#include "platform/sessions.h"

#include <gtest/gtest.h>

#include "platform/posix/session_table.h"

namespace bx::sessions {
namespace {

class SessionTable : public ::testing::Test {
protected:
    void SetUp() override { ClearTableSessions(); }
    void TearDown() override { ClearTableSessions(); }
};

TEST_F(SessionTable, AnswersUserAndDomainOfAFilledSession) {
    SetTableSession(3, {L"alice", L"CORP", 0, 0});
    std::wstring user, domain;
    EXPECT_EQ(0u, QueryUserName(3, user));
    EXPECT_EQ(0u, QueryDomainName(3, domain));
    EXPECT_EQ(L"alice", user);
    EXPECT_EQ(L"CORP", domain);

    SetTableSession(3, {L"bob", L"TS01", 0, 0});  // replaced
    EXPECT_EQ(0u, QueryUserName(3, user));
    EXPECT_EQ(L"bob", user);
    // A session nobody is logged on to answers an empty user, successfully.
    SetTableSession(0, {L"", L"", 0, 0});
    user = L"stale";
    EXPECT_EQ(0u, QueryUserName(0, user));
    EXPECT_TRUE(user.empty());
}

TEST_F(SessionTable, FailuresClearTheOutputAndAreIndependent) {
    std::wstring user = L"stale", domain = L"stale";
    EXPECT_EQ(kTableSessionMissing, QueryUserName(9, user));
    EXPECT_EQ(kTableSessionMissing, QueryDomainName(9, domain));
    EXPECT_TRUE(user.empty());
    EXPECT_TRUE(domain.empty());

    // The domain query fails, the user query still answers (and the other way).
    SetTableSession(4, {L"carol", L"CORP", 0, 5});
    SetTableSession(5, {L"dave", L"CORP", 1722, 0});
    domain = L"stale";
    EXPECT_EQ(5u, QueryDomainName(4, domain));
    EXPECT_TRUE(domain.empty());
    EXPECT_EQ(0u, QueryUserName(4, user));
    EXPECT_EQ(L"carol", user);
    EXPECT_EQ(1722u, QueryUserName(5, user));
    EXPECT_TRUE(user.empty());
    EXPECT_EQ(0u, QueryDomainName(5, domain));
    EXPECT_EQ(L"CORP", domain);

    RemoveTableSession(4);
    EXPECT_EQ(kTableSessionMissing, QueryUserName(4, user));
}

}  // namespace
}  // namespace bx::sessions
