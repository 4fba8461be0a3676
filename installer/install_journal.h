// What the deferred custom actions changed, kept for their rollback until the
// installation commits, and the note that something waits for a restart.
//
// The journal is the volatile key HKLM\SOFTWARE\Brontavex\HVNAgent\InstallJournal
// with one subkey per action. Only SYSTEM and Administrators can open it: it
// holds the settings a rollback puts back, the appliance key among them. Being
// volatile, it is gone at the next restart should neither rollback nor commit
// run. An action writes its section as it goes, each step after it succeeded;
// its rollback reads the section, undoes what is listed and deletes it; the
// commit action deletes the whole journal.
#pragma once
#include <windows.h>

#include <string>

#include "installer/custom_actions.h"
#include "platform/win/handles.h"

namespace bx::installer {

constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Brontavex\\HVNAgent";
constexpr wchar_t kJournalKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\InstallJournal";
// Volatile, readable by everyone: present from the first step that must wait
// for a restart until the system restarts.
constexpr wchar_t kRestartPendingKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\RestartPending";

// One action's section of the journal.
class JournalSection {
public:
    // Opens the section afresh for writing (what an earlier run left in it is
    // deleted). 0 or the error.
    DWORD Begin(const wchar_t* section);
    // Opens the section for reading; ERROR_FILE_NOT_FOUND when there is none.
    DWORD Open(const wchar_t* section);
    explicit operator bool() const { return static_cast<bool>(key_); }
    HKEY Key() const { return key_.get(); }

    // The steps done, a set of flags under the value "Done".
    DWORD Done() const;
    bool Has(DWORD step) const { return (Done() & step) != 0; }
    DWORD Record(DWORD step);  // adds the step; 0 or the error
    DWORD SetDword(const wchar_t* name, DWORD value);
    DWORD GetDword(const wchar_t* name, DWORD fallback) const;
    DWORD SetString(const wchar_t* name, const std::wstring& value);
    std::wstring GetString(const wchar_t* name) const;

    // Deletes the section (after its rollback).
    void Delete();

private:
    bx::win::UniqueRegKey key_;
    std::wstring name_;
};

// Deletes the whole journal (commit).
void DeleteJournal();

// Notes that a step waits for the next restart (the installation then ends
// with 3010), and says why in the installation log.
void MarkRestartPending(Session& session, const wchar_t* what);
bool IsRestartPending();

// Moves a file aside to a fresh name in its own folder (a loaded driver can
// be renamed although it cannot be deleted or overwritten); `aside` receives
// the new path. 0 or the error.
DWORD MoveAside(const std::wstring& path, std::wstring& aside);
// Deletes a file; one still in use is deleted at the next restart instead
// (noted with MarkRestartPending). A file that is gone is no error. 0 or the
// error of the scheduling.
DWORD DeleteNowOrAtRestart(Session& session, const std::wstring& path);

}  // namespace bx::installer
