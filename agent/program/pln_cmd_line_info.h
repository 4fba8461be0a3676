// The agent program's command-line parser. The service verbs and value
// switches (install, remove, start, stop, console, help, T:, SN:, ...) are the
// framework's; this parser adds the agent's own fields. The agent's
// maintenance options are not handled by this program yet: such a switch is
// ignored like any other unknown switch.
#pragma once
#include <string>

#include "agent/service/nt_service.h"

class CPLNSvc;

class CPLNCmdLineInfo : public CNTServiceCommandLineInfo {
public:
    CPLNCmdLineInfo() = default;

    // Key under HKEY_LOCAL_MACHINE for the values a companion agent reads;
    // nothing in this program sets it.
    std::wstring m_sRegistryKeyPath;
    // The service object, set by the program entry.
    CPLNSvc* m_pService = nullptr;
};
