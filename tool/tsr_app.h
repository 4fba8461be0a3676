// CTSRApp and CSingleInstance: the tool's start-up, one instance per
// terminal session.
#pragma once
#include <windows.h>

#include <string>

#include "platform/win/handles.h"

class CSingleInstance {
public:
    // True when this is the first instance; otherwise the first instance's
    // window is brought forward.
    bool Acquire(const std::wstring& stem);

private:
    bx::win::UniqueHandle mutex_;  // lives until the process ends
    std::wstring name_;
};

class CTSRApp {
public:
    // Runs the tool; always false (the program ends when the sheet closes).
    bool InitInstance(const std::wstring& commandLine);
    const std::wstring& ReportPath() const { return reportPath_; }

private:
    CSingleInstance instance_;
    std::wstring reportPath_;
};
