// The agent program's command-line parser. The service verbs and value
// switches (install, remove, start, stop, console, help, T:, SN:, ...) are the
// framework's; this parser handles the agent's maintenance options first
// (maintenance_options.h), each as soon as it is read:
//   -querynow, -reset    the command becomes "nothing further" (9), except
//                        for a reset whose "-plnid" has no value
//   -insagent, -uninsagent, -restart
//                        the command stays as it is (0: the program then
//                        tries to run as a service; started from a console it
//                        ends with 1063)
// Option names compare without regard to case; "/" works like "-".
#pragma once
#include <string>

#include "agent/service/nt_service.h"

class CPLNSvc;

class CPLNCmdLineInfo : public CNTServiceCommandLineInfo {
public:
    CPLNCmdLineInfo();

    void ParseParam(const wchar_t* param, bool isSwitch, bool isLast) override;

    // Key under HKEY_LOCAL_MACHINE for the values of the reset option: the
    // product's own key "SOFTWARE\Brontavex\HVNAgent\PLN" (never empty: the
    // values would otherwise land at the root of HKEY_LOCAL_MACHINE).
    std::wstring registryKeyPath_;
    // The service object, set by the program entry; not used by the options.
    CPLNSvc* service_ = nullptr;

private:
    void QueryNow();
    void Reset();
};
