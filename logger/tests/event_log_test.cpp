// BXLogger's Windows event-log sink under Wine. The registration is real
// (registry values read back). Wine's RegisterEventSourceW/ReportEventW are
// stubs that store nothing, but with WINEDEBUG=+eventlog ReportEventW prints
// each insertion string on standard error on the channel of the event type
// ("err:" error, "warn:" warning, "trace:" information), and its "fixme"
// line shows the arguments. The reports are therefore made by a child
// program (logger_event_child.exe) started with that debug setting, and read
// from its output.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "BXLogger.h"
#include "platform/win/handles.h"
#include "tests/support/logger_files.h"
#include "tests/support/win/process_runner.h"

using bx::win::UniqueRegKey;

namespace {

const wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Brontavex Pellanor";

std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char block[4096];
        size_t n;
        while ((n = fread(block, 1, sizeof block, f)) > 0) bytes.append(block, n);
        fclose(f);
    }
    return bytes;
}

std::wstring ReadString(HKEY key, const wchar_t* name, DWORD& type) {
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) return L"";
    return data;
}

// Output of the child, standard output and error together, run with
// WINEDEBUG=+eventlog. Wine writes a program's debug channels to its Unix
// standard error, which a program started from Windows inherits from its
// starter rather than taking the handles given to CreateProcess. So the
// child runs under a Unix shell (Wine starts Unix programs too, but gives
// them neither a process handle to wait on nor the standard handles) that
// sends both streams into a file; the child ends its output with "end".
std::string RunChild(const std::wstring& tag) {
    const std::string outputFile = "event_log_child.out";
    DeleteFileA(outputFile.c_str());
    std::wstring saved(32768, L'\0');
    DWORD had = GetEnvironmentVariableW(L"WINEDEBUG", saved.data(), static_cast<DWORD>(saved.size()));
    saved.resize(had);
    SetEnvironmentVariableW(L"WINEDEBUG", L"+eventlog");
    wchar_t loader[MAX_PATH] = L"/usr/lib/wine/wine64";
    GetEnvironmentVariableW(L"WINELOADER", loader, MAX_PATH);
    std::wstring command = L"Z:\\bin\\sh -c \"exec '" + std::wstring(loader) + L"' '" + bx::test::ExeDirectory() +
                           L"logger_event_child.exe' " + tag + L" >" +
                           std::wstring(outputFile.begin(), outputFile.end()) + L" 2>&1\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    SetEnvironmentVariableW(L"WINEDEBUG", had ? saved.c_str() : nullptr);
    if (!started) {
        ADD_FAILURE() << "CreateProcessW Error:" << error;
        return std::string();
    }
    bx::win::UniqueHandle program(process.hProcess), thread(process.hThread);
    std::string output;
    for (int waited = 0; waited < 60000; waited += 100) {
        output.clear();
        for (char c : ReadWholeFile(outputFile))
            if (c != '\r') output += c;  // the child's standard output is in text mode
        if (output.find("\nend\n") != std::string::npos) return output;
        Sleep(100);
    }
    ADD_FAILURE() << "the child did not finish within 60 s:\n" << output;
    return output;
}

// While alive, the event source's key is a symbolic link into a volatile key
// of the test's own, so that creating the source's key fails as the
// registry says (ERROR_CHILD_MUST_BE_VOLATILE: a lasting key cannot live
// below a volatile one). Wine grants an administrator every access whatever
// a key's DACL says, so a denying DACL would not do; the link works alike
// under Windows and Wine. Link and volatile key are volatile themselves:
// a crashed test leaves nothing behind once the registry is reloaded.
class SourceKeyUnwritable {
public:
    SourceKeyUnwritable() {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
        UniqueRegKey key;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kVolatileKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, key.put(), nullptr);
        EXPECT_EQ(ERROR_SUCCESS, rc);
        rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
        EXPECT_EQ(ERROR_SUCCESS, rc);
        const std::wstring target = L"\\Registry\\Machine\\" + std::wstring(kVolatileKey) + L"\\Source";
        rc = RegSetValueExW(key.get(), L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                            static_cast<DWORD>(target.size() * sizeof(wchar_t)));
        EXPECT_EQ(ERROR_SUCCESS, rc);
    }
    ~SourceKeyUnwritable() {
        // A link is removed through a handle to the link itself.
        using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE);
        auto ntDeleteKey =
            reinterpret_cast<NtDeleteKeyFunction>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey"));
        UniqueRegKey link;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, REG_OPTION_OPEN_LINK, DELETE, link.put()) == ERROR_SUCCESS &&
            ntDeleteKey)
            EXPECT_EQ(0, ntDeleteKey(link.get()));
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, kVolatileKey));
    }
    SourceKeyUnwritable(const SourceKeyUnwritable&) = delete;
    SourceKeyUnwritable& operator=(const SourceKeyUnwritable&) = delete;

private:
    static constexpr const wchar_t* kVolatileKey = L"SOFTWARE\\BxLoggerTestVolatile";
};

}  // namespace

// The source's key cannot be created: AddEventViewer returns the registry's
// error with text 110 and the system's text as the last error text; each
// message then fails on the event-log sink with text 110 alone, the
// event-source object's text. A later AddEventViewer registers again.
TEST(LoggerEventLog, UnwritableSourceKeyGivesText110) {
    BXLOG_HANDLE log = nullptr;
    ASSERT_EQ(0u, BXLog_Init(&log));
    {
        SourceKeyUnwritable unwritable;
        EXPECT_EQ(static_cast<uint32_t>(ERROR_CHILD_MUST_BE_VOLATILE),
                  BXLog_AddEventViewer(log, nullptr, nullptr, 0, 0));
        EXPECT_EQ(L"RegisterSource failed.\n" + bx::test::LoggerErrorText(ERROR_CHILD_MUST_BE_VOLATILE),
                  std::wstring(BXLog_GetErrorStr(log)));
        EXPECT_EQ(31u, BXLog_Log(log, BXLOG_ERROR, L"no source"));
        EXPECT_EQ(std::wstring(L"RegisterSource failed.\n"), BXLog_GetErrorStr(log));
    }
    EXPECT_EQ(0u, BXLog_AddEventViewer(log, nullptr, nullptr, 0, 0)) << BXLog_GetErrorStr(log);
    EXPECT_EQ(0u, BXLog_Log(log, BXLOG_ERROR, L"registered again"));
    BXLog_Cleanup(log);
}

TEST(LoggerEventLog, RegistersTheSourceWithTheMessageFileBesideTheProgram) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey);
    BXLOG_HANDLE log = nullptr;
    ASSERT_EQ(0u, BXLog_Init(&log));
    EXPECT_EQ(0u, BXLog_AddEventViewer(log, nullptr, nullptr, 0, 0)) << BXLog_GetErrorStr(log);

    UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, key.put()));
    DWORD type = 0;
    EXPECT_EQ(bx::test::ExeDirectory() + L"EvtMessages.dll", ReadString(key.get(), L"EventMessageFile", type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    DWORD types = 0, size = sizeof types;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key.get(), L"TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(31u, types);

    // The message file named there is the one built beside the program.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((bx::test::ExeDirectory() + L"EvtMessages.dll").c_str()));
    EXPECT_EQ(0u, BXLog_Log(log, BXLOG_INFORMATIONAL, L"registered"));
    // Removing the sink leaves the source registered.
    EXPECT_EQ(0u, BXLog_RemoveEventViewer(log, L"x"));
    EXPECT_EQ(31u, BXLog_Log(log, BXLOG_INFORMATIONAL, L"no sink"));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, key.put()));
    BXLog_Cleanup(log);
}

// Each priority is reported once, with its event type, the message alone as
// the one insertion string, and the process user's SID.
TEST(LoggerEventLog, EventTypePerPriorityAndTheInsertionString) {
    const std::string output = RunChild(L"bxevt-7d1");
    EXPECT_NE(std::string::npos, output.find("add=0\n")) << output;
    for (int p = 0; p <= 8; ++p) EXPECT_NE(std::string::npos, output.find("log" + std::to_string(p) + "=0\n"));
    EXPECT_NE(std::string::npos, output.find("remove=0\n"));
    EXPECT_NE(std::string::npos, output.find("after=31\n"));

    const char* channels[] = {"err", "err", "err", "err", "warn", "warn", "trace", "trace", "trace"};
    for (int p = 0; p <= 8; ++p) {
        std::regex line(std::string(":") + channels[p] + ":eventlog:ReportEventW L\"bxevt-7d1 priority " +
                        std::to_string(p) + "\"\r?\n");
        std::smatch m;
        EXPECT_TRUE(std::regex_search(output, m, line)) << "priority " << p << "\n" << output;
    }
    // Nothing else was reported: nine events, none after the sink was removed.
    size_t reports = 0;
    for (size_t at = 0; (at = output.find("eventlog:ReportEventW L\"", at)) != std::string::npos; ++at) ++reports;
    EXPECT_EQ(9u, reports);
    EXPECT_EQ(std::string::npos, output.find("not reported"));

    // ReportEventW(source, type, category 0, event id 0, user SID, 1 string, no data, strings, no data).
    std::regex call(
        R"(ReportEventW \([0-9A-F]+,0x000([124]),0x0000,0x00000000,([0-9A-F]+),0x0001,0x00000000,[0-9A-F]+,0000000000000000\))");
    std::vector<std::string> types;
    for (std::sregex_iterator i(output.begin(), output.end(), call), end; i != end; ++i) {
        types.push_back((*i)[1]);
        EXPECT_NE(std::string(16, '0'), (*i)[2].str()) << "no user SID";
    }
    EXPECT_EQ((std::vector<std::string>{"1", "1", "1", "1", "2", "2", "4", "4", "4"}), types);
}
