#include "tool/tsr_report.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/win/handles.h"
#include "platform/win/system_paths.h"
#include "tool/file_version_info.h"
#include "tool/property_sheet.h"
#include "tool/service_details.h"
#include "tool/tool_resources.h"
#include "tool/tool_text.h"

using bx::tool::SystemMessage;
using bx::tool::ToAnsi;
using bx::win::UniqueFile;
using bx::win::UniqueHandle;

namespace {

std::wstring FromAnsi(const char* bytes, int count) {
    if (count <= 0) return std::wstring();
    int size = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, count, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, count, out.data(), size);
    return out;
}

// The report opened for appending, created when absent; other processes may
// read and write it meanwhile.
UniqueFile OpenForAppend(const std::wstring& path) {
    return UniqueFile(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    while (size > 0) {
        DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

const wchar_t* EditionText(DWORD productType) {
    switch (productType) {
        case 1:
            return L"Ultimate Edition ";
        case 2:
            return L"Home Basic Edition ";
        case 3:
            return L"Home Premium Edition ";
        case 4:
        case 10:
            return L"Enterprise Edition ";
        case 6:
            return L"Business Edition ";
        case 7:
            return L"Standard Edition ";
        case 8:
            return L"Datacenter Edition ";
        case 9:
            return L"Small Business Server ";
        case 11:
            return L"Starter Edition ";
        case 12:
            return L"Datacenter Edition (core installation) ";
        case 13:
            return L"Standard Edition (core installation) ";
        case 14:
            return L"Enterprise Edition (core installation) ";
        case 15:
            return L"Enterprise Edition for Itanium-based Systems ";
        case 17:
            return L"Web Server Edition ";
        case 18:
            return L"Cluster Server Edition ";
        case 25:
            return L"Small Business Server Premium Edition ";
        case 48:
            return L"Professional  ";
        default:
            return L"";
    }
}

std::wstring Label(const wchar_t* label) {
    std::wstring text = label;
    if (text.size() < 32) text.append(32 - text.size(), L' ');
    return text;
}

std::wstring Mb(unsigned long long bytes) { return std::to_wstring(bytes >> 20) + L" MB\n"; }

}  // namespace

// --- the OS name -----------------------------------------------------------

OsFacts QueryOsFacts() {
    OsFacts facts;
    facts.versionOk = bx::win::ReadOsVersion(facts);
    SYSTEM_INFO system{};
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    using GetNativeSystemInfoFn = void(WINAPI*)(SYSTEM_INFO*);
    auto native = kernel ? reinterpret_cast<GetNativeSystemInfoFn>(
                               reinterpret_cast<void*>(::GetProcAddress(kernel, "GetNativeSystemInfo")))
                         : nullptr;
    if (native)
        native(&system);
    else
        ::GetSystemInfo(&system);
    facts.nativeArchitecture = system.wProcessorArchitecture;
    facts.server2003R2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    using GetProductInfoFn = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*);
    auto productInfo =
        kernel ? reinterpret_cast<GetProductInfoFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "GetProductInfo")))
               : nullptr;
    if (productInfo && facts.versionOk) {
        facts.haveProductInfo = true;
        DWORD type = 0;
        productInfo(facts.major, facts.minor, 0, 0, &type);
        facts.productInfoType = type;
    }
    return facts;
}

std::wstring FormatOSDisplayName(const OsFacts& f) {
    if (!f.versionOk || f.platformId != VER_PLATFORM_WIN32_NT || f.major <= 4) return std::wstring();
    const bool workstation = f.productType == VER_NT_WORKSTATION;
    std::wstring name = L"Microsoft ";
    if (f.major == 6) {
        if (f.minor == 0)
            name += workstation ? L"Windows Vista " : L"Windows Server 2008 ";
        else if (f.minor == 1)
            name += workstation ? L"Windows 7 " : L"Windows Server 2008 R2 ";
        if (f.haveProductInfo) name += EditionText(f.productInfoType);
    } else if (f.major == 5) {
        if (f.minor == 2) {
            if (f.server2003R2)
                name += L"Windows Server 2003 R2 ";
            else if (f.suiteMask & 0x2000)
                name += L"Windows Storage Server 2003 ";
            else if (f.suiteMask & 0x8000)
                name += L"Windows Home Server ";
            else if (workstation && f.nativeArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
                name += L"Windows XP Professional x64 Edition ";
            else
                name += L"Windows Server 2003 ";
        } else if (f.minor == 1) {
            name += L"Windows XP ";
            name += (f.suiteMask & 0x200) ? L"Home Edition  " : L"Professional  ";
        } else if (f.minor == 0) {
            name += L"Windows 2000 ";
            if (workstation)
                name += L"Professional ";
            else if (f.suiteMask & 0x80)
                name += L"Datacenter Server  ";
            else if (f.suiteMask & 0x2)
                name += L"Advanced Server ";
            else
                name += L"Server ";
        }
    }
    if (!f.servicePack.empty()) name += L" " + f.servicePack;
    name += L" (build " + std::to_wstring(static_cast<int>(f.build)) + L") ";
    if (f.major > 5) {
        if (f.nativeArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
            name += L"64-bit";
        else if (f.nativeArchitecture == PROCESSOR_ARCHITECTURE_INTEL)
            name += L"32-bit";
    }
    return name;
}

// --- the system summary ----------------------------------------------------

SystemFacts QuerySystemFacts() {
    using bx::tool::ReadRegistryDword;
    using bx::tool::ReadRegistryString;
    SystemFacts s;
    s.os = QueryOsFacts();
    s.ntFamily = s.os.versionOk && s.os.platformId == VER_PLATFORM_WIN32_NT;

    wchar_t netbios[16] = {};
    DWORD netbiosSize = 16;
    if (::GetComputerNameW(netbios, &netbiosSize)) s.netbiosName = netbios;

    const wchar_t* oem = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\WindowsUpdate\\OemInfo\\";
    ReadRegistryString(HKEY_LOCAL_MACHINE, oem, L"WbemOem", s.oemManufacturer);
    ReadRegistryString(HKEY_LOCAL_MACHINE, oem, L"WbemProduct", s.oemModel);
    const wchar_t* cpu = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\";
    ReadRegistryString(HKEY_LOCAL_MACHINE, cpu, L"Identifier", s.processorIdentifier);
    ReadRegistryString(HKEY_LOCAL_MACHINE, cpu, L"VendorIdentifier", s.processorVendor);
    DWORD mhz = 0;
    if (ReadRegistryDword(HKEY_LOCAL_MACHINE, cpu, L"~MHz", mhz) == 0) s.processorMhz = mhz;
    if (s.ntFamily)
        ReadRegistryString(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\", L"SystemBiosDate", s.biosDate);

    wchar_t windows[261] = {};
    if (::GetWindowsDirectoryW(windows, 261) < 261) s.windowsDirectory = windows;

    wchar_t country[128] = {};
    if (::GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SENGCOUNTRY, country, 128) > 0) {
        s.haveLocale = true;
        s.localeCountry = country;
    }
    TIME_ZONE_INFORMATION zone{};
    switch (::GetTimeZoneInformation(&zone)) {
        case TIME_ZONE_ID_STANDARD:
            s.haveTimeZone = true;
            s.timeZoneName = zone.StandardName;
            break;
        case TIME_ZONE_ID_DAYLIGHT:
            s.haveTimeZone = true;
            s.timeZoneName = zone.DaylightName;
            break;
        default:
            break;  // unknown or failed: the line is left out
    }

    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (::GlobalMemoryStatusEx(&memory)) {
        s.totalPhysical = memory.ullTotalPhys;
        s.availablePhysical = memory.ullAvailPhys;
        s.totalVirtual = memory.ullTotalVirtual;
        s.availableVirtual = memory.ullAvailVirtual;
        s.pageFile = memory.ullTotalPageFile;
    }
    return s;
}

std::wstring FormatSystemSummary(const SystemFacts& s) {
    std::wstring t = L"\nSystem Summary\n";
    t += L"\tOS Name . . . . . . . . . . . . . : " + FormatOSDisplayName(s.os) + L"\n";
    t += L"\tSystem Name . . . . . . . . . . . : " + std::to_wstring(s.os.major) + L"." + std::to_wstring(s.os.minor) +
         L"." + std::to_wstring(s.os.build) + L" " + s.os.servicePack + L" Build " + std::to_wstring(s.os.build) +
         L"\n";
    t += L"\tOS Manufacturer . . . . . . . . . : Microsoft Corporation\n";
    t += L"\tSystem Name . . . . . . . . . . . : " + s.netbiosName + L"\n";
    t += L"\tSystem Manufacturer . . . . . . . : " + s.oemManufacturer + L"\n";
    t += L"\tSystem Model  . . . . . . . . . . : " + s.oemModel + L"\n";
    t += L"\tSystem Type . . . . . . . . . . . : X86-based PC\n";
    t += L"\tProcessor . . . . . . . . . . . . : " + s.processorIdentifier + L" " + s.processorVendor;
    if (s.processorMhz != 0) t += L" ~" + std::to_wstring(s.processorMhz) + L" Mhz";
    t += L"\n";
    if (s.ntFamily) t += L"\tBIOS Version  . . . . . . . . . . : " + s.biosDate + L"\n";
    t += L"\tWindows Directory . . . . . . . . : " + s.windowsDirectory + L"\n";
    if (s.haveLocale) t += L"\tLocale  . . . . . . . . . . . . . : " + s.localeCountry + L"\n";
    if (s.haveTimeZone) t += L"\tTime Zone . . . . . . . . . . . . : " + s.timeZoneName + L"\n";
    t += L"\tTotal Physical Memory . . . . . . : " + Mb(s.totalPhysical);
    t += L"\tAvailable Physical Memory . . . . : " + Mb(s.availablePhysical);
    t += L"\tTotal Virtual Memory  . . . . . . : " + Mb(s.totalVirtual);
    t += L"\tAvailable Virtual Memory  . . . . : " + Mb(s.availableVirtual);
    t += L"\tPage File Space . . . . . . . . . : " + Mb(s.pageFile);
    return t;
}

// --- the report ------------------------------------------------------------

std::wstring CTSRReport::ProgramDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return L".\\";
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            size_t slash = path.find_last_of(L'\\');
            return slash == std::wstring::npos ? std::wstring(L".\\") : path.substr(0, slash + 1);
        }
        if (buffer.size() >= 32768) return L".\\";
        buffer.resize(buffer.size() * 2);
    }
}

int CTSRReport::AddText(const std::wstring& path, const std::wstring& text) {
    std::wstring noCr;
    noCr.reserve(text.size());
    for (wchar_t c : text)
        if (c != L'\r') noCr += c;
    std::string ansi = ToAnsi(noCr);
    // Text mode: every LF is written as CR LF.
    std::string bytes;
    bytes.reserve(ansi.size() + ansi.size() / 16);
    for (char c : ansi) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    UniqueFile file = OpenForAppend(path);
    if (!file) return 0;
    return WriteAll(file.get(), bytes.data(), bytes.size()) ? 1 : 0;
}

bool CTSRReport::AddFile(const std::wstring& path, const std::wstring& source) {
    UniqueFile in(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD openError = in ? 0 : ::GetLastError();
    // A log that is not there is left out; one that is there but cannot be
    // opened (another process holds it without sharing, access denied) gets
    // its header and a line saying why, so that the report does not read as
    // if the agent had written no log.
    if (!in && (openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND)) return false;
    UniqueFile report = OpenForAppend(path);
    if (!report) return false;
    report.reset();  // AddText opens the report itself
    AddText(path, L"\n" + source + L"\n");
    if (!in) {
        AddText(path, L"Failed to read " + source + L": " + SystemMessage(openError) + L"\n");
        return false;
    }

    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(in.get(), &size)) {
        DWORD error = ::GetLastError();
        AddText(path, L"Failed to read " + source + L": " + SystemMessage(error) + L"\n");
        return true;
    }
    std::vector<char> buffer;
    try {
        if (static_cast<unsigned long long>(size.QuadPart) > 0x7fffffffULL) throw std::bad_alloc();
        buffer.resize(static_cast<size_t>(size.QuadPart));
    } catch (const std::bad_alloc&) {
        AddText(path, L"Failed to allocate buffer of size " + std::to_wstring(size.QuadPart) + L" bytes\n");
        return true;
    }
    // The copy holds the file as it was when its size was taken; a file that
    // shrank or could not be read leaves a line saying so, never a part copy.
    size_t got = 0;
    DWORD error = 0;
    while (got < buffer.size()) {
        DWORD read = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(buffer.size() - got, 0x10000000));
        if (!::ReadFile(in.get(), buffer.data() + got, want, &read, nullptr)) {
            error = ::GetLastError();
            break;
        }
        if (read == 0) {
            error = ERROR_HANDLE_EOF;
            break;
        }
        got += read;
    }
    if (got < buffer.size()) {
        AddText(path, L"Failed to read " + source + L" (" + std::to_wstring(got) + L" of " +
                          std::to_wstring(buffer.size()) + L" bytes): " + SystemMessage(error) + L"\n");
        return true;
    }
    UniqueFile out = OpenForAppend(path);
    if (out) WriteAll(out.get(), buffer.data(), buffer.size());
    return true;
}

std::wstring CTSRReport::GetAppInfo() {
    std::wstring text = Label(L"Application Name:") + L"Brontavex Halvern Trouble Shooting Report\n";
    text += Label(L"Application Version:");
    CFileVersionInfo version;
    if (version.Load()) text += version.GetProductVersion() + version.GetString(L"PrivateBuild");
    text += L"\n";
    text += GetServiceInfo(bx::ui::LoadResString(IDS_SERVICE_NAME)) + L"\n";
    return text;
}

std::wstring CTSRReport::GetServiceInfo(const std::wstring& serviceName) {
    ServiceDetails details = GetServiceDetails(serviceName);
    return Label(L"Service Name:") + details.displayName + L" (" + serviceName + L")\n" + Label(L"Service Version:") +
           details.version + L"\n" + Label(L"Service Status:") + details.status;
}

std::wstring CTSRReport::GetSystemSummary() {
    try {
        return FormatSystemSummary(QuerySystemFacts());
    } catch (...) {
        return std::wstring();
    }
}

std::wstring CTSRReport::GetOSDisplayName() { return FormatOSDisplayName(QueryOsFacts()); }

std::wstring CTSRReport::RunCommand(const std::wstring& program, const std::wstring& arguments,
                                    unsigned long timeoutMs) {
    std::wstring output;
    // The program from System32 by its full path, quoted: never one that the
    // current folder or the tool's own folder holds.
    std::wstring name = program;
    while (!name.empty() && name.back() == L' ') name.pop_back();
    const std::wstring path = bx::win::SystemFilePath(name + L".exe");
    if (path.empty()) return output;

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return output;
    UniqueHandle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    // The child inherits the pipe's write end and nothing else of the tool's.
    SIZE_T attributesSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributesSize);
    std::vector<BYTE> attributesBuffer(attributesSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributesBuffer.data());
    if (attributesSize == 0 || !::InitializeProcThreadAttributeList(attributes, 1, 0, &attributesSize)) return output;
    bx::win::ScopeExit deleteAttributes([&] { ::DeleteProcThreadAttributeList(attributes); });
    HANDLE inherited[] = {writer.get()};
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                     nullptr, nullptr))
        return output;

    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    if (commandLine.size() > 1023) commandLine.resize(1023);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = writer.get();
    startup.StartupInfo.hStdError = writer.get();
    startup.lpAttributeList = attributes;
    // The command and whatever it starts belong to a job that ends with it:
    // nothing it started outlives the report.
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE,
                          CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED,
                          nullptr, nullptr, &startup.StartupInfo, &process))
        return output;
    UniqueHandle thread(process.hThread), child(process.hProcess);
    if (job && !::AssignProcessToJobObject(job.get(), child.get())) job.reset();
    ::ResumeThread(thread.get());
    writer.reset();  // the pipe breaks when the child's copy closes

    // Read while the pipe holds data; stop when it is broken (the command and
    // whatever it started have closed it), when the command has ended and
    // nothing is left, or at the deadline, which ends the command.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    char chunk[1000];
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available > 0) {
            DWORD read = 0;
            if (!::ReadFile(reader.get(), chunk, sizeof chunk, &read, nullptr) || read == 0) break;
            std::wstring wide = FromAnsi(chunk, static_cast<int>(read));
            output.append(wide, 0, std::min<size_t>(wide.size(), read));
            continue;
        }
        if (::WaitForSingleObject(child.get(), 0) == WAIT_OBJECT_0) {
            // Ended: what it wrote last may still be on its way.
            if (!::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
            continue;
        }
        if (::GetTickCount64() >= deadline) {
            if (!job || !::TerminateJobObject(job.get(), ERROR_TIMEOUT)) ::TerminateProcess(child.get(), ERROR_TIMEOUT);
            output += L"\n" + name + L" did not end within " + std::to_wstring((timeoutMs + 999) / 1000) +
                      L" seconds and was stopped\n";
            break;
        }
        ::WaitForSingleObject(child.get(), kCommandPollMs);
    }
    return output;
}

int CTSRReport::Create(const std::wstring& path) {
    try {
        ::DeleteFileW(path.c_str());
        int result = AddText(path, GetAppInfo());
        result += AddText(path, sources_.systemSummary ? sources_.systemSummary() : GetSystemSummary());
        auto run = [this](const std::wstring& program, const std::wstring& arguments) {
            return sources_.runCommand ? sources_.runCommand(program, arguments) : RunCommand(program, arguments);
        };
        result += AddText(path, L"\n" + run(L"ipconfig", L" /all"));
        result += AddText(path, L"\n" + run(L"netstat ", L" -r -n"));
        result += AddText(path, L"\nLog Files\n");
        std::wstring directory = ProgramDirectory();
        result += AddFile(path, directory + L"old_BXHVNAgent.log") ? 1 : 0;
        result += AddFile(path, directory + L"BXHVNAgent.log") ? 1 : 0;
        return result;
    } catch (...) {
        return 0;
    }
}

std::wstring TSRTemporaryReportPath() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return (length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : std::wstring(L".\\")) + L"BX_HVN_TSR.txt";
}

int CreateTSRReport(const std::wstring& path) {
    CTSRReport report;
    return report.Create(path);
}
