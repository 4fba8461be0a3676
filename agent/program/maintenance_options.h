// The agent program's maintenance options, run by CPLNCmdLineInfo while the
// command line is parsed, before any service work:
//   querynow    set "Global\BXPLN_QUERYNOW_EVENT" when it exists
//   reset       write PLNID, PM_URL, LM_URL (reset_options.h), set
//               "Global\BXPLN_RESET_EVENT" when it exists
//   insagent    install and start the plain service entry "hvns"
//   uninsagent  stop and delete "hvns"
//   restart     stop and start the installed agent service "BXHVNS", with
//               each result in a message box
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
// Polls of the service state while it stops: every 100 ms, 10 times.
constexpr DWORD kStopPollMs = 100;
constexpr int kStopPolls = 10;

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
void RestartAgentService(const ShowResult& show);

}  // namespace bx::program
