// The installer's custom actions: the snoop driver "bxhvnd" registered as a
// kernel driver service right after the transport driver in the start order,
// removed again, each with a rollback that undoes exactly what it did (the
// journal of installer/install_journal.h), the agent service's recovery
// actions and the program folder's permissions. HVNCA.dll exports them to the
// Windows Installer (installer/hvnca.cpp); the functions here take the
// installer session through a small interface so that tests can drive them
// with a session of their own against the real SCM and registry.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bx::installer {

// Results of the custom actions.
constexpr UINT kInstallFailed = 31;                  // ERROR_GEN_FAILURE: the installer stops and rolls back
constexpr UINT kPropertyMissing = 0xFFFFFFFFu;       // SetServiceRecovery without its property
constexpr size_t kReportChars = 2048;                // a reported message, formatted
constexpr size_t kSourceFolderChars = 260;           // Install's CustomActionData
constexpr size_t kServiceNameChars = 1024;           // SetServiceRecovery's CustomActionData
constexpr size_t kCustomActionDataMaxChars = 32767;  // any property (Uninstall's is not used)
constexpr size_t kGroupOrderBytes = 2048;            // a group order value as it is read
constexpr size_t kNetbtConfigBytes = 2048;           // the NetBIOS service's configuration

// Names the custom actions use.
constexpr wchar_t kDriverService[] = L"bxhvnd";
constexpr wchar_t kDriverDisplayName[] = L"Brontavex Halvern";
constexpr wchar_t kDriverFile[] = L"bxhvnd.sys";
constexpr wchar_t kDriverDestination[] = L"%SystemRoot%\\system32\\drivers\\bxhvnd.sys";
constexpr wchar_t kAgentService[] = L"bxhvns";
constexpr wchar_t kGroupOrderKey[] = L"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";
constexpr wchar_t kTcpipService[] = L"tcpip";
constexpr wchar_t kTdxService[] = L"tdx";
constexpr wchar_t kNetbtService[] = L"netbt";
// The entry the NetBIOS service's dependency list receives: the driver
// service this installer creates.
constexpr const wchar_t* kNetbtDependency = kDriverService;
// Services whose presence marks a previous version of the product.
constexpr const wchar_t* kPreviousVersionServices[] = {L"hvns", L"hvnd"};

// The installer session as the custom actions use it.
class Session {
public:
    virtual ~Session() = default;
    // Reads a property into buffer; length is in characters, in: the
    // buffer's size, out: the value's length. ERROR_SUCCESS, ERROR_MORE_DATA
    // when it does not fit, or another error.
    virtual UINT GetProperty(const wchar_t* name, wchar_t* buffer, DWORD* length) = 0;
    // Shows text to the installer as an error message.
    virtual void ReportError(const wchar_t* text) = 0;
    // Writes text to the installation log.
    virtual void ReportInfo(const wchar_t* text) = 0;
};

// The Windows Installer session behind an installer handle: MsiGetPropertyW,
// and a record processed as INSTALLMESSAGE_ERROR | MB_ICONERROR (errors) or
// INSTALLMESSAGE_INFO. Texts carry property values as given: the text is the
// record's field 1 under the template "[1]", never the template (field 0),
// where [..] and {..} are expanded; and as the installer still expands
// property references in a field's value (Windows) or all of it (Wine), its
// brackets and braces are escaped (EscapeFormatted). A handle of 0 reports
// nothing.
class MsiSession : public Session {
public:
    explicit MsiSession(unsigned long handle) : handle_(handle) {}
    UINT GetProperty(const wchar_t* name, wchar_t* buffer, DWORD* length) override;
    void ReportError(const wchar_t* text) override;
    void ReportInfo(const wchar_t* text) override;

private:
    void Process(int type, const wchar_t* text);
    unsigned long handle_;
};

// A text with [ ] { } escaped as [\[] [\]] [\{] [\}], which the installer's
// formatting turns back into the characters themselves.
std::wstring EscapeFormatted(const wchar_t* text);

// Formats a message into kReportChars characters (wide strings as %ls) and
// reports it as an error, or writes it to the log.
void Report(Session& session, const wchar_t* format, ...);
void Inform(Session& session, const wchar_t* format, ...);

// Install: copies the driver file (one that is there already is moved aside)
// and registers, lists and starts the driver service. A driver service whose
// entry is marked for deletion (the earlier version's driver could not be
// stopped) is kept for the next restart, which the installation then asks
// for. Its failure undoes its steps and fails the installation.
UINT Install(Session& session);  // 0, or kInstallFailed
// Removes the driver service, its start-order tag, its NetBIOS dependency and
// moves its file aside (a loaded driver cannot be deleted, but renamed).
UINT Uninstall(Session& session);           // always 0
UINT SetServiceRecovery(Session& session);  // 0, or kPropertyMissing

// Rollbacks: InstallRollback undoes what Install did (a "bxhvnd" service and
// driver file that were there before stay); UninstallRollback puts back what
// Uninstall removed (file, tag, dependency, and the service configured as
// Install makes it) and starts the driver.
// Both do nothing when their action left nothing to undo. Always 0.
UINT InstallRollback(Session& session);
UINT UninstallRollback(Session& session);
// The commit: deletes the driver files moved aside (one still loaded at the
// next restart) and the journal. Always 0.
UINT CommitInstallation(Session& session);

// The program folder, named by CustomActionData, grants SYSTEM and
// Administrators full control and Users read and execute, whatever its parent
// grants. 0, or ERROR_INSTALL_FAILURE.
UINT SecureProgramFolder(Session& session);
constexpr wchar_t kProgramFolderDacl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Before the agent service is created: an entry "bxhvns" that is marked for
// deletion (the earlier version's, removed in this upgrade, whose process or
// another program still holds it) goes once the last handle to it is closed;
// creating the service before that fails, and the service would then vanish
// after the installation. Waits up to kAgentServiceRemovalWaitMs for it to
// go; a live entry or none returns at once. 0, or ERROR_INSTALL_FAILURE
// (reported) when it stays.
UINT AwaitAgentServiceRemoval(Session& session);
constexpr DWORD kAgentServiceRemovalWaitMs = 30000;

// The files the agent service and the tool write into the program folder
// (logs, status record, crash dumps, report), named by CustomActionData:
// deleted at removal so that the folder goes with the product. Always 0.
UINT RemoveAgentFiles(Session& session);
constexpr const wchar_t* kAgentFiles[] = {L"BXHVNAgent.log",      L"old_BXHVNAgent.log", L"HVNAgentUTM.log",
                                          L"old_HVNAgentUTM.log", L"HVNConfig.xml",      L"HVNCrash.dmp",
                                          L"HVNCrash_old.dmp",    L"HVNCrashReport.zip", L"BX_HVN_TSR.txt"};

// Building blocks, for the tests as much as for the actions.

// Load-order group and tag of a service, or the Windows error.
struct ServiceInfo {
    std::wstring group;
    DWORD tag = 0;
};
DWORD GetServiceInfo(Session& session, const wchar_t* service, ServiceInfo& info);

// A group order value: a 32-bit count and that many 32-bit tags. Parsed from
// stored bytes (a count larger than the bytes hold is cut to what is there).
std::vector<DWORD> ParseGroupOrder(const BYTE* bytes, size_t size);
std::vector<BYTE> StoreGroupOrder(const std::vector<DWORD>& tags);

enum class Change { Add, Remove };
// Adds `tag` right after `referenceTag` (not when the tag is listed already)
// or removes its first occurrence. Returns 0 when the list was written or
// nothing was to change (a missing key or value included), or the error,
// reported; a list with no room for one more tag in kGroupOrderBytes is left
// unchanged (ERROR_INSUFFICIENT_BUFFER). `changed` tells whether it wrote.
DWORD UpdateGroupOrder(Session& session, const std::wstring& group, DWORD referenceTag, DWORD tag, Change change,
                       bool* changed = nullptr);

// Adds kNetbtDependency to the NetBIOS service's dependency list (not when
// it is there already) or removes every entry of that name (any case).
// A missing NetBIOS service is no error. `changed` tells whether the entry
// was added or found and removed.
DWORD UpdateNetbtDependency(Session& session, Change change, bool* changed = nullptr);

// True on Windows Vista and later (the "tdx" transport service exists).
bool IsVistaOrLater();

}  // namespace bx::installer
