// Small helpers for the logger's tests: files, the program's directory,
// capturing a standard stream.
#pragma once
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

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

namespace testutil {

inline std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

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

}  // namespace testutil
