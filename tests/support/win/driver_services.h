// What the installer's custom actions find on a Windows server and Wine lacks:
// the transport services "tcpip" and "tdx" with their load-order group and
// tags, the NetBIOS service "netbt" with its dependency list, and the group
// order value of their group. Tests make them in their own prefix, and read
// back what the custom actions changed.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace bx::test {

// The stand-ins' fixed configuration.
constexpr wchar_t kTransportGroup[] = L"PNP_TDI";
constexpr DWORD kTcpipTag = 4;
constexpr DWORD kTdxTag = 7;

// Creates (or corrects) "tcpip", "tdx" and "netbt" as demand-start kernel
// driver services of group kTransportGroup, with tags kTcpipTag and kTdxTag
// and the dependency list {"Tdx"} of "netbt". Wine's SCM assigns no tags; it
// stores the value a CreateServiceW caller passes in, which is how the tags
// are set here. Returns 0 or the failing call's error, with `why`.
DWORD MakeTransportStandIns(std::string& why);

// Writes the group order value of kTransportGroup (REG_BINARY: count, tags).
DWORD WriteGroupOrder(const std::vector<DWORD>& tags);
// Reads it back; false when it is absent.
bool ReadGroupOrder(std::vector<DWORD>& tags);
// Writes raw bytes as the value (for values the tests build by hand).
DWORD WriteGroupOrderBytes(const std::vector<BYTE>& bytes);

// Configuration of a service as the SCM reports it.
struct ServiceConfig {
    bool exists = false;
    DWORD type = 0, start = 0, tag = 0;
    std::wstring binaryPath, group, displayName;
    std::vector<std::wstring> dependencies;
    DWORD state = 0;  // current state, 0 when it cannot be queried
};
ServiceConfig QueryService(const wchar_t* name);

// Creates a service entry; tag as Wine stores it (see above). 0 or the error.
DWORD CreateServiceEntry(const wchar_t* name, DWORD type, DWORD start, const wchar_t* binaryPath,
                         const wchar_t* group = nullptr, DWORD tag = 0);
// Stops (when running, waiting up to 10 s) and deletes a service, then waits
// up to 10 s until it has left the database. True when it is gone.
bool RemoveService(const wchar_t* name);
// Starts a service and waits up to 10 s until it runs; 0 or the error.
DWORD StartServiceAndWait(const wchar_t* name);

// Stops a service (as the installer's StopServices does) and waits up to
// 10 s until it has stopped; true when it has.
bool StopServiceAndWait(const wchar_t* name);

// "%SystemRoot%\system32\drivers\bxhvnd.sys", expanded.
std::wstring InstalledDriverFile();
// The driver files the installer's actions moved aside ("bxh*.tmp" beside
// the driver) and that are still there.
std::vector<std::wstring> DriverFilesMovedAside();
// Forgets what earlier installations left for a rollback or a restart: the
// installation journal, the note of a pending restart (as a restart would)
// and the driver files moved aside.
void ResetInstallerState();

}  // namespace bx::test
