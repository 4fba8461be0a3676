// Small helpers for the logger's tests: a logger cleaned up at the end of the
// test, its lines, files, the program's directory, capturing a standard stream.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BXLogger.h"

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#define bx_dup _dup
#define bx_dup2 _dup2
#define bx_close _close
#define bx_fileno _fileno
#else
#include <unistd.h>
#define bx_dup dup
#define bx_dup2 dup2
#define bx_close close
#define bx_fileno fileno
#endif

namespace bx::test {

// The time stamp that starts every line the logger writes.
const char* const kStamp = R"(\d\d/\d\d/\d\d:\d\d:\d\d:\d\d\t)";

// A logger that is cleaned up at the end of the test.
class Logger {
public:
    Logger() { EXPECT_EQ(0u, BXLog_Init(&h)); }
    ~Logger() { BXLog_Cleanup(h); }
    std::wstring Error() const { return BXLog_GetErrorStr(h); }
    BXLOG_HANDLE h = nullptr;
};

// The lines of a text, without their CR; the text must end with a line end.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0, eol;
    while ((eol = text.find('\n', at)) != std::string::npos) {
        std::string line = text.substr(at, eol - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        at = eol + 1;
    }
    EXPECT_EQ(at, text.size()) << "text ends inside a line";
    return lines;
}

inline std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The text the logger gives a system error code (line end kept, unlike
// process_runner's SystemErrorText): the system's message for
// it, or, when there is none, its own "Unknown error 0x%08lX\n".
inline std::wstring LoggerErrorText(uint32_t code) {
    std::wstring text;
#ifdef _WIN32
    wchar_t* message = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n) text.assign(message, n);
    LocalFree(message);
#else
    text = Widen(strerror(static_cast<int>(code))) + L"\n";
#endif
    if (text.empty()) {
        wchar_t unknown[64];
        swprintf(unknown, 64, L"Unknown error 0x%08lX\n", static_cast<unsigned long>(code));
        text = unknown;
    }
    return text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline bool Exists(const std::string& path) { return std::ifstream(path).good(); }

// Directory of the running test program, with a trailing separator.
inline std::string ProgramDir() {
#ifdef _WIN32
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    std::string p(buf, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    std::string p(buf, n > 0 ? n : 0);
    return p.substr(0, p.find_last_of('/') + 1);
#endif
}

// A fresh, empty working directory for one test, below the program's directory.
inline std::string FreshDir(const std::string& name) {
    std::string dir = ProgramDir() + "logger_test_" + name;
#ifdef _WIN32
    std::string cmd = "cmd /c rmdir /s /q \"" + dir + "\" 2>nul";
    system(cmd.c_str());
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir + "\\";
#else
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) return "";
    cmd = "mkdir -p '" + dir + "'";
    if (system(cmd.c_str()) != 0) return "";
    return dir + "/";
#endif
}

// Sends a standard stream (stdout or stderr) into a file while alive.
class StreamCapture {
public:
    StreamCapture(FILE* stream, const std::string& path) : stream_(stream), path_(path) {
        fflush(stream_);
        saved_ = bx_dup(bx_fileno(stream_));
        FILE* f = fopen(path.c_str(), "wb");
        bx_dup2(bx_fileno(f), bx_fileno(stream_));
        fclose(f);
    }
    ~StreamCapture() { Stop(); }
    std::string Stop() {
        if (saved_ >= 0) {
            fflush(stream_);
            bx_dup2(saved_, bx_fileno(stream_));
            bx_close(saved_);
            saved_ = -1;
        }
        return ReadFile(path_);
    }

private:
    FILE* stream_;
    std::string path_;
    int saved_ = -1;
};

}  // namespace bx::test
