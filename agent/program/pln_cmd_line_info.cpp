#include "agent/program/pln_cmd_line_info.h"

#include <windows.h>

#include <vector>

#include "agent/program/maintenance_options.h"
#include "agent/program/reset_options.h"

CPLNCmdLineInfo::CPLNCmdLineInfo() : registryKeyPath_(bx::maintenance::kResetKeyPath) {}

void CPLNCmdLineInfo::ParseParam(const wchar_t* param, bool isSwitch, bool isLast) {
    if (isSwitch && param) {
        if (_wcsicmp(param, L"querynow") == 0) return QueryNow();
        if (_wcsicmp(param, L"reset") == 0) return Reset();
        if (_wcsicmp(param, L"insagent") == 0) return bx::program::InstallPlainServiceEntry();
        if (_wcsicmp(param, L"uninsagent") == 0) return bx::program::RemovePlainServiceEntry();
        if (_wcsicmp(param, L"restart") == 0) return bx::program::RestartAgentService(bx::program::ShowResultBox);
    }
    CNTServiceCommandLineInfo::ParseParam(param, isSwitch, isLast);
}

void CPLNCmdLineInfo::QueryNow() {
    bx::program::SetNamedEvent(bx::program::kQueryNowEventName);
    shellCommand_ = NothingToDo;
}

void CPLNCmdLineInfo::Reset() {
    std::vector<std::wstring> arguments;
    if (!bx::program::ProgramArguments(arguments)) return;  // command unchanged
    const wchar_t* keyPath = registryKeyPath_.empty() ? bx::maintenance::kResetKeyPath : registryKeyPath_.c_str();
    if (bx::maintenance::RunReset(arguments, keyPath, [] { bx::program::SetNamedEvent(bx::program::kResetEventName); }))
        shellCommand_ = NothingToDo;
}
