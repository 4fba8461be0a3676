// The agent program's entry, shared by bxhvns.exe and by test programs that
// run a service class derived from CPLNSvc: parses the command line and runs
// the command (run as a service under the SCM, install, remove, start, stop,
// run in the console, help). The result is the program's exit code.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include "agent/program/pln_cmd_line_info.h"
#include "agent/program/pln_svc.h"
#include "agent/service/nt_service.h"
#include "platform/win/handles.h"
#include "platform/win/system_paths.h"

namespace bx::program {

// The application framework of this program is the C and C++ run-time
// (started before wmain) plus what this function sets up: the module handle,
// the command line and its split into arguments. Any of them missing means
// the program cannot run its command.
inline bool InitApplication(HMODULE& module, bx::win::UniqueLocal& arguments, int& argumentCount) {
    module = GetModuleHandleW(nullptr);
    const wchar_t* commandLine = GetCommandLineW();
    if (!module || !commandLine) return false;
    arguments.reset(reinterpret_cast<HLOCAL>(CommandLineToArgvW(commandLine, &argumentCount)));
    return static_cast<bool>(arguments);
}

template <typename Service>
int AgentMain() {
    // Run by the SCM, by the tool (elevated, "-restart") and by administrators
    // from any folder: no DLL of the current folder is ever loaded.
    bx::win::RestrictDllSearchPath();
    HMODULE module = nullptr;
    bx::win::UniqueLocal arguments;
    int argumentCount = 0;
    if (!InitApplication(module, arguments, argumentCount)) {
        CNTService::WriteStdout(L"Fatal Error: MFC initialization failed");  // with its line feed
        return 1;
    }

    DWORD exitCode = 0;
    try {
        CPLNCmdLineInfo commandLine;
        Service service;
        commandLine.service_ = &service;
        service.allowCommandLine_ = TRUE;
        service.allowNameChange_ = TRUE;
        service.allowDescriptionChange_ = TRUE;
        service.allowDisplayNameChange_ = TRUE;

        bx::service::ParseArguments(commandLine, argumentCount, static_cast<LPWSTR*>(arguments.get()));
        exitCode = service.ProcessCommand(commandLine);
    } catch (...) {
        // Nothing the service raises leaves the program unreported.
        exitCode = ERROR_EXCEPTION_IN_SERVICE;
    }
    return static_cast<int>(exitCode);
}

}  // namespace bx::program
