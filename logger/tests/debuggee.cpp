// Runs one logger scenario for debugger_test, which watches this program's
// debugger output. Exit code: 0 when the scenario's results were as expected.
#include <windows.h>

#include <cstdio>
#include <string>

#include "BXLogger.h"

namespace {

std::wstring Dir() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring p(buf, n);
    return p.substr(0, p.find_last_of(L'\\') + 1);
}

// A file of 990 bytes whose next 20-character line reaches the 1000-byte maximum.
std::wstring NearlyFullFile(const wchar_t* name) {
    std::wstring path = Dir() + name;
    FILE* f = _wfopen(path.c_str(), L"wb");
    std::string held(988, 'h');
    held += "\r\n";
    fwrite(held.data(), 1, held.size(), f);
    fclose(f);
    DeleteFileW((Dir() + L"old_" + name).c_str());
    return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring scenario = argv[1];
    CBXLogger log;
    if (log.Init() != 0) return 3;
    uint32_t result = 99;
    if (scenario == L"line") {
        log.AddDebugger();
        result = log.Log(BXLOG_INFORMATIONAL, L"hello %s %d", L"debugger", 42);
    } else if (scenario == L"failedfile") {
        log.AddDebugger();
        log.AddFile((Dir() + L"no_such_dir\\x.log").c_str(), 0, 0);
        result = log.Log(BXLOG_ERROR, L"to both");  // the debugger takes it: 0
    } else if (scenario == L"stopfull") {
        log.AddDebugger();
        log.AddFile(NearlyFullFile(L"debuggee_full.log").c_str(), 1000, 2 | 4);
        result = log.Log(8, L"x");
    } else if (scenario == L"rotate") {
        log.AddFile(NearlyFullFile(L"debuggee_rotate.log").c_str(), 1000, 2);
        result = log.Log(8, L"x");
    } else if (scenario == L"long") {
        log.AddDebugger();
        std::wstring big(1500, L'a');
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<wchar_t>(L'a' + i % 26);
        result = log.Log(8, L"%s", big.c_str());
    } else if (scenario == L"removed") {
        log.AddDebugger();
        log.RemoveDebugger();
        result = log.Log(BXLOG_INFORMATIONAL, L"nobody") == 31 ? 0 : 1;
    }
    log.Cleanup();
    return static_cast<int>(result);
}
