// The Snooper natively: accounts and sessions from the platform's tables, and
// the driver read through the in-process device.
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/snoop/snoop_device_inprocess.h"
#include "platform/event.h"
#include "platform/posix/account_table.h"
#include "platform/posix/session_table.h"
#include "tests/support/snooper_fixture.h"

namespace bx::test {

namespace {
const wchar_t kUserText[] = L"S-1-5-21-100-200-300-1001";
const wchar_t kOtherText[] = L"S-1-5-21-100-200-300-1002";
}  // namespace

void PrepareSnooperAccounts() {
    accounts::ClearTableAccounts();
    sessions::ClearTableSessions();
    accounts::SetTableAccount(kUserText, accounts::Account{L"alice", L"CORP", accounts::SidType::User});
    accounts::SetTableAccount(kOtherText, accounts::Account{L"bob", L"CORP", accounts::SidType::User});
    snoopdev::ResetInProcessDevice();
}

void ForgetSnooperAccounts() {
    accounts::ClearTableAccounts();
    sessions::ClearTableSessions();
    snoopdev::ResetInProcessDevice();
}

const CSid& UserSid() {
    static const CSid sid = CSid::FromString(kUserText);
    return sid;
}

const CSid& OtherSid() {
    static const CSid sid = CSid::FromString(kOtherText);
    return sid;
}

void SetSessionUser(uint32_t sessionId, const std::wstring& user, const std::wstring& domain) {
    sessions::SetTableSession(sessionId, sessions::TableSession{user, domain, 0, 0});
}

}  // namespace bx::test

namespace {

using namespace bx::test;

class SnooperDevice : public SnooperTest {
protected:
    void SetUp() override {
        SnooperTest::SetUp();
        ASSERT_EQ(0u, readDone.Create(bx::sync::ResetMode::Auto));
        snooper->SetReadEvent(readDone);
    }
    // Lines at error priority that hold `text`.
    size_t CountErrorLines(const std::string& text) const {
        size_t count = 0;
        std::istringstream lines(log.Text());
        for (std::string line; std::getline(lines, line);)
            if (line.find(text) != std::string::npos && line.find("Error        \t") != std::string::npos) ++count;
        return count;
    }
    bx::sync::Event readDone;
};

// A user's opens within a second share the account looked up for the first
// of them: an account renamed meanwhile shows from the first open after that
// second. Another user's open looks up its own; a look-up that found nothing
// is made again at the next open.
TEST_F(SnooperTest, OpensOfAUserWithinASecondShareOneAccountLookUp) {
    const CSid unknown = CSid::FromString(L"S-1-5-21-100-200-300-1003");
    std::vector<send_data_t*> records;
    auto open = [&](uint16_t port, const CSid& sid) {
        Handle(OpenRecord(kLocal, port, kRemote, kRemotePort, 2, port, sid));
        records.push_back(Take());
        ASSERT_NE(nullptr, records.back());
    };
    open(1000, UserSid());
    open(1001, OtherSid());
    bx::accounts::SetTableAccount(kUserText, bx::accounts::Account{L"alice2", L"CORP", bx::accounts::SidType::User});
    open(1002, UserSid());
    open(1003, unknown);
    bx::accounts::SetTableAccount(L"S-1-5-21-100-200-300-1003",
                                  bx::accounts::Account{L"carol", L"CORP", bx::accounts::SidType::User});
    open(1004, unknown);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    open(1005, UserSid());

    EXPECT_EQ(&records[0]->sid.AccountName(), &records[2]->sid.AccountName()) << "one account, shared";
    const wchar_t* expected[] = {L"alice", L"bob", L"alice", L"", L"carol", L"alice2"};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(expected[i], records[i]->sid.AccountName()) << "open " << i;
        Release(records[i]);
    }
}

TEST_F(SnooperDevice, WithoutTheDriverTheOpenAndTheReadFailAndAreLogged) {
    bx::snoopdev::SetDevicePresent(false);
    EXPECT_EQ(0u, snooper->OpenDevice());
    EXPECT_FALSE(snooper->Device().IsOpen());
    EXPECT_EQ(1u, log.Count("\tFailed to open device driver Error:2\n")) << log.Text();
    EXPECT_EQ(1u, log.Count("\tSending Read request to driver...\n"));
    EXPECT_EQ(1u, log.Count("\tDeviceIoControl failed Error:6\n"));
    EXPECT_EQ(1u, log.Count("\tFailed to ReadSnoopEvents Error:6\n"));
    EXPECT_FALSE(bx::snoopdev::ReadOutstanding());
}

TEST_F(SnooperDevice, EachCompletedReadIsHandledAndTheNextOneIssued) {
    EXPECT_EQ(0u, snooper->OpenDevice());
    EXPECT_TRUE(bx::snoopdev::ReadOutstanding());
    EXPECT_EQ(0u, log.Count("Failed"));

    // As the run loop does: wait for the read, handle it, read again.
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(
                      OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid())));
    snoop_event_t ignored = CleanupRecord(kLocal, kLocalPort, 0x1001);
    ignored.event_type = 7;
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(ignored));
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(CleanupRecord(kLocal, kLocalPort, 0x1001)));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
        EXPECT_EQ(1, snooper->HandleEvent());
        EXPECT_EQ(0u, snooper->ReadSnoopEvents());
    }
    EXPECT_TRUE(bx::snoopdev::ReadOutstanding());
    EXPECT_EQ(bx::sync::kWaitTimeout, readDone.Wait(0));
    send_data_t* open = Take();
    send_data_t* close = Take();
    ASSERT_NE(nullptr, open);
    ASSERT_NE(nullptr, close);
    EXPECT_EQ(bx::kOperationOpen, open->operation);
    EXPECT_EQ(bx::kOperationClose, close->operation);
    Release(open);
    Release(close);

    EXPECT_FALSE(snooper->Device().LastReadDoneAtOnce());

    // Cancelled, a read takes no more records: they wait for the next one,
    // which is done at once.
    EXPECT_EQ(0u, snooper->CancelRead(1000));
    EXPECT_FALSE(bx::snoopdev::ReadOutstanding());
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(CleanupRecord(kLocal, kLocalPort, 0x1001)));
    EXPECT_EQ(1u, bx::snoopdev::QueuedSnoopRecords());
    EXPECT_EQ(0u, snooper->ReadSnoopEvents());
    EXPECT_TRUE(snooper->Device().LastReadDoneAtOnce());
    EXPECT_EQ(0u, bx::snoopdev::QueuedSnoopRecords());
    ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
    EXPECT_EQ(0u, snooper->CancelRead(1000));
    snooper->CloseDevice();
    EXPECT_NE(0u, snooper->ReadSnoopEvents());
}

// A read that fails or brings less than a whole record is not handled (the
// buffer still holds the previous record, which must not be sent twice); the
// pause before the next read grows from 10 ms to 1 s while reads keep
// failing, with one error line per burst, and a whole record ends the burst.
TEST_F(SnooperDevice, FailedAndShortReadsAreNotHandledAndPauseTheReadsWhileTheyLast) {
    EXPECT_EQ(0u, snooper->OpenDevice());
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(
                      OpenRecord(kLocal, kLocalPort, kRemote, kRemotePort, 2, 0x1001, UserSid())));
    ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
    ASSERT_EQ(Snooper::ReadCheck::Whole, snooper->CheckCompletedRead());
    EXPECT_EQ(1, snooper->HandleEvent());
    EXPECT_EQ(0u, snooper->ReadPauseMs());
    Release(Take());

    // Not completed yet: nothing to handle, and the request stays.
    EXPECT_EQ(0u, snooper->ReadSnoopEvents());
    EXPECT_EQ(Snooper::ReadCheck::Pending, snooper->CheckCompletedRead());
    EXPECT_TRUE(bx::snoopdev::ReadOutstanding());

    const uint32_t expectedPauses[] = {10, 20, 40, 80, 160, 320, 640, 1000, 1000};
    for (uint32_t i = 0; i < sizeof expectedPauses / sizeof expectedPauses[0]; ++i) {
        if (i % 2 == 0)
            ASSERT_EQ(0u, bx::snoopdev::InjectFailedRead(31));
        else
            ASSERT_EQ(0u, bx::snoopdev::InjectShortSnoopRecord(CleanupRecord(kLocal, kLocalPort, 0x1001),
                                                               SNOOP_EVENT_SIZE - 1));
        ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
        EXPECT_EQ(Snooper::ReadCheck::Failed, snooper->CheckCompletedRead()) << i;
        EXPECT_EQ(expectedPauses[i], snooper->ReadPauseMs()) << i;
        EXPECT_EQ(0u, snooper->ReadSnoopEvents());
    }
    EXPECT_EQ(nullptr, Take());  // the open above was not sent again
    EXPECT_EQ(1u, log.Count("Driver read failed Error:31 (0 of 256 bytes): the record is dropped; reads pause 10 ms"))
        << log.Text();
    EXPECT_EQ(4u, log.Count("\tDriver read failed Error:0 (255 of 256 bytes)")) << log.Text();
    EXPECT_EQ(9u, log.Count("Driver read failed"));
    EXPECT_EQ(1u, CountErrorLines("Driver read failed"));

    // A whole record again: handled, the pause and the burst end.
    ASSERT_EQ(0u, bx::snoopdev::InjectSnoopRecord(CleanupRecord(kLocal, kLocalPort, 0x1001)));
    ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
    ASSERT_EQ(Snooper::ReadCheck::Whole, snooper->CheckCompletedRead());
    EXPECT_EQ(0u, snooper->ReadPauseMs());
    EXPECT_EQ(1u, log.Count("Driver reads succeed again after 9 failed reads"));
    EXPECT_EQ(1, snooper->HandleEvent());
    send_data_t* close = Take();
    ASSERT_NE(nullptr, close);
    EXPECT_EQ(bx::kOperationClose, close->operation);
    Release(close);

    // The next burst is reported again.
    EXPECT_EQ(0u, snooper->ReadSnoopEvents());
    ASSERT_EQ(0u, bx::snoopdev::InjectFailedRead(1167));
    ASSERT_EQ(bx::sync::kWaitObject0, readDone.Wait(5000));
    EXPECT_EQ(Snooper::ReadCheck::Failed, snooper->CheckCompletedRead());
    EXPECT_EQ(10u, snooper->ReadPauseMs());
    EXPECT_EQ(2u, CountErrorLines("Driver read failed"));
}

}  // namespace
