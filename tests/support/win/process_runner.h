// Test helper: runs snoopctl.exe (beside the test program) with standard
// input from a string and standard output and error collected together.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace bxsim::test {

inline std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output;  // standard output and error
};

inline ProcessResult Run(const std::wstring& commandLine, const std::string& input = std::string()) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe Error:" << GetLastError();
        return result;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!started) {
        ADD_FAILURE() << "CreateProcessW Error:" << error;
        CloseHandle(outRead);
        CloseHandle(inWrite);
        result.exitCode = error;
        return result;
    }
    DWORD written = 0;
    if (!input.empty()) WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(inWrite);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
    CloseHandle(outRead);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

inline ProcessResult Snoopctl(const std::wstring& arguments, const std::string& input = std::string()) {
    return Run(L"\"" + ExeDirectory() + L"snoopctl.exe\" " + arguments, input);
}

}  // namespace bxsim::test
