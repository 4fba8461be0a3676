// The snoop driver stand-in under Wine: loaded as the kernel service
// "bxhvnd" and driven through its device exactly as the agent reads it
// (overlapped ReadSnoopEvents with an auto-reset event) and as snoopctl feeds
// it (the inject control code).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/snoop/snoop_event.h"
#include "platform/win/handles.h"
#include "sim/snoopctl/driver_service.h"
#include "sim/snoopctl/scenario.h"
#include "tests/support/win/process_runner.h"

namespace {

using bx::test::ExeDirectory;
using bx::test::ProcessResult;
using bx::test::Snoopctl;

constexpr DWORD kDoneMs = 5000;                     // bound for a completion that must come (a hang guard only)
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;  // STATUS_CANCELLED
constexpr uint32_t kQueueCapacity = 4096;

// The device as the agent opens it: read and write, no sharing, overlapped.
HANDLE OpenLikeTheAgent() {
    return CreateFileW(L"\\\\.\\bxhvnd", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// The device as a feeder opens it: synchronous.
HANDLE OpenForInjection() {
    return CreateFileW(L"\\\\.\\bxhvnd", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// A record whose every byte says which one it is.
snoop_event_t MakeRecord(uint32_t id) {
    snoop_event_t record;
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + id * 13 + 1);
    record.file_object = id;
    return record;
}

uint32_t Inject(HANDLE device, const snoop_event_t& record, DWORD code = SNOOP_IOCTL_INJECT_EVENT) {
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, const_cast<snoop_event_t*>(&record), sizeof record, nullptr, 0, &returned,
                         nullptr))
        return GetLastError();
    return 0;
}

// One ReadSnoopEvents request as the agent issues it. A request still
// outstanding when the object goes is cancelled and waited for, so that the
// system never writes into freed memory.
class Read {
public:
    explicit Read(HANDLE device) : device_(device), event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        std::memset(buffer_, 0xCC, sizeof buffer_);
    }
    ~Read() {
        if (outstanding_) {
            CancelIoEx(device_, &overlapped_);
            WaitForSingleObject(event_.get(), kDoneMs);
        }
    }
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    // 0 when the request completed at once, 997 when it pends, else the error.
    DWORD Issue(DWORD bufferBytes = SNOOP_EVENT_SIZE) {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event_.get();
        outstanding_ = true;
        done_ = false;
        if (DeviceIoControl(device_, SNOOP_IOCTL_READ_EVENTS, nullptr, 0, buffer_, bufferBytes, nullptr, &overlapped_))
            return 0;
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) outstanding_ = false;
        return error;
    }
    // Waits for the completion's event: true when it came within ms.
    bool Wait(DWORD ms) {
        if (done_) return true;
        if (WaitForSingleObject(event_.get(), ms) != WAIT_OBJECT_0) return false;
        outstanding_ = false;
        done_ = true;
        return true;
    }
    // The finished request's result: 0 with the bytes, or the error.
    DWORD Result(DWORD& bytes) {
        bytes = 0;
        if (GetOverlappedResult(device_, &overlapped_, &bytes, FALSE)) return 0;
        return GetLastError();
    }
    // Waits, then expects a successful 256-byte completion and gives the record.
    snoop_event_t Record() {
        snoop_event_t record = {};
        EXPECT_TRUE(Wait(kDoneMs)) << "the read did not complete";
        DWORD bytes = 0;
        EXPECT_EQ(Result(bytes), 0u);
        EXPECT_EQ(bytes, SNOOP_EVENT_SIZE);
        EXPECT_EQ(overlapped_.InternalHigh, SNOOP_EVENT_SIZE);
        std::memcpy(&record, buffer_, sizeof record);
        return record;
    }
    const OVERLAPPED& Overlapped() const { return overlapped_; }

private:
    HANDLE device_;
    bx::win::UniqueHandle event_;
    OVERLAPPED overlapped_ = {};
    uint8_t buffer_[SNOOP_EVENT_SIZE + 16];
    bool outstanding_ = false;
    bool done_ = false;
};

::testing::AssertionResult SameBytes(const snoop_event_t& expected, const snoop_event_t& actual) {
    if (std::memcmp(&expected, &actual, sizeof expected) == 0) return ::testing::AssertionSuccess();
    const auto* e = reinterpret_cast<const uint8_t*>(&expected);
    const auto* a = reinterpret_cast<const uint8_t*>(&actual);
    size_t i = 0;
    while (e[i] == a[i]) ++i;
    return ::testing::AssertionFailure() << "records differ first at offset " << i << ": expected " << int(e[i])
                                         << ", got " << int(a[i]) << " (file_object " << expected.file_object << " vs "
                                         << actual.file_object << ")";
}

// Every test starts on a freshly started driver (loading restarts a running
// one, so no record is left from an earlier test) and removes it at the end:
// the Wine prefix lives on for the whole test run.
class SnoopDriver : public ::testing::Test {
protected:
    void SetUp() override {
        bx::sim::DriverFailure failure;
        ASSERT_EQ(bx::sim::LoadDriverService(ExeDirectory() + L"bxhvnd.sys", failure), 0u)
            << "loading the driver: " << std::string(failure.step.begin(), failure.step.end());
    }
    void TearDown() override {
        bx::sim::DriverFailure failure;
        EXPECT_EQ(bx::sim::UnloadDriverService(failure), 0u)
            << "unloading the driver: " << std::string(failure.step.begin(), failure.step.end());
    }
};

TEST_F(SnoopDriver, PendingReadCompletesWithTheInjectedRecord) {
    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent) << GetLastError();
    bx::win::UniqueFile feeder(OpenForInjection());  // alongside the agent's unshared handle
    ASSERT_TRUE(feeder) << GetLastError();

    Read read(agent.get());
    ASSERT_EQ(read.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(read.Wait(100)) << "a read must pend while there is no record";
    EXPECT_EQ(read.Overlapped().Internal, static_cast<ULONG_PTR>(STATUS_PENDING));

    const snoop_event_t record = MakeRecord(42);
    ASSERT_EQ(Inject(feeder.get(), record), 0u);
    EXPECT_TRUE(SameBytes(record, read.Record()));

    // The same through the inject code composed with METHOD_BUFFERED.
    Read second(agent.get());
    ASSERT_EQ(second.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    const snoop_event_t other = MakeRecord(43);
    ASSERT_EQ(Inject(feeder.get(), other, SNOOP_IOCTL_INJECT_EVENT_BUFFERED), 0u);
    EXPECT_TRUE(SameBytes(other, second.Record()));
}

TEST_F(SnoopDriver, RecordsInjectedWithoutAReaderArriveInOrder) {
    bx::win::UniqueFile feeder(OpenForInjection());
    ASSERT_TRUE(feeder);
    for (uint32_t id = 1; id <= 50; ++id) ASSERT_EQ(Inject(feeder.get(), MakeRecord(id)), 0u);

    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    for (uint32_t id = 1; id <= 50; ++id) {
        Read read(agent.get());
        DWORD issued = read.Issue();
        ASSERT_TRUE(issued == 0 || issued == ERROR_IO_PENDING) << issued;
        ASSERT_TRUE(SameBytes(MakeRecord(id), read.Record()));
    }
    Read empty(agent.get());
    EXPECT_EQ(empty.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
}

TEST_F(SnoopDriver, PendingReadsAreServedOldestFirst) {
    bx::win::UniqueFile first(OpenLikeTheAgent()), second(OpenLikeTheAgent());
    ASSERT_TRUE(first && second);
    bx::win::UniqueFile feeder(OpenForInjection());
    Read a(first.get()), b(second.get()), c(first.get());
    ASSERT_EQ(a.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(b.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(c.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    for (uint32_t id = 1; id <= 3; ++id) ASSERT_EQ(Inject(feeder.get(), MakeRecord(id)), 0u);
    EXPECT_TRUE(SameBytes(MakeRecord(1), a.Record()));
    EXPECT_TRUE(SameBytes(MakeRecord(2), b.Record()));
    EXPECT_TRUE(SameBytes(MakeRecord(3), c.Record()));
}

TEST_F(SnoopDriver, CancelIoEndsThePendingReadAndLosesNoRecord) {
    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    Read read(agent.get());
    ASSERT_EQ(read.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(CancelIo(agent.get()));
    ASSERT_TRUE(read.Wait(kDoneMs));
    DWORD bytes = 1;
    EXPECT_EQ(read.Result(bytes), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(read.Overlapped().Internal, static_cast<ULONG_PTR>(kStatusCancelled));
    EXPECT_EQ(bx::win::CloseNow(agent), 0u);

    // The cancelled read takes nothing: a record injected now waits for the next one.
    bx::win::UniqueFile feeder(OpenForInjection());
    ASSERT_EQ(Inject(feeder.get(), MakeRecord(7)), 0u);
    bx::win::UniqueFile again(OpenLikeTheAgent());
    ASSERT_TRUE(again);
    Read next(again.get());
    DWORD issued = next.Issue();
    ASSERT_TRUE(issued == 0 || issued == ERROR_IO_PENDING) << issued;
    EXPECT_TRUE(SameBytes(MakeRecord(7), next.Record()));
}

TEST_F(SnoopDriver, ClosingAHandleEndsOnlyItsOwnPendingReads) {
    bx::win::UniqueFile closing(OpenLikeTheAgent()), staying(OpenLikeTheAgent());
    ASSERT_TRUE(closing && staying);
    Read lost(closing.get()), kept(staying.get());
    ASSERT_EQ(lost.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(kept.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));

    // No CancelIo: the handle's clean-up completes its read.
    EXPECT_EQ(bx::win::CloseNow(closing), 0u);
    ASSERT_TRUE(lost.Wait(kDoneMs)) << "closing the handle must end its pending read";
    EXPECT_EQ(lost.Overlapped().Internal, static_cast<ULONG_PTR>(kStatusCancelled));
    EXPECT_FALSE(kept.Wait(100)) << "the other handle's read must stay pending";

    bx::win::UniqueFile feeder(OpenForInjection());
    ASSERT_EQ(Inject(feeder.get(), MakeRecord(9)), 0u);
    EXPECT_TRUE(SameBytes(MakeRecord(9), kept.Record()));
}

TEST_F(SnoopDriver, FullQueueRefusesRecordsAndKeepsTheQueuedOnes) {
    bx::win::UniqueFile feeder(OpenForInjection());
    ASSERT_TRUE(feeder);
    for (uint32_t id = 0; id < kQueueCapacity; ++id) ASSERT_EQ(Inject(feeder.get(), MakeRecord(id)), 0u) << id;
    EXPECT_EQ(Inject(feeder.get(), MakeRecord(kQueueCapacity)), static_cast<uint32_t>(ERROR_NO_SYSTEM_RESOURCES));

    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    {
        Read read(agent.get());
        read.Issue();
        ASSERT_TRUE(SameBytes(MakeRecord(0), read.Record()));
    }
    // One place is free again.
    ASSERT_EQ(Inject(feeder.get(), MakeRecord(kQueueCapacity)), 0u);
    EXPECT_EQ(Inject(feeder.get(), MakeRecord(kQueueCapacity + 1)), static_cast<uint32_t>(ERROR_NO_SYSTEM_RESOURCES));
    for (uint32_t id = 1; id <= kQueueCapacity; ++id) {
        Read read(agent.get());
        read.Issue();
        ASSERT_TRUE(SameBytes(MakeRecord(id), read.Record()));
    }
}

TEST_F(SnoopDriver, MalformedRequestsAreRefused) {
    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    {
        Read shortRead(agent.get());
        EXPECT_EQ(shortRead.Issue(SNOOP_EVENT_SIZE - 1), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
    bx::win::UniqueFile feeder(OpenForInjection());
    uint8_t bytes[SNOOP_EVENT_SIZE + 1] = {};
    DWORD returned = 0;
    for (DWORD size : {DWORD(0), DWORD(SNOOP_EVENT_SIZE - 1), DWORD(SNOOP_EVENT_SIZE + 1)}) {
        EXPECT_FALSE(
            DeviceIoControl(feeder.get(), SNOOP_IOCTL_INJECT_EVENT, bytes, size, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << size;
    }
    EXPECT_FALSE(DeviceIoControl(feeder.get(), 0x22200E, bytes, SNOOP_EVENT_SIZE, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // None of that queued anything: a read still pends.
    Read read(agent.get());
    EXPECT_EQ(read.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
}

// Two feeders and a reader at the same time: every record reaches exactly
// one read, in the order its feeder sent them.
TEST_F(SnoopDriver, ConcurrentFeedersAndReaderLoseNothing) {
    constexpr uint32_t kFeeders = 2, kPerFeeder = 1000;
    std::atomic<bool> failed{false};
    std::vector<std::thread> feeders;
    for (uint32_t f = 0; f < kFeeders; ++f) {
        feeders.emplace_back([f, &failed] {
            bx::win::UniqueFile feeder(OpenForInjection());
            if (!feeder) {
                failed = true;
                return;
            }
            for (uint32_t seq = 0; seq < kPerFeeder && !failed; ++seq) {
                snoop_event_t record = MakeRecord(seq);
                record.file_object = (uint64_t(f) << 32) | seq;
                uint32_t error;
                while ((error = Inject(feeder.get(), record)) == ERROR_NO_SYSTEM_RESOURCES) Sleep(1);
                if (error) failed = true;
            }
        });
    }

    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    std::vector<uint32_t> next(kFeeders, 0);
    uint32_t received = 0;
    while (received < kFeeders * kPerFeeder && !failed) {
        Read read(agent.get());
        DWORD issued = read.Issue();
        ASSERT_TRUE(issued == 0 || issued == ERROR_IO_PENDING) << issued;
        snoop_event_t record = read.Record();
        if (HasFatalFailure()) break;
        uint32_t feeder = static_cast<uint32_t>(record.file_object >> 32);
        uint32_t seq = static_cast<uint32_t>(record.file_object);
        ASSERT_LT(feeder, kFeeders);
        ASSERT_EQ(seq, next[feeder]) << "feeder " << feeder << ": out of order or lost";
        snoop_event_t expected = MakeRecord(seq);
        expected.file_object = record.file_object;
        ASSERT_TRUE(SameBytes(expected, record));
        ++next[feeder];
        ++received;
    }
    for (auto& thread : feeders) thread.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(received, kFeeders * kPerFeeder);
    Read last(agent.get());
    EXPECT_EQ(last.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
}

// CancelIo and an injection racing for one pending read: the read ends
// exactly once, either with the record or as cancelled, and a record that
// did not go to the cancelled read is the next read's.
TEST_F(SnoopDriver, CancelRacingAnInjectionEndsTheReadOnceAndKeepsTheRecord) {
    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    bx::win::UniqueHandle go(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    bx::win::UniqueHandle injected(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    constexpr uint32_t kRounds = 200;
    std::atomic<uint32_t> injectErrors{0};
    std::thread feeder([&] {
        bx::win::UniqueFile device(OpenForInjection());
        for (uint32_t round = 0; round < kRounds; ++round) {
            WaitForSingleObject(go.get(), INFINITE);
            if (Inject(device.get(), MakeRecord(round)) != 0) ++injectErrors;
            SetEvent(injected.get());
        }
    });

    uint32_t delivered = 0, cancelled = 0;
    // The rounds run in a function of their own, so that a failed assertion
    // ends them and still reaches the feeder's join below.
    auto rounds = [&] {
        for (uint32_t round = 0; round < kRounds; ++round) {
            Read read(agent.get());
            ASSERT_EQ(read.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
            SetEvent(go.get());
            CancelIo(agent.get());
            ASSERT_TRUE(read.Wait(kDoneMs)) << "round " << round << ": the read never ended";
            ASSERT_EQ(WaitForSingleObject(injected.get(), kDoneMs), WAIT_OBJECT_0);
            DWORD bytes = 0;
            DWORD result = read.Result(bytes);
            if (result == 0) {
                ++delivered;
                ASSERT_TRUE(SameBytes(MakeRecord(round), read.Record()));
                continue;
            }
            ASSERT_EQ(result, static_cast<DWORD>(ERROR_OPERATION_ABORTED)) << "round " << round;
            ++cancelled;
            Read next(agent.get());
            DWORD issued = next.Issue();
            ASSERT_TRUE(issued == 0 || issued == ERROR_IO_PENDING) << issued;
            ASSERT_TRUE(SameBytes(MakeRecord(round), next.Record())) << "round " << round << ": record lost";
        }
    };
    rounds();
    if (HasFatalFailure()) {  // let the feeder finish its rounds
        for (uint32_t i = 0; i < kRounds; ++i) SetEvent(go.get());
    }
    feeder.join();
    EXPECT_EQ(injectErrors.load(), 0u);
    std::printf("reads cancelled: %u, completed with the racing record: %u\n", cancelled, delivered);
    RecordProperty("cancelled_reads", static_cast<int>(cancelled));
}

TEST_F(SnoopDriver, SnoopctlFeedsAScenarioAlongsideTheAgentsHandle) {
    const std::string scenario =
        "# one user's connection\n"
        "open tcp 192.168.1.10:49152 -> 93.184.216.34:443 pid 4242 session 2 sid S-1-5-21-1-2-3-1001 file 0x1001\n"
        "sleep 10\n"
        "cleanup 192.168.1.10:49152 file 0x1001\n"
        "event 9 file 3\n";
    bx::sim::Scenario expected = bx::sim::ParseScenario(scenario);
    ASSERT_TRUE(expected.errors.empty());

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"bx_driver_test_scenario.txt";
    {
        bx::win::UniqueFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(out);
        DWORD written = 0;
        WriteFile(out.get(), scenario.data(), static_cast<DWORD>(scenario.size()), &written, nullptr);
    }

    bx::win::UniqueFile agent(OpenLikeTheAgent());
    ASSERT_TRUE(agent);
    Read first(agent.get());
    ASSERT_EQ(first.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));

    ProcessResult fed = Snoopctl(L"feed \"" + file + L"\"");
    EXPECT_EQ(fed.exitCode, 0u) << fed.output;
    EXPECT_NE(fed.output.find("snoopctl: sent 3 of 3 records from "), std::string::npos) << fed.output;
    DeleteFileW(file.c_str());

    EXPECT_TRUE(SameBytes(expected.steps[0].event, first.Record()));
    for (size_t step : {size_t(2), size_t(3)}) {
        Read read(agent.get());
        read.Issue();
        EXPECT_TRUE(SameBytes(expected.steps[step].event, read.Record()));
    }

    // Standard input works the same way.
    fed = Snoopctl(L"feed -", "cleanup 10.0.0.1:80 file 5\n");
    EXPECT_EQ(fed.exitCode, 0u) << fed.output;
    Read fromStdin(agent.get());
    fromStdin.Issue();
    snoop_event_t record = fromStdin.Record();
    EXPECT_EQ(record.event_type, SNOOP_EVENT_CLEANUP);
    EXPECT_EQ(record.local_ip, 0x0A000001u);
    EXPECT_EQ(record.file_object, 5u);

    // A scenario with a bad line sends nothing at all.
    fed = Snoopctl(L"feed -", "cleanup 10.0.0.1:80 file 6\nclenup 10.0.0.1:80 file 7\n");
    EXPECT_EQ(fed.exitCode, 1u);
    EXPECT_NE(fed.output.find("<stdin>:2: unknown statement 'clenup'"), std::string::npos) << fed.output;
    Read nothing(agent.get());
    EXPECT_EQ(nothing.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
}

TEST_F(SnoopDriver, UnloadEndsPendingReadsAndLoadingIsRepeatable) {
    {
        bx::win::UniqueFile agent(OpenLikeTheAgent());
        ASSERT_TRUE(agent);
        Read read(agent.get());
        ASSERT_EQ(read.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));

        ProcessResult unloaded = Snoopctl(L"unload");
        EXPECT_EQ(unloaded.exitCode, 0u) << unloaded.output;
        EXPECT_NE(unloaded.output.find("stopped and removed"), std::string::npos) << unloaded.output;
        ASSERT_TRUE(read.Wait(kDoneMs)) << "unloading must end the pending read";
        EXPECT_EQ(read.Overlapped().Internal, static_cast<ULONG_PTR>(kStatusCancelled));
    }

    bx::win::UniqueFile gone(OpenLikeTheAgent());
    const DWORD goneError = GetLastError();
    EXPECT_FALSE(gone);
    EXPECT_EQ(goneError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(bx::sim::InstalledDriverPath().c_str()), INVALID_FILE_ATTRIBUTES);

    ProcessResult again = Snoopctl(L"unload");
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_NE(again.output.find("was not installed"), std::string::npos) << again.output;

    ProcessResult fed = Snoopctl(L"feed -", "cleanup 10.0.0.1:80 file 5\n");
    EXPECT_EQ(fed.exitCode, 1u);
    EXPECT_NE(fed.output.find("snoopctl: cannot open \\\\.\\bxhvnd"), std::string::npos) << fed.output;

    const std::wstring sys = L"\"" + ExeDirectory() + L"bxhvnd.sys\"";
    for (int i = 0; i < 2; ++i) {
        ProcessResult loaded = Snoopctl(L"load " + sys);
        EXPECT_EQ(loaded.exitCode, 0u) << loaded.output;
        EXPECT_NE(loaded.output.find("is running from"), std::string::npos) << loaded.output;
        bx::win::UniqueFile agent(OpenLikeTheAgent());
        EXPECT_TRUE(agent) << GetLastError();
    }

    ProcessResult missing = Snoopctl(L"load C:\\nowhere\\bxhvnd.sys");
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_NE(missing.output.find("finding the driver file C:\\nowhere\\bxhvnd.sys failed Error:"), std::string::npos)
        << missing.output;
}

}  // namespace
