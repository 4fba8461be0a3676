// snoopctl's command line under Wine: usage, scenario checking and its
// reports of bad lines. Nothing here needs the driver.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"

namespace {

using bx::test::ProcessResult;
using bx::test::Snoopctl;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(SnoopctlCommandLine, WrongCommandLinesPrintUsageAndExit2) {
    for (const wchar_t* arguments :
         {L"", L"frobnicate", L"load", L"load a b", L"unload now", L"feed", L"feed -x a b", L"check"}) {
        ProcessResult run = Snoopctl(arguments);
        EXPECT_EQ(run.exitCode, 2u) << "arguments: " << std::string(arguments, arguments + wcslen(arguments));
        EXPECT_TRUE(Contains(run.output, "usage: snoopctl load <bxhvnd.sys>")) << run.output;
    }
}

TEST(SnoopctlCommandLine, CheckReportsEveryBadLineWithItsNumberAndExits1) {
    ProcessResult run = Snoopctl(L"check -",
                                 "# header\n"
                                 "open tcp 10.0.0.1:1000 -> 10.0.0.2:80 pid 1 session 1 sid S-1-5-18 file 1\n"
                                 "open tcp 10.0.0.1:1000 pid 1 session 1 file 1\n"
                                 "sleep 5\n"
                                 "cleanup 10.0.0.300:1000 file 1\n");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(Contains(run.output, "<stdin>:3: open needs 'sid <SID>'\r\n") ||
                Contains(run.output, "<stdin>:3: open needs 'sid <SID>'\n"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "<stdin>:5: bad local address '10.0.0.300:1000' (expected a.b.c.d:port)"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "snoopctl: <stdin> has 2 bad lines; nothing was sent")) << run.output;
    EXPECT_FALSE(Contains(run.output, "<stdin>:2:")) << run.output;
}

TEST(SnoopctlCommandLine, CheckAcceptsAGoodFile) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"bx_snoopctl_check.txt";
    const std::string text =
        "open udp 10.0.0.1:53 pid 4 session 0 sid S-1-5-18 file 0x10\r\ncleanup 10.0.0.1:53 file 0x10\r\n";
    {
        bx::win::UniqueFile out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(out);
        DWORD written = 0;
        WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    ProcessResult run = Snoopctl(L"check \"" + file + L"\"");
    DeleteFileW(file.c_str());
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(Contains(run.output, "is good: 2 statements")) << run.output;
}

TEST(SnoopctlCommandLine, UnreadableScenarioIsAnErrorWithItsNumber) {
    for (const wchar_t* command : {L"check", L"feed"}) {
        ProcessResult run = Snoopctl(std::wstring(command) + L" C:\\no\\such\\scenario.txt");
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_TRUE(Contains(run.output, "snoopctl: cannot read C:\\no\\such\\scenario.txt Error:3")) << run.output;
    }
}

}  // namespace
