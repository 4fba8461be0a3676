// The tests' MAPI recorder (win/mapi_recorder.cpp) as the system's
// MAPI32.DLL for BXHVNTSR.exe. The tool loads simple MAPI from System32 only,
// so the recorder takes the place of Wine's MAPI32.DLL there for as long as
// this object lives (Wine's file is put back afterwards), and the tool's
// AppDefaults key tells Wine to load that file rather than its builtin DLL
// (a WINEDLLOVERRIDES set by a Windows parent is not read). The recorder
// keeps its calls and reads its answers in files beside itself: File().
#pragma once
#include <string>

namespace bx::test {

class SystemMapi {
public:
    // `dll`: a recorder built beside the test program ("mapi_recorder.dll",
    // "mapi_recorder_invalid.dll"), or empty: no MAPI32.DLL loads for the
    // tool at all.
    explicit SystemMapi(const std::wstring& dll);
    ~SystemMapi();
    SystemMapi(const SystemMapi&) = delete;
    SystemMapi& operator=(const SystemMapi&) = delete;
    bool Ok() const { return ok_; }

    // "<System32>\<name>": the recorder's "mapi_calls.txt", "mapi_answer.txt".
    static std::wstring File(const std::wstring& name);

private:
    bool ok_ = false;
};

}  // namespace bx::test
