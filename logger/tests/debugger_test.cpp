// The debugger sink and the failed-sink report, watched for real: the
// scenario program runs under a debug loop of this test's own, which
// collects every OUTPUT_DEBUG_STRING_EVENT.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "tests/support/logger_files.h"

namespace {

struct DebugRun {
    std::vector<std::string> strings;
    DWORD exitCode = 0xFFFFFFFF;
};

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    size_t unit = info.fUnicode ? 2 : 1;
    std::vector<char> raw(static_cast<size_t>(info.nDebugStringLength) * unit);
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, raw.data(), raw.size(), &got)) return {};
    std::string text;
    for (size_t i = 0; i + unit <= got; i += unit) {
        char c = raw[i];
        if (c == 0) break;
        text += c;
    }
    return text;
}

DebugRun RunUnderDebugger(const std::string& scenario) {
    DebugRun run;
    std::string cmd = "\"" + bx::test::ProgramDir() + "logger_debuggee.exe\" " + scenario;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &si,
                        &pi)) {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
        return run;
    }
    for (bool done = false; !done;) {
        DEBUG_EVENT ev{};
        if (!WaitForDebugEvent(&ev, 60000)) {
            ADD_FAILURE() << "no debug event: " << GetLastError();
            TerminateProcess(pi.hProcess, 1);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT:
                run.strings.push_back(ReadDebugString(pi.hProcess, ev.u.DebugString));
                break;
            case CREATE_PROCESS_DEBUG_EVENT: {
                bx::win::UniqueHandle image(ev.u.CreateProcessInfo.hFile);  // the debugger closes it
                break;
            }
            case LOAD_DLL_DEBUG_EVENT: {
                bx::win::UniqueHandle image(ev.u.LoadDll.hFile);  // the debugger closes it
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.exitCode = ev.u.ExitProcess.dwExitCode;
                done = true;
                break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
    }
    bx::win::UniqueHandle thread(pi.hThread), process(pi.hProcess);
    return run;
}

// The strings that come from the logger (its lines, notes and reports).
std::vector<std::string> Ours(const DebugRun& run) {
    std::vector<std::string> ours;
    static const std::regex line(R"(\d\d/\d\d/\d\d:\d\d:\d\d:\d\d\t.*\n)");
    for (const auto& s : run.strings)
        if (std::regex_match(s, line) || s.find("failed Error:") != std::string::npos ||
            s.rfind("LoggerSelf: ", 0) == 0)
            ours.push_back(s);
    return ours;
}

}  // namespace

TEST(LoggerDebugger, LineReachesTheDebugger) {
    DebugRun run = RunUnderDebugger("line");
    EXPECT_EQ(0u, run.exitCode);
    auto ours = Ours(run);
    ASSERT_EQ(1u, ours.size());
    EXPECT_TRUE(
        std::regex_match(ours[0], std::regex(R"(\d\d/\d\d/\d\d:\d\d:\d\d:\d\d\tInformational\thello debugger 42\n)")))
        << ours[0];
}

TEST(LoggerDebugger, FailedFileIsReportedAfterTheLine) {
    DebugRun run = RunUnderDebugger("failedfile");
    EXPECT_EQ(0u, run.exitCode) << "the debugger took the message";
    auto ours = Ours(run);
    ASSERT_EQ(2u, ours.size());
    EXPECT_NE(std::string::npos, ours[0].find("Error        \tto both\n"));
    EXPECT_EQ("File Logger failed Error:2 \n", ours[1]);  // the C library's ENOENT
}

TEST(LoggerDebugger, StopWhenFullIsReportedWith6628) {
    DebugRun run = RunUnderDebugger("stopfull");
    EXPECT_EQ(0u, run.exitCode);
    auto ours = Ours(run);
    ASSERT_EQ(2u, ours.size());
    EXPECT_EQ("File Logger failed Error:6628 \n", ours[1]);
}

TEST(LoggerDebugger, RotationNotesItself) {
    DebugRun run = RunUnderDebugger("rotate");
    EXPECT_EQ(0u, run.exitCode);
    auto ours = Ours(run);
    ASSERT_EQ(1u, ours.size());
    EXPECT_EQ("LoggerSelf: Max.size of Log File is achieved! Creating New file..\n", ours[0]);
}

TEST(LoggerDebugger, LongMessageIsCutTo1023Characters) {
    DebugRun run = RunUnderDebugger("long");
    EXPECT_EQ(0u, run.exitCode);
    auto ours = Ours(run);
    ASSERT_EQ(1u, ours.size());
    std::string expected;
    for (size_t i = 0; i < 1023; ++i) expected += static_cast<char>('a' + i % 26);
    EXPECT_EQ(expected + "\n", ours[0].substr(18));
}

TEST(LoggerDebugger, RemovedDebuggerReceivesNothing) {
    DebugRun run = RunUnderDebugger("removed");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Ours(run).empty());
}
