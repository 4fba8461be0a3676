// CTSRReport: the troubleshooting report, one text file built straight into
// its target in a fixed order: the tool and the agent service, a summary of
// the machine, "ipconfig" and "netstat" output, and the agent's two log files.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "platform/win/os_version.h"

// What the OS name is made of (the system's version record, the native
// processor, the product type), so that every row of the name table can be
// checked without the machine that has it.
struct OsFacts : bx::win::OsVersion {
    bool versionOk = false;
    bool server2003R2 = false;     // GetSystemMetrics(SM_SERVERR2)
    WORD nativeArchitecture = 0;   // PROCESSOR_ARCHITECTURE_*
    bool haveProductInfo = false;  // GetProductInfo exists
    DWORD productInfoType = 0;
};

// The facts of this machine through the real calls.
OsFacts QueryOsFacts();
// The name the facts give (empty for non-NT systems, NT 4 and older).
std::wstring FormatOSDisplayName(const OsFacts& facts);

// What the system summary shows, gathered once.
struct SystemFacts {
    OsFacts os;
    std::wstring netbiosName;
    std::wstring oemManufacturer;  // WbemOem
    std::wstring oemModel;         // WbemProduct
    std::wstring processorIdentifier;
    std::wstring processorVendor;
    DWORD processorMhz = 0;  // 0: unknown
    bool ntFamily = true;
    std::wstring biosDate;
    std::wstring windowsDirectory;
    bool haveLocale = false;
    std::wstring localeCountry;
    bool haveTimeZone = false;
    std::wstring timeZoneName;
    unsigned long long totalPhysical = 0, availablePhysical = 0;  // bytes
    unsigned long long totalVirtual = 0, availableVirtual = 0;
    unsigned long long pageFile = 0;
};

SystemFacts QuerySystemFacts();
// "\nSystem Summary\n" and its tab-led lines.
std::wstring FormatSystemSummary(const SystemFacts& facts);

class CTSRReport {
public:
    // Where the parts that depend on the machine come from; tests put fixed
    // texts in their place. Empty members use the real sources.
    struct Sources {
        std::function<std::wstring()> systemSummary;
        std::function<std::wstring(const std::wstring& program, const std::wstring& arguments)> runCommand;
    };

    CTSRReport() = default;
    explicit CTSRReport(Sources sources) : sources_(std::move(sources)) {}

    // Deletes `path` and builds the report there; the sum of the steps'
    // results, 0 when an exception ended the build.
    int Create(const std::wstring& path);
    // Appends `text` (CR removed, LF written as CR LF, thread ANSI code
    // page); 1 when written, else 0.
    static int AddText(const std::wstring& path, const std::wstring& text);
    // Appends the header line and the bytes of `source` (opened sharing read
    // and write: the agent may be writing it). False when either file cannot
    // be opened; nothing is written then.
    static bool AddFile(const std::wstring& path, const std::wstring& source);

    static std::wstring GetAppInfo();
    static std::wstring GetServiceInfo(const std::wstring& serviceName);
    static std::wstring GetSystemSummary();
    static std::wstring GetOSDisplayName();
    // The standard output and error of System32's "<program>.exe" run with
    // `arguments` (started by its full path, inheriting only its pipe),
    // read until it ends, for at most timeoutMs; a command that runs longer
    // is ended with whatever it started, and a line says so. Empty when it
    // cannot be started.
    static constexpr unsigned long kCommandTimeoutMs = 30000;
    static std::wstring RunCommand(const std::wstring& program, const std::wstring& arguments,
                                   unsigned long timeoutMs = kCommandTimeoutMs);
    static constexpr unsigned long kCommandPollMs = 20;

    // The running program's directory with its trailing backslash, or ".\".
    static std::wstring ProgramDirectory();

private:
    Sources sources_;
};

// The user's temporary directory (or ".\") and "BX_HVN_TSR.txt": the report
// of View and Send and of the crash archive.
std::wstring TSRTemporaryReportPath();

// CTSRPage's report routine: CTSRReport::Create into `path`.
int CreateTSRReport(const std::wstring& path);
