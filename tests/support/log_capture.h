// Test helper: a real BXLogger with one file sink in the working directory,
// whose lines the test reads back.
#pragma once
#include <cstdio>
#include <string>

#include "BXLogger.h"
#include "tests/support/settings_fixture.h"

namespace bx::test {

class LogCapture {
public:
    explicit LogCapture(const std::string& fileName) : path_(fileName) {
        std::remove(path_.c_str());
        logger_.Init();
        logger_.AddFile(std::wstring(path_.begin(), path_.end()).c_str(), 0, 0);
    }
    ~LogCapture() {
        logger_.Cleanup();
        std::remove(path_.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    CBXLogger* Logger() { return &logger_; }
    // Everything written so far, with "\n" line ends.
    std::string Text() const { return ReadFileText(path_); }
    size_t Count(const std::string& needle) const { return CountOf(Text(), needle); }

private:
    std::string path_;
    CBXLogger logger_;
};

}  // namespace bx::test
