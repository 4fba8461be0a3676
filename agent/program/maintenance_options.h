// The agent program's maintenance options, run by CPLNCmdLineInfo while the
// command line is parsed, before any service work:
//   querynow    set "Global\BXPLN_QUERYNOW_EVENT" when it exists
//   reset       write PLNID, PM_URL, LM_URL (reset_options.h), set
//               "Global\BXPLN_RESET_EVENT" when it exists
//   insagent    install and start the plain service entry "hvns"
//   uninsagent  stop and delete "hvns"
//   restart     stop and start the installed agent service "BXHVNS", with
//               the result in a message box
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace bx::program {

constexpr wchar_t kQueryNowEventName[] = L"Global\\BXPLN_QUERYNOW_EVENT";
constexpr wchar_t kResetEventName[] = L"Global\\BXPLN_RESET_EVENT";
constexpr wchar_t kPlainServiceName[] = L"hvns";
constexpr wchar_t kPlainServiceDisplayName[] = L"Brontavex Halvern";
// The agent service as the installation package names it.
constexpr wchar_t kAgentServiceName[] = L"BXHVNS";
// Polls of the plain entry's state while it stops (-uninsagent): every
// 100 ms, 10 times.
constexpr DWORD kStopPollMs = 100;
constexpr int kStopPolls = 10;
// -restart's waits for a pending state: a tenth of the wait hint between
// polls (within these bounds); the wait ends when the state and check point
// have not moved for a whole wait hint (this long when the service gives
// none), and never lasts longer than the last bound.
constexpr DWORD kMinPendingPollMs = 100;
constexpr DWORD kMaxPendingPollMs = 1000;
constexpr DWORD kNoWaitHintMs = 5000;
constexpr ULONGLONG kMaxPendingWaitMs = 180000;

// Texts of the restart option's message boxes.
constexpr wchar_t kRestartNoScm[] = L"Failed to open Service Control Manager";
constexpr wchar_t kRestartNoService[] = L"Failed to open HVN Service";
constexpr wchar_t kRestartNotRunning[] = L"HVN service is not running.";
constexpr wchar_t kRestartFailed[] = L"HVN service failed to restart!";
constexpr wchar_t kRestartDone[] = L"HVN service successfully restarted.";

// Opens a named event with modify rights and sets it; false when it does not
// exist (or cannot be opened).
bool SetNamedEvent(const wchar_t* name);

// The program's arguments after its name, split as the system splits a
// command line; false when the command line cannot be split.
bool ProgramArguments(std::vector<std::wstring>& arguments);

void InstallPlainServiceEntry();
void RemovePlainServiceEntry();

// Shows one result: text and MB_ICONERROR or MB_ICONINFORMATION.
using ShowResult = std::function<void(const wchar_t* text, UINT icon)>;
// A message box with an OK button, captioned with the program's name.
void ShowResultBox(const wchar_t* text, UINT icon);

// Waits while the service stays in `pending` (for a stop: also while it
// still says "running"), as the service's own wait hint and check points
// allow. False when its state could not be read; `status` holds the last one.
bool WaitWhilePending(SC_HANDLE service, DWORD pending, SERVICE_STATUS_PROCESS& status, ULONGLONG& waitedMs);

// Stops the agent service, waits for the stop as its wait hint says, starts
// it and waits for "running", then shows what happened: done, not running
// (stopped before: not started), or failed with a second line that says
// what failed. A service still starting is let finish first; one that is
// stopping already is waited for and started again.
void RestartAgentService(const ShowResult& show);

}  // namespace bx::program
