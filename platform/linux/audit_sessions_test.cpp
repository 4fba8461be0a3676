// Audit sessions of children that log in as a test user, as pam_loginuid
// makes them, and the session queries of the seam on them.
#include "platform/linux/audit_sessions.h"

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/host_facts.h"
#include "platform/linux/unix_accounts.h"
#include "platform/sessions.h"
#include "tests/support/posix/linux_host.h"

namespace bx::sessions {
namespace {

TEST(AuditSessions, ALoginIsASessionNamedAfterItsUser) {
    bx::test::TestUser user("ses");
    std::string why;
    ASSERT_TRUE(user.Create(why)) << why;
    accounts::ForgetCachedAccounts();
    bx::test::Signal ready, done;
    bx::test::Child login([&] {
        if (!bx::test::BecomeLoggedInUser(user.Uid(), 65534)) return 2;
        ready.Send();
        return done.Receive(10000) ? 0 : 3;
    });
    ASSERT_TRUE(ready.Receive(5000)) << "the child could not log in";
    const uint32_t id = bx::test::SessionIdOf(login.Pid());
    ASSERT_NE(kNoAuditSession, id);

    std::map<uint32_t, AuditSession> now;
    ASSERT_EQ(0u, ScanAuditSessions(now));
    ASSERT_EQ(1u, now.count(id));
    EXPECT_EQ(user.Uid(), now[id].loginUid);
    EXPECT_EQ(1u, now[id].processes);
    uint32_t processSession = 0;
    uid_t processLogin = 0;
    ASSERT_EQ(0u, ProcessAuditSession(login.Pid(), processSession, processLogin));
    EXPECT_EQ(id, processSession);
    EXPECT_EQ(user.Uid(), processLogin);

    std::wstring name, domain, host;
    ASSERT_EQ(0u, QueryUserName(id, name));
    ASSERT_EQ(0u, QueryDomainName(id, domain));
    host::ComputerName(host);
    EXPECT_EQ(std::wstring(user.Name().begin(), user.Name().end()), name);
    EXPECT_EQ(host, domain);

    // Once its last process is gone the session is still named by what was
    // learned of it; forgotten, it is no session at all.
    done.Send();
    ASSERT_EQ(0, login.Wait(5000));
    ASSERT_EQ(0u, ScanAuditSessions(now));
    EXPECT_EQ(0u, now.count(id));
    EXPECT_EQ(0u, QueryUserName(id, name));
    ForgetSessionUser(id);
    EXPECT_EQ(err::kFileNotFound, QueryUserName(id, name));
    EXPECT_TRUE(name.empty());

    // Session 0, the processes outside every login: nobody is logged on.
    ASSERT_EQ(0u, QueryUserName(0, name));
    EXPECT_TRUE(name.empty());
}

}  // namespace
}  // namespace bx::sessions
