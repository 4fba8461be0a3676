#include "agent/program/pln_cmd_line_info.h"

#include <windows.h>

#include <vector>

#include "agent/program/maintenance_options.h"
#include "agent/program/reset_options.h"

CPLNCmdLineInfo::CPLNCmdLineInfo() : m_sRegistryKeyPath(bx::maintenance::kResetKeyPath) {}

void CPLNCmdLineInfo::ParseParam(const wchar_t* param, bool isSwitch, bool isLast) {
    if (isSwitch && param) {
        if (_wcsicmp(param, L"querynow") == 0) return QueryNow();
        if (_wcsicmp(param, L"reset") == 0) return Reset();
        if (_wcsicmp(param, L"insagent") == 0) return bxagent::InstallPlainServiceEntry();
        if (_wcsicmp(param, L"uninsagent") == 0) return bxagent::RemovePlainServiceEntry();
        if (_wcsicmp(param, L"restart") == 0) return bxagent::RestartAgentService(bxagent::ShowResultBox);
    }
    CNTServiceCommandLineInfo::ParseParam(param, isSwitch, isLast);
}

void CPLNCmdLineInfo::QueryNow() {
    bxagent::SetNamedEvent(bxagent::kQueryNowEventName);
    shellCommand_ = NothingToDo;
}

void CPLNCmdLineInfo::Reset() {
    std::vector<std::wstring> arguments;
    if (!bxagent::ProgramArguments(arguments)) return;  // command unchanged
    const wchar_t* keyPath = m_sRegistryKeyPath.empty() ? bx::maintenance::kResetKeyPath : m_sRegistryKeyPath.c_str();
    if (bx::maintenance::RunReset(arguments, keyPath, [] { bxagent::SetNamedEvent(bxagent::kResetEventName); }))
        shellCommand_ = NothingToDo;
}
