// Session queries and user classification natively: the sessions, accounts
// and version answers come from tables the tests fill.
#include <gtest/gtest.h>

#include <optional>

#include "agent/identity/names.h"
#include "agent/identity/session_map.h"
#include "agent/identity/session_users.h"
#include "agent/protocol/user_classifier.h"
#include "platform/host_facts.h"
#include "platform/posix/account_table.h"
#include "platform/posix/session_table.h"
#include "tests/support/log_capture.h"

namespace {

using bx::accounts::Account;
using bx::accounts::SidType;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const wchar_t* const kAlice = L"S-1-5-21-100-200-300-1001";
const wchar_t* const kBob = L"S-1-5-21-100-200-300-1002";
const wchar_t* const kGroup = L"S-1-5-32-544";
const wchar_t* const kSystem = L"S-1-5-18";

class Classify : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        bx::test::SetDword(bx::kSettingsKeyPath, L"verbose", 1);
        bx::sessions::ClearTableSessions();
        bx::accounts::ClearTableAccounts();
        bx::host::ComputerName(computer);
        bx::accounts::SetTableAccount(kAlice, Account{L"alice", L"CORP", SidType::User});
        bx::accounts::SetTableAccount(kBob, Account{L"Bob", computer, SidType::User});
        bx::accounts::SetTableAccount(kGroup, Account{L"Administrators", L"BUILTIN", SidType::Alias});
        bx::accounts::SetTableAccount(kSystem, Account{L"SYSTEM", L"NT AUTHORITY", SidType::WellKnownGroup});
        classifier.emplace(sessions);  // after verbose is set: it reads the settings
        classifier->SetLogger(log.Logger());
    }
    void TearDown() override {
        bx::sessions::ClearTableSessions();
        bx::accounts::ClearTableAccounts();
        SettingsTest::TearDown();
    }
    static send_data_t Connection(const wchar_t* sid, uint32_t session) {
        send_data_t record;
        record.kind = bx::kKindConnection;
        record.sid = CSid::FromString(sid);
        record.session_id = session;
        return record;
    }

    std::wstring computer;
    bx::test::LogCapture log{"classify_test.log"};
    SessionMap sessions;
    std::optional<CUserClassifier> classifier;
};

}  // namespace

TEST_F(Classify, LogonWithFailingQueriesIsRecordedWithEmptyNames) {
    bx::sessions::SetTableSession(5, {L"alice", L"CORP", 1722, 1723});
    CLogImpl facade;
    facade.SetLogger(log.Logger());
    bx::HandleSessionChange(bx::kSessionLogon, 5, sessions, facade, nullptr);
    std::wstring user = L"x", domain = L"x";
    ASSERT_EQ(0u, sessions.Lookup(5, user, domain));
    EXPECT_EQ(L"", user);
    EXPECT_EQ(L"", domain);
    std::string text = log.Text();
    EXPECT_EQ(1u, bx::test::CountOf(text, "Failed to Get DomainName From SessionID Error:1723"));
    EXPECT_EQ(1u, bx::test::CountOf(text, "Failed to Get UserName From SessionID Error:1722"));
    EXPECT_EQ(1u, bx::test::CountOf(text, "SessionID:'5'  @ Logged-on"));
    EXPECT_LT(text.find("DomainName"), text.find("UserName"));  // the domain is asked first
}

TEST_F(Classify, LogonRecordsTheSessionUser) {
    bx::sessions::SetTableSession(6, {L"alice", L"CORP", 0, 0});
    CLogImpl facade;
    facade.SetLogger(log.Logger());
    bx::HandleSessionChange(bx::kSessionLogon, 6, sessions, facade, nullptr);
    std::wstring user, domain;
    ASSERT_EQ(0u, sessions.Lookup(6, user, domain));
    EXPECT_EQ(L"alice", user);
    EXPECT_EQ(1u, log.Count("SessionID:'6'  alice@CORP Logged-on"));
}

TEST_F(Classify, NonUserSidsAndLocalSystemInEverySession) {
    sessions.Add(0, L"alice", L"CORP");
    for (uint32_t session : {0u, 1u, 7u}) {
        EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kSystem, session))) << session;
        EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kGroup, session))) << session;
    }
    // A SID nothing maps to has type Unknown: not a user.
    EXPECT_TRUE(classifier->IsNonUserConnection(Connection(L"S-1-5-21-9-9-9-9", 3)));
    // A user SID outside session 0 is a user connection, whoever it is.
    EXPECT_FALSE(classifier->IsNonUserConnection(Connection(kBob, 3)));
    // Only connection records are classified.
    send_data_t logoff;
    logoff.kind = bx::kKindLogoff;
    EXPECT_FALSE(classifier->IsNonUserConnection(logoff));
}

TEST_F(Classify, SessionZeroUserMatchesWithoutRegardToCase) {
    sessions.Add(0, L"ALICE", L"whatever");
    EXPECT_FALSE(classifier->IsNonUserConnection(Connection(kAlice, 0)));
    EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kBob, 0)));
    EXPECT_EQ(1u, log.Count("Detected 'Bob@" + Narrow(computer) +
                            "' as non user connection. User At Session '0' is:'ALICE'."));
}

TEST_F(Classify, SessionZeroIsQueriedWhenUnknown) {
    bx::sessions::SetTableSession(0, {L"Alice", L"CORP", 0, 0});
    EXPECT_FALSE(classifier->IsNonUserConnection(Connection(kAlice, 0)));
    std::string text = log.Text();
    EXPECT_EQ(1u, bx::test::CountOf(text,
                                    "Could not find user at SessioId:'0'.Service may not be able to load "
                                    "fully when user with zero SessionID was logged on. "
                                    "PktUser:'alice@CORP'"));
    EXPECT_EQ(1u, bx::test::CountOf(text, "Quering  for userInfo at session:'0'"));
    EXPECT_EQ(1u, bx::test::CountOf(text, "Adding User 'Alice@CORP' at Session:'0'."));
    // These lines go straight to the logger: no thread prefix.
    EXPECT_EQ(0u, bx::test::CountOf(text, "\tId:"));
    std::wstring user, domain;
    ASSERT_EQ(0u, sessions.Lookup(0, user, domain));
    EXPECT_EQ(L"Alice", user);

    // The next one finds session 0 in the map.
    EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kBob, 0)));
    EXPECT_EQ(1u, log.Count("User At Session '0' is:'Alice'."));
}

TEST_F(Classify, SessionZeroMismatchAfterQueryNamesUserAndDomainTogether) {
    bx::sessions::SetTableSession(0, {L"carol", L"CORP", 0, 0});
    EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kAlice, 0)));
    EXPECT_EQ(1u, log.Count("Detected 'alice@CORP' as non user connection. User At Session '0' is:'carolCORP'."));
}

TEST_F(Classify, FailedSessionZeroQueryMakesEveryAccountANonUser) {
    bx::sessions::SetTableSession(0, {L"", L"", 0, 1168});
    EXPECT_TRUE(classifier->IsNonUserConnection(Connection(kAlice, 0)));
    std::string text = log.Text();
    EXPECT_EQ(1u, bx::test::CountOf(text, "Failed to Get DomainName From SessionID Error:'1168'"));
    EXPECT_EQ(1u, bx::test::CountOf(text, "Sending request as a NON user Conn. So that UTM would allow it."));
    std::wstring user, domain;
    EXPECT_EQ(1168u, sessions.Lookup(0, user, domain));  // nothing added
}

TEST_F(Classify, DomainUsersAndLocalUsers) {
    EXPECT_TRUE(classifier->IsDomainUser(Connection(kAlice, 2), false));
    EXPECT_EQ(1u, log.Count("HVNPkt: Domain User:'alice' Domain Name:'corp'"));
    // The machine's own domain, in any case, is a local user.
    std::wstring upper = computer;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    bx::accounts::SetTableAccount(kBob, Account{L"Bob", upper, SidType::User});
    EXPECT_FALSE(classifier->IsDomainUser(Connection(kBob, 2), false));
    std::string lowerName = Narrow(bx::LowerCase(computer));
    EXPECT_EQ(1u, log.Count("HVNPkt: Local User:'Bob' Server Name:'" + lowerName + "'"));
    EXPECT_FALSE(classifier->IsDomainUser(Connection(kAlice, 2), true));
    EXPECT_EQ(1u, log.Count("HVNPkt: Non User Connection:'alice' ServerName:'" + lowerName + "'"));

    // Logoff and resend records use their own names.
    send_data_t logoff;
    logoff.kind = bx::kKindLogoff;
    logoff.user = L"dave";
    logoff.domain = L"FAR";
    EXPECT_TRUE(classifier->IsDomainUser(logoff, false));
    logoff.domain = upper;
    EXPECT_FALSE(classifier->IsDomainUser(logoff, false));
}
