// CPLNSvc's start and stop in this process: ServiceRun runs on a thread of
// the test (as the console mode runs it), with the settings of the case's own
// (the appliance on 127.0.0.1 at a free port, the feedback post off), no
// driver (Wine has none here; start-up goes on without it). Stop requests and
// session changes come from the test's thread, as the control handler's
// thread brings them (Wine never delivers console control events or session
// changes, so the handlers are called directly).
#include "agent/program/pln_svc.h"

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/utf8.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/settings_fixture.h"
#include "tests/support/win/security_readback.h"

namespace {

using bx::test::Eventually;

// The service, with its status reports recorded and one way to make an
// exception leave its work.
class CRecordingSvc : public CPLNSvc {
public:
    BOOL ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted) override {
        const BOOL sent = CPLNSvc::ReportStatus(state, checkPoint, waitHint, controlsAccepted);
        const bool listening = GetSnooper().ConnectionManager().ListenerRunning();
        {
            std::lock_guard<std::mutex> guard(lock_);
            states_.push_back(state);
            if (state == SERVICE_STOP_PENDING && states_.size() > 0 && !stopPendingSeen_) {
                stopPendingSeen_ = true;
                listeningAtStopPending_ = listening;
            }
        }
        if (state == SERVICE_RUNNING) {
            listeningWhenRunning_ = listening;
            running_ = true;
        }
        return sent;
    }
    // The started event is written after the connection manager started.
    DWORD MapEventID(DWORD id) override {
        if (id == bx::program::kEventServiceStarted && throwAtStartedEvent_)
            throw std::runtime_error("the work failed");
        return CPLNSvc::MapEventID(id);
    }

    std::vector<DWORD> States() {
        std::lock_guard<std::mutex> guard(lock_);
        return states_;
    }
    bool ListeningAtFirstStopPending() {
        std::lock_guard<std::mutex> guard(lock_);
        return stopPendingSeen_ && listeningAtStopPending_;
    }

    std::atomic<bool> running_{false};
    std::atomic<bool> listeningWhenRunning_{false};
    bool throwAtStartedEvent_ = false;

private:
    std::mutex lock_;
    std::vector<DWORD> states_;
    bool stopPendingSeen_ = false;
    bool listeningAtStopPending_ = false;
};

class ServiceRunTest : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        bx::test::SettingsTest::SetUp();
        Dword(L"verbose", 1);
        String(L"ip", L"127.0.0.1");
        Dword(L"port", bx::test::FreeUdpPort());
        String(L"FeedbackURL", L"");
        service_ = std::make_unique<CRecordingSvc>();
    }
    void TearDown() override {
        if (runner_.joinable()) {
            // Never leave the work running: stop it until it returns.
            while (!done_) {
                service_->OnStop();
                Sleep(50);
            }
            runner_.join();
        }
        service_.reset();
        bx::test::SettingsTest::TearDown();
    }

    void Start() {
        runner_ = std::thread([this] {
            try {
                service_->ServiceRun(0, nullptr);
            } catch (...) {
                threw_ = true;
                // What the framework's catch would find: are the manager's
                // threads still running?
                listeningAfterException_ = service_->GetSnooper().ConnectionManager().ListenerRunning() ||
                                           service_->GetSnooper().ConnectionManager().DispatcherRunning();
            }
            done_ = true;
        });
    }
    // Waits with a generous bound for the work to return.
    bool Finished() {
        if (!Eventually([this] { return done_.load(); }, std::chrono::seconds(30))) return false;
        runner_.join();
        return true;
    }
    static WTSSESSION_NOTIFICATION Session(DWORD id) {
        WTSSESSION_NOTIFICATION notification{};
        notification.cbSize = sizeof notification;
        notification.dwSessionId = id;
        return notification;
    }

    std::unique_ptr<CRecordingSvc> service_;
    std::thread runner_;
    std::atomic<bool> done_{false};
    std::atomic<bool> threw_{false};
    std::atomic<bool> listeningAfterException_{false};
};

// A console's Ctrl+C that comes before the run loop (while the service is
// still starting) is kept and ends the loop at its first wait.
TEST_F(ServiceRunTest, StopAskedBeforeTheRunLoopIsNotLost) {
    service_->OnStop();
    Start();
    ASSERT_TRUE(Finished()) << "the stop asked for before the run loop was lost";
    EXPECT_FALSE(threw_);
    const std::vector<DWORD> states = service_->States();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), states.back());
}

// Running is reported before the connection manager starts (a stop is
// accepted from there on), stop pending before the first shut-down step (the
// manager's listener still runs then), and a session change after stopping
// began queues nothing: the logon before the stop is known, its logoff after
// it sends no notification.
TEST_F(ServiceRunTest, StopPendingComesFirstAndLateSessionChangesQueueNothing) {
    Start();
    ASSERT_TRUE(Eventually([this] { return service_->running_.load(); }));
    EXPECT_FALSE(service_->listeningWhenRunning_);
    ASSERT_TRUE(Eventually([this] { return service_->GetSnooper().ConnectionManager().ListenerRunning(); }));
    WTSSESSION_NOTIFICATION session = Session(3);
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service_->OnSessionChange(WTS_SESSION_LOGON, &session));
    std::wstring user, domain;
    ASSERT_EQ(0u, service_->GetSnooper().Sessions().Lookup(3, user, domain));

    service_->OnStop();
    ASSERT_TRUE(Finished());
    EXPECT_TRUE(service_->ListeningAtFirstStopPending());

    CConnectionCacheMgr& manager = service_->GetSnooper().ConnectionManager();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service_->OnSessionChange(WTS_SESSION_LOGOFF, &session));
    EXPECT_EQ(0u, manager.Queue().Count());
    // A stop (a second Ctrl+C, a console close) after the events closed
    // touches nothing.
    service_->OnStop();
}

// An exception that leaves the work (the framework then reports 1064) stops
// the connection manager's threads before it goes on, so that none of them
// is left using the logger and the pool that the service object releases.
TEST_F(ServiceRunTest, ExceptionLeavingTheWorkStopsTheManagersThreadsFirst) {
    service_->throwAtStartedEvent_ = true;
    Start();
    ASSERT_TRUE(Finished());
    ASSERT_TRUE(threw_);
    EXPECT_TRUE(service_->ListeningAtFirstStopPending());  // they ran
    EXPECT_FALSE(listeningAfterException_);
}

// What the service makes and keeps is for SYSTEM and Administrators only:
// the settings key (made wide here, as reg add makes it) gets a protected
// DACL at start, with one log line; the status event is made so; the log and
// the status file, here left beside the program with the default security
// before the start, are given that DACL when the service opens them. (Read
// back: Wine does not enforce these DACLs; see security_readback.h.)
TEST_F(ServiceRunTest, StartRestrictsTheSettingsKeyAndMakesItsObjectsForAdministratorsOnly) {
    const std::wstring key = std::wstring(L"MACHINE\\") + bx::kSettingsKeyPath;
    ASSERT_NE(std::wstring::npos, bx::test::DaclSddl(key, SE_REGISTRY_KEY).find(L";;;BU)"));
    const std::wstring log = bx::files::PathBesideExecutable(bx::program::kLogFileName);
    const std::wstring status = bx::files::PathBesideExecutable(L"HVNConfig.xml");
    for (const std::wstring& path : {log, status}) {
        DeleteFileW(path.c_str());  // an earlier run's file keeps its DACL when overwritten
        bx::win::UniqueFile file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file) << GetLastError();
    }
    ASSERT_NE(bx::test::AdminOnlyFileSddlUnderWine(), bx::test::DaclSddl(log, SE_FILE_OBJECT));

    Start();
    ASSERT_TRUE(Eventually([this] { return service_->running_.load(); }));
    EXPECT_EQ(L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", bx::test::DaclSddl(key, SE_REGISTRY_KEY));
    std::wstring ip;  // the values stay as they were
    EXPECT_EQ(0u, bx::SettingsReader(bx::kSettingsKeyPath).String(L"ip", ip));
    EXPECT_EQ(L"127.0.0.1", ip);
    bx::win::UniqueHandle event(OpenEventW(READ_CONTROL | EVENT_MODIFY_STATE, FALSE, bx::program::kGenXmlEventName));
    ASSERT_TRUE(event) << GetLastError();
    EXPECT_EQ(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", bx::test::DaclSddlOf(event.get(), SE_KERNEL_OBJECT));
    ASSERT_TRUE(SetEvent(event.get()));
    const std::string logText = bx::Utf8FromWide(log);
    ASSERT_TRUE(Eventually(
        [&] { return bx::test::ReadFileText(logText).find("Reveived XML generation") != std::string::npos; }));
    service_->OnStop();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(bx::test::AdminOnlyFileSddlUnderWine(), bx::test::DaclSddl(log, SE_FILE_OBJECT));
    EXPECT_EQ(bx::test::AdminOnlyFileSddlUnderWine(), bx::test::DaclSddl(status, SE_FILE_OBJECT));
    EXPECT_EQ(1u, bx::test::CountOf(bx::test::ReadFileText(logText),
                                    "The settings key granted access to others than SYSTEM and Administrators: its "
                                    "DACL was replaced"));
}

}  // namespace
