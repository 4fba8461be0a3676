// The session map, the per-session acknowledgement table and the session
// change handling: the parts that behave alike on every platform.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "agent/identity/session_map.h"
#include "agent/identity/session_users.h"
#include "agent/identity/user_to_id.h"
#include "tests/support/log_capture.h"

TEST(SessionMapTest, AddLookupRemoveAndOverwrite) {
    SessionMap map;
    std::wstring user, domain;
    EXPECT_EQ(1168u, map.Lookup(3, user, domain));
    map.Add(3, L"alice", L"CORP");
    map.Add(3 + SessionMap::kBuckets, L"bob", L"CORP");  // same bucket
    ASSERT_EQ(0u, map.Lookup(3, user, domain));
    EXPECT_EQ(L"alice", user);
    EXPECT_EQ(L"CORP", domain);
    map.Add(3, L"carol", L"OTHER");
    ASSERT_EQ(0u, map.Remove(3, user, domain));
    EXPECT_EQ(L"carol", user);
    EXPECT_EQ(L"OTHER", domain);
    EXPECT_EQ(1168u, map.Remove(3, user, domain));
    ASSERT_EQ(0u, map.Lookup(3 + SessionMap::kBuckets, user, domain));
    EXPECT_EQ(L"bob", user);
}

TEST(SessionMapTest, ConcurrentWritersAndReaders) {
    SessionMap map;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&map, t] {
            std::wstring user, domain;
            for (uint32_t i = 0; i < 2000; ++i) {
                uint32_t id = t * 10000 + i;
                map.Add(id, L"user" + std::to_wstring(id), L"D");
                EXPECT_EQ(0u, map.Lookup(id, user, domain));
                EXPECT_EQ(L"user" + std::to_wstring(id), user);
                if (i % 2) {
                    EXPECT_EQ(0u, map.Remove(id, user, domain));
                }
            }
        });
    for (auto& th : threads) th.join();
    std::wstring user, domain;
    EXPECT_EQ(0u, map.Lookup(30000, user, domain));
    EXPECT_EQ(1168u, map.Lookup(30001, user, domain));
}

class UserToIdTest : public bx::test::SettingsTest {};

TEST_F(UserToIdTest, UpdateKeepsKnownForTheSameUserOnlyAndIgnoresCase) {
    bx::test::SetDword(bx::kSettingsKeyPath, L"verbose", 1);
    bx::test::LogCapture log("user_to_id_test.log");
    CUserToID users;
    users.SetLogger(log.Logger());
    CUserInfo info;
    EXPECT_EQ(1168u, users.Get(7, info));
    EXPECT_FALSE(users.Known(7));
    EXPECT_EQ(1168u, users.MarkKnown(7));
    EXPECT_EQ(1u, log.Count("UTM Resp: Could not find entry for SessionId:'7'"));

    users.Update(7, L"Alice", L"Corp");
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(0, info.known);
    EXPECT_FALSE(users.Known(7));
    EXPECT_EQ(0u, users.MarkKnown(7));
    EXPECT_EQ(1u, log.Count("UTM Resp: Found Entry for SessionId:'7'-> Alice@Corp"));

    users.Update(7, L"ALICE", L"corp");  // same names in other case: nothing changes
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(L"Alice", info.user);
    EXPECT_EQ(L"Corp", info.domain);
    EXPECT_EQ(1, info.known);
    EXPECT_TRUE(users.Known(7));

    // Another user of the session id (names or SID): the acknowledgement
    // was for the one before.
    users.Update(7, L"bob", L"Corp");
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(L"bob", info.user);
    EXPECT_EQ(0, info.known);
    EXPECT_FALSE(users.Known(7));
    const CSid bobSid = CSid::FromString(L"S-1-5-21-1-2-3-1002");
    users.MarkKnown(7);
    users.Update(7, L"bob", L"Corp", bobSid);
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(0, info.known);
    users.MarkKnown(7);
    users.Update(7, L"BOB", L"Corp", bobSid);
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(1, info.known);

    // A logoff forgets the session.
    users.MarkKnown(7);
    users.Remove(7);
    EXPECT_EQ(1168u, users.Get(7, info));
    EXPECT_FALSE(users.Known(7));
    users.Remove(7);

    users.Update(7 + CUserToID::kBuckets, L"carol", L"X");  // same bucket, new entry
    ASSERT_EQ(0u, users.Get(7 + CUserToID::kBuckets, info));
    EXPECT_EQ(0, info.known);

    users.RemoveAll();
    EXPECT_EQ(1168u, users.Get(7, info));
    users.Update(7, L"bob", L"Corp");
    ASSERT_EQ(0u, users.Get(7, info));
    EXPECT_EQ(0, info.known);  // known again only after a new acknowledgement
}

TEST_F(UserToIdTest, CaseIsIgnoredBeyondAscii) {
    CUserToID users;
    users.Update(3, L"M\u00dcLLER", L"\u041a\u041e\u0420\u041f");  // MÜLLER, КОРП
    users.Update(3, L"m\u00fcller", L"\u043a\u043e\u0440\u043f");  // müller, корп: the same names
    CUserInfo info;
    ASSERT_EQ(0u, users.Get(3, info));
    EXPECT_EQ(L"M\u00dcLLER", info.user);
    users.Update(3, L"m\u00fcllers", L"\u043a\u043e\u0440\u043f");
    ASSERT_EQ(0u, users.Get(3, info));
    EXPECT_EQ(L"m\u00fcllers", info.user);
}

TEST_F(UserToIdTest, UpdatesFromSeveralThreads) {
    CUserToID users;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&users, t] {
            CUserInfo info;
            for (uint32_t i = 0; i < 1000; ++i) {
                users.Update(i % 50, L"u" + std::to_wstring(t), L"d");
                users.MarkKnown(i % 50);
                users.Get(i % 50, info);
                if (i % 300 == 0) users.RemoveAll();
            }
        });
    for (auto& th : threads) th.join();
    CUserInfo info;
    EXPECT_EQ(0u, users.Get(49, info));
}

class SessionChangeTest : public bx::test::SettingsTest {
protected:
    struct Logoff {
        uint32_t id;
        std::wstring user, domain;
    };
    bx::LogoffNotifier Notifier() {
        return [this](uint32_t id, const std::wstring& user, const std::wstring& domain) {
            logoffs.push_back({id, user, domain});
            return 0u;
        };
    }
    std::vector<Logoff> logoffs;
};

TEST_F(SessionChangeTest, LogoffOfAnUnknownSessionIsSilent) {
    bx::test::LogCapture log("session_change_unknown.log");
    CLogImpl facade;
    facade.SetLogger(log.Logger());
    SessionMap sessions;
    bx::HandleSessionChange(bx::kSessionLogoff, 42, sessions, facade, Notifier());
    EXPECT_TRUE(logoffs.empty());
    EXPECT_EQ("", log.Text());
}

TEST_F(SessionChangeTest, OtherCodesAreIgnored) {
    bx::test::LogCapture log("session_change_other.log");
    CLogImpl facade;
    facade.SetLogger(log.Logger());
    SessionMap sessions;
    sessions.Add(4, L"alice", L"CORP");
    for (uint32_t code : {1u, 2u, 3u, 4u, 7u, 8u, 9u, 77u})
        bx::HandleSessionChange(code, 4, sessions, facade, Notifier());
    std::wstring user, domain;
    EXPECT_EQ(0u, sessions.Lookup(4, user, domain));
    EXPECT_TRUE(logoffs.empty());
    EXPECT_EQ("", log.Text());
}

TEST_F(SessionChangeTest, LogoffOfAKnownSessionSendsItsNotification) {
    bx::test::LogCapture log("session_change_logoff.log");
    CLogImpl facade;
    facade.SetLogger(log.Logger());
    SessionMap sessions;
    sessions.Add(4, L"alice", L"CORP");
    bx::HandleSessionChange(bx::kSessionLogoff, 4, sessions, facade, Notifier());
    ASSERT_EQ(1u, logoffs.size());
    EXPECT_EQ(4u, logoffs[0].id);
    EXPECT_EQ(L"alice", logoffs[0].user);
    EXPECT_EQ(L"CORP", logoffs[0].domain);
    EXPECT_EQ(1u, log.Count("SessionID:'4'  alice@CORP Logged-off"));
    std::wstring user, domain;
    EXPECT_EQ(1168u, sessions.Lookup(4, user, domain));
    bx::HandleSessionChange(bx::kSessionLogoff, 4, sessions, facade, Notifier());
    EXPECT_EQ(1u, logoffs.size());  // a second logoff finds nothing
}
