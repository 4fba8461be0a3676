// Crash dumps from a real fault: testprogs/crash_victim.cpp installs the
// handler and faults on a second thread; the dumps it leaves are read back as
// minidump files. (Wine's MiniDumpWriteDump takes 7 s or more per dump, so
// only one real dump is written; the others use the victim's quick writer.)
#include "agent/service/crash_handler.h"

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/win/security_readback.h"
#include "tests/support/win/service_manager.h"

namespace {

using bx::test::FileExists;
using bx::test::ReadFileBytes;

const char kCrashLine[] = "HVN Service has crashed! check the crash dump. ";

struct DumpFacts {
    std::string problem;  // empty when the file is a well-formed minidump
    ULONG32 streams = 0;
    bool hasException = false;
    DWORD exceptionThread = 0;
    DWORD exceptionCode = 0;
    std::vector<DWORD> threads;
};

// Reads a minidump: header, stream directory, exception and thread streams,
// every location checked against the file's size.
DumpFacts ReadDump(const std::string& data) {
    DumpFacts facts;
    auto fits = [&](RVA rva, ULONG32 size) { return static_cast<uint64_t>(rva) + size <= data.size(); };
    if (data.size() < sizeof(MINIDUMP_HEADER)) {
        facts.problem = "shorter than a header";
        return facts;
    }
    MINIDUMP_HEADER header;
    std::memcpy(&header, data.data(), sizeof(header));
    if (header.Signature != 0x504d444du) {  // "MDMP"
        facts.problem = "no MDMP signature";
        return facts;
    }
    if ((header.Version & 0xFFFF) != MINIDUMP_VERSION) {
        facts.problem = "unknown version";
        return facts;
    }
    facts.streams = header.NumberOfStreams;
    if (header.NumberOfStreams == 0 ||
        !fits(header.StreamDirectoryRva, header.NumberOfStreams * sizeof(MINIDUMP_DIRECTORY))) {
        facts.problem = "stream directory outside the file";
        return facts;
    }
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY entry;
        std::memcpy(&entry, data.data() + header.StreamDirectoryRva + i * sizeof(entry), sizeof(entry));
        if (!fits(entry.Location.Rva, entry.Location.DataSize)) {
            facts.problem = "stream " + std::to_string(i) + " outside the file";
            return facts;
        }
        const char* stream = data.data() + entry.Location.Rva;
        if (entry.StreamType == ExceptionStream && entry.Location.DataSize >= sizeof(MINIDUMP_EXCEPTION_STREAM)) {
            MINIDUMP_EXCEPTION_STREAM exception;
            std::memcpy(&exception, stream, sizeof(exception));
            facts.hasException = true;
            facts.exceptionThread = exception.ThreadId;
            facts.exceptionCode = exception.ExceptionRecord.ExceptionCode;
            if (!fits(exception.ThreadContext.Rva, exception.ThreadContext.DataSize)) {
                facts.problem = "exception context outside the file";
                return facts;
            }
        } else if (entry.StreamType == ThreadListStream && entry.Location.DataSize >= sizeof(ULONG32)) {
            ULONG32 count = 0;
            std::memcpy(&count, stream, sizeof(count));
            if (sizeof(ULONG32) + static_cast<uint64_t>(count) * sizeof(MINIDUMP_THREAD) > entry.Location.DataSize) {
                facts.problem = "thread list longer than its stream";
                return facts;
            }
            for (ULONG32 t = 0; t < count; ++t) {
                MINIDUMP_THREAD thread;
                std::memcpy(&thread, stream + sizeof(ULONG32) + t * sizeof(MINIDUMP_THREAD), sizeof(thread));
                facts.threads.push_back(thread.ThreadId);
            }
        }
    }
    return facts;
}

class HostCrashDump : public testing::Test {
protected:
    void SetUp() override {
        std::wstring name =
            L"host crash test " + bx::test::Widen(testing::UnitTest::GetInstance()->current_test_info()->name());
        dir_ = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), name);
        for (const wchar_t* file : {L"bx_crash_victim.exe", L"BXLogger.dll"})
            ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + file).c_str(), (dir_ + file).c_str(), FALSE))
                << GetLastError();
    }
    void TearDown() override { bx::test::RemoveDirectoryTree(dir_); }

    // Runs the victim; returns the id of the thread that faulted.
    DWORD Crash(const std::wstring& mode, DWORD expectedExit = EXCEPTION_ACCESS_VIOLATION) {
        auto r = bx::test::RunProcess(bx::test::Quote(dir_ + L"bx_crash_victim.exe") + L" " + mode, 120000);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(expectedExit, r.exitCode) << r.output;
        unsigned long thread = 0;
        EXPECT_EQ(1, sscanf(r.output.c_str(), "thread %lu", &thread)) << r.output;
        return thread;
    }
    std::wstring Path(const wchar_t* name) const { return dir_ + name; }
    int CountDumps() const {
        int count = 0;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((dir_ + L"*.dmp").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return 0;
        do ++count;
        while (FindNextFileW(find, &data));
        FindClose(find);
        return count;
    }
    std::string Log() const { return ReadFileBytes(dir_ + L"victim.log"); }
    static int CountOf(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    std::wstring dir_;
};

TEST_F(HostCrashDump, ThreeFaultsKeepTwoValidDumpsWithRotation) {
    // First crash: a valid dump naming the faulting thread, no older dump.
    DWORD first = Crash(L"crash");
    ASSERT_TRUE(FileExists(Path(L"HVNCrash.dmp")));
    EXPECT_FALSE(FileExists(Path(L"HVNCrash_old.dmp")));
    EXPECT_FALSE(FileExists(Path(L"HVNCrash.tmp")));
    std::string firstDump = ReadFileBytes(Path(L"HVNCrash.dmp"));
    DumpFacts facts = ReadDump(firstDump);
    ASSERT_EQ("", facts.problem);
    EXPECT_GE(facts.streams, 3u);
    ASSERT_TRUE(facts.hasException);
    EXPECT_EQ(first, facts.exceptionThread);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), facts.exceptionCode);
    EXPECT_NE(facts.threads.end(), std::find(facts.threads.begin(), facts.threads.end(), first));
    // The dump (made as the temporary file, then renamed) holds the process's
    // memory: SYSTEM and Administrators only (read back as Wine maps it).
    EXPECT_EQ(bx::test::AdminOnlyFileSddlUnderWine(), bx::test::DaclSddl(Path(L"HVNCrash.dmp"), SE_FILE_OBJECT));
    std::string log = Log();
    EXPECT_EQ(1, CountOf(log, kCrashLine)) << log;
    EXPECT_NE(std::string::npos, log.find("Error")) << log;  // logged at priority 3

    // Second and third crash, with the victim's quick stand-in writer (one
    // real dump is enough to check the content; rotation is the filter's).
    DWORD second = Crash(L"quick");
    std::string secondDump = ReadFileBytes(Path(L"HVNCrash.dmp"));
    EXPECT_EQ("dump of thread " + std::to_string(second), secondDump);
    EXPECT_EQ(firstDump, ReadFileBytes(Path(L"HVNCrash_old.dmp")));
    EXPECT_EQ(2, CountDumps());

    // Third crash: the oldest goes, the second becomes the old one.
    DWORD third = Crash(L"quick");
    EXPECT_EQ("dump of thread " + std::to_string(third), ReadFileBytes(Path(L"HVNCrash.dmp")));
    EXPECT_EQ(secondDump, ReadFileBytes(Path(L"HVNCrash_old.dmp")));
    EXPECT_EQ(2, CountDumps());
    EXPECT_FALSE(FileExists(Path(L"HVNCrash.tmp")));
    EXPECT_EQ(3, CountOf(Log(), kCrashLine));
}

// A fault inside the logger, while it holds its file lock: the dump is
// written first and the process ends; the crash line, which would have to
// wait for that lock for ever, is not written. (Generous bound: the victim
// ends within seconds; a filter that waits for the logger would keep it for
// a minute.)
TEST_F(HostCrashDump, FaultWhileTheLoggerIsLockedStillDumpsAndEnds) {
    auto r = bx::test::RunProcess(bx::test::Quote(dir_ + L"bx_crash_victim.exe") + L" locked", 30000);
    ASSERT_FALSE(r.timedOut) << "the crash filter hung";
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), r.exitCode) << r.output;
    unsigned long thread = 0;
    ASSERT_EQ(1, sscanf(r.output.c_str(), "thread %lu", &thread)) << r.output;
    EXPECT_EQ("dump of thread " + std::to_string(thread), ReadFileBytes(Path(L"HVNCrash.dmp")));
    EXPECT_FALSE(FileExists(Path(L"HVNCrash.tmp")));
    EXPECT_EQ(0, CountOf(Log(), kCrashLine));
}

// A dump writer that never returns (stuck on a lock of the crashed thread):
// the filter gives the dump up and the process ends; no dump is left.
TEST_F(HostCrashDump, StuckDumpWriterEndsTheProcessWithoutADump) {
    auto r = bx::test::RunProcess(bx::test::Quote(dir_ + L"bx_crash_victim.exe") + L" stuck", 30000);
    ASSERT_FALSE(r.timedOut) << "the crash filter hung";
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), r.exitCode) << r.output;
    EXPECT_EQ(0, CountDumps());
}

TEST_F(HostCrashDump, RemovedFilterLeavesNoDumpAndNoLogLine) {
    Crash(L"removed");
    EXPECT_EQ(0, CountDumps());
    EXPECT_FALSE(FileExists(Path(L"HVNCrash.tmp")));
    EXPECT_EQ(0, CountOf(Log(), kCrashLine));
}

TEST_F(HostCrashDump, IncompleteDumpIsRemovedAndEarlierDumpsStay) {
    // Dumps of earlier crashes (their content does not matter here).
    ASSERT_TRUE(
        CopyFileW((bx::test::ExeDirectory() + L"bx_crash_victim.exe").c_str(), Path(L"HVNCrash.dmp").c_str(), FALSE));
    ASSERT_TRUE(
        CopyFileW((bx::test::ExeDirectory() + L"BXLogger.dll").c_str(), Path(L"HVNCrash_old.dmp").c_str(), FALSE));
    std::string current = ReadFileBytes(Path(L"HVNCrash.dmp"));
    std::string old = ReadFileBytes(Path(L"HVNCrash_old.dmp"));

    Crash(L"partial");
    // The line is still logged after the failed dump; the half-written file
    // is gone.
    EXPECT_EQ(1, CountOf(Log(), kCrashLine));
    EXPECT_FALSE(FileExists(Path(L"HVNCrash.tmp")));
    EXPECT_EQ(current, ReadFileBytes(Path(L"HVNCrash.dmp")));
    EXPECT_EQ(old, ReadFileBytes(Path(L"HVNCrash_old.dmp")));
}

}  // namespace
