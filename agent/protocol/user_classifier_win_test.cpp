// Session queries and user classification through the real calls under Wine
// (WTSQuerySessionInformationW, LookupAccountSidW, GetComputerNameW).
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "agent/identity/names.h"
#include "agent/identity/session_map.h"
#include "agent/identity/session_users.h"
#include "agent/protocol/user_classifier.h"
#include "platform/win/handles.h"
#include "tests/support/log_capture.h"

namespace {

std::vector<uint8_t> TokenUserSid() {
    bx::win::UniqueHandle owner;
    std::vector<uint8_t> sid;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, owner.put())) return sid;
    HANDLE token = owner.get();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<uint8_t> buffer(size);
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        auto* user = reinterpret_cast<TOKEN_USER*>(buffer.data());
        sid.assign(static_cast<uint8_t*>(user->User.Sid),
                   static_cast<uint8_t*>(user->User.Sid) + GetLengthSid(user->User.Sid));
    }
    return sid;
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

send_data_t Connection(const std::vector<uint8_t>& sid, uint32_t session) {
    send_data_t record;
    record.kind = bx::kKindConnection;
    record.sid = CSid(sid.data(), sid.size());
    record.session_id = session;
    return record;
}

class SessionUsersWin : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        classifier.SetLogger(log.Logger());
    }
    bx::test::LogCapture log{"session_users_win.log"};
    SessionMap sessions;
    CUserClassifier classifier{sessions};
};

}  // namespace

TEST_F(SessionUsersWin, OwnSessionNamesTheTokenUser) {
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    bx::SessionUser who = bx::QuerySessionUser(session);
    ASSERT_EQ(0u, who.Result());
    std::vector<uint8_t> sid = TokenUserSid();
    ASSERT_FALSE(sid.empty());
    CSid tokenUser(sid.data(), sid.size());
    EXPECT_TRUE(bx::EqualNoCase(tokenUser.AccountName(), who.user));
    EXPECT_TRUE(bx::EqualNoCase(tokenUser.Domain(), who.domain));

    CLogImpl facade;
    facade.SetLogger(log.Logger());
    bx::HandleSessionChange(bx::kSessionLogon, session, sessions, facade, nullptr);
    std::wstring user, domain;
    ASSERT_EQ(0u, sessions.Lookup(session, user, domain));
    EXPECT_EQ(who.user, user);
    EXPECT_EQ(1u, log.Count("Logged-on"));
}

TEST_F(SessionUsersWin, LocalSystemIsANonUserConnection) {
    CSid system = CSid::FromString(L"S-1-5-18");
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(system.Data()),
                               static_cast<const uint8_t*>(system.Data()) + system.Length());
    EXPECT_TRUE(classifier.IsNonUserConnection(Connection(bytes, 1)));
    EXPECT_TRUE(classifier.IsNonUserConnection(Connection(bytes, 0)));
}

TEST_F(SessionUsersWin, TokenUserIsALocalUserConnection) {
    std::vector<uint8_t> sid = TokenUserSid();
    ASSERT_FALSE(sid.empty());
    send_data_t record = Connection(sid, 1);
    EXPECT_FALSE(classifier.IsNonUserConnection(record));
    // The account of a local user names this machine as its domain.
    EXPECT_FALSE(classifier.IsDomainUser(record, false));
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(name, &size));
    EXPECT_EQ(bx::LowerCase(name), classifier.ComputerName());
}

TEST_F(SessionUsersWin, SessionZeroIsQueriedOnFirstNeed) {
    std::vector<uint8_t> sid = TokenUserSid();
    bool nonUser = classifier.IsNonUserConnection(Connection(sid, 0));
    std::wstring user, domain;
    if (UnderWine()) {
        // Wine answers the Linux user for every session id, so session 0
        // names the token user and the connection is a user's.
        EXPECT_FALSE(nonUser);
        ASSERT_EQ(0u, sessions.Lookup(0, user, domain));
        EXPECT_EQ(1u, log.Count("at Session:'0'."));
    } else {
        // On Windows nobody is logged on to session 0: not this user.
        EXPECT_TRUE(nonUser);
    }
    EXPECT_EQ(1u, log.Count("Quering  for userInfo at session:'0'"));
}
