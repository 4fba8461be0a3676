// The maintenance options of bxhvns.exe under Wine's real SCM, registry and
// named events: the program runs with the option, and what it left behind is
// read back (events set, values written, service entries created, started,
// stopped and deleted), with its whole exit code (read inside Wine): 0 after
// querynow and reset (command 9), 1063 when the command stayed 0 and the
// program, started from a console, then failed to reach the SCM.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/program/maintenance_options.h"
#include "agent/program/reset_options.h"
#include "agent/settings/settings_reader.h"
#include "platform/win/handles.h"
#include "tests/support/settings_fixture.h"
#include "tests/support/win/service_manager.h"

namespace {

using bx::win::UniqueHandle;
using bx::win::UniqueScHandle;

constexpr DWORD kNothingFurther = 0;
constexpr DWORD kNotStartedBySCM = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;  // 1063

bx::test::ProcessResult Agent(const std::wstring& arguments, const std::wstring& program = std::wstring()) {
    std::wstring path = program.empty() ? bx::test::ExeDirectory() + L"bxhvns.exe" : program;
    return bx::test::RunProcess(bx::test::Quote(path) + L" " + arguments, 60000);
}

UniqueHandle MakeEvent(const wchar_t* name) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, name));
    EXPECT_TRUE(event) << GetLastError();
    return event;
}

bool IsSet(const UniqueHandle& event) { return WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0; }

TEST(QueryNowOption, SetsTheEventWhenItExistsAndDoesNothingFurther) {
    UniqueHandle event = MakeEvent(bx::program::kQueryNowEventName);
    bx::test::ProcessResult result = Agent(L"-querynow");
    EXPECT_EQ(kNothingFurther, result.exitCode) << result.output;
    EXPECT_TRUE(IsSet(event));
    EXPECT_EQ(std::string(), result.output);

    ResetEvent(event.get());
    result = Agent(L"/QueryNow");  // either sign, any case
    EXPECT_EQ(kNothingFurther, result.exitCode);
    EXPECT_TRUE(IsSet(event));

    // A plain word is no option: the command stays 0.
    ResetEvent(event.get());
    result = Agent(L"querynow");
    EXPECT_EQ(kNotStartedBySCM, result.exitCode);
    EXPECT_FALSE(IsSet(event));

    event.reset();
    result = Agent(L"-querynow");  // no event: only the command
    EXPECT_EQ(kNothingFurther, result.exitCode);
}

class ResetOption : public ::testing::Test {
protected:
    void SetUp() override { bx::test::ClearKey(bx::maintenance::kResetKeyPath); }
    void TearDown() override { bx::test::ClearKey(bx::maintenance::kResetKeyPath); }

    static bool KeyExists() {
        bx::win::UniqueRegKey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, bx::maintenance::kResetKeyPath, 0, KEY_QUERY_VALUE, key.put()) ==
               ERROR_SUCCESS;
    }
    // The stored REG_SZ with its terminator, or "<absent>".
    static std::wstring Value(const wchar_t* name) {
        bx::win::UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, bx::maintenance::kResetKeyPath, 0, KEY_QUERY_VALUE, key.put()) !=
            ERROR_SUCCESS)
            return L"<absent>";
        wchar_t text[512] = {};
        DWORD size = sizeof text - sizeof(wchar_t), type = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
            return L"<absent>";
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ((wcslen(text) + 1) * sizeof(wchar_t), size) << "stored with its terminator";
        return text;
    }
};

TEST_F(ResetOption, WritesTheGivenValuesUnderTheProductKeyThenSetsTheEvent) {
    UniqueHandle event = MakeEvent(bx::program::kResetEventName);
    // "-pm_url" followed by an option has no value; "-5" is a value.
    bx::test::ProcessResult result = Agent(L"-reset -plnid -5 -pm_url -lm_url https://lm.test/x?a=1");
    EXPECT_EQ(kNothingFurther, result.exitCode) << result.output;
    EXPECT_TRUE(IsSet(event));
    EXPECT_EQ(L"-5", Value(L"PLNID"));
    EXPECT_EQ(L"<absent>", Value(L"PM_URL"));
    EXPECT_EQ(L"https://lm.test/x?a=1", Value(L"LM_URL"));

    // "/x" counts when "-x" is empty; values are replaced.
    ResetEvent(event.get());
    result = Agent(L"/RESET -plnid /plnid 77 /pm_url https://pm.test");
    EXPECT_EQ(kNothingFurther, result.exitCode);
    EXPECT_TRUE(IsSet(event));
    EXPECT_EQ(L"77", Value(L"PLNID"));
    EXPECT_EQ(L"https://pm.test", Value(L"PM_URL"));
    EXPECT_EQ(L"https://lm.test/x?a=1", Value(L"LM_URL"));
}

TEST_F(ResetOption, PlnIdWithBothValuesEmptyWritesNothingAndSetsNothing) {
    UniqueHandle event = MakeEvent(bx::program::kResetEventName);
    bx::test::ProcessResult result = Agent(L"-reset -pm_url https://pm.test -plnid /plnid");
    EXPECT_EQ(kNotStartedBySCM, result.exitCode) << "the command stays 0";
    EXPECT_FALSE(IsSet(event));
    EXPECT_FALSE(KeyExists());

    result = Agent(L"-reset -plnid");
    EXPECT_EQ(kNotStartedBySCM, result.exitCode);
    EXPECT_FALSE(IsSet(event));
    EXPECT_FALSE(KeyExists());
}

TEST_F(ResetOption, WithoutTheEventOnlyTheValuesAreWritten) {
    bx::test::ProcessResult result = Agent(L"-reset -lm_url lm");
    EXPECT_EQ(kNothingFurther, result.exitCode);
    EXPECT_EQ(L"lm", Value(L"LM_URL"));
}

// The plain service entry "hvns", for bxhvns.exe copied into a folder whose
// name has a space. Its start-up is the agent's, with the feedback post off.
class PlainServiceEntry : public ::testing::Test {
protected:
    void SetUp() override {
        Remove();
        dir_ = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"plain entry");
        for (const wchar_t* file : {L"bxhvns.exe", L"BXLogger.dll"})
            ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + file).c_str(), (dir_ + file).c_str(), FALSE)) << file;
        program_ = dir_ + L"bxhvns.exe";
        bx::test::SetString(bx::kSettingsKeyPath, L"FeedbackURL", L"");
    }
    void TearDown() override {
        Remove();
        bx::settings::Key key;
        if (bx::settings::OpenKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key) == 0)
            key.DeleteValue(L"FeedbackURL");
    }

    static SERVICE_STATUS_PROCESS Query() {
        SERVICE_STATUS_PROCESS status{};
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), bx::program::kPlainServiceName, SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service)
            QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed);
        return status;
    }
    static bool Exists() {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), bx::program::kPlainServiceName, SERVICE_QUERY_STATUS));
        return static_cast<bool>(service) || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    }
    static bool Gone() {
        return bx::test::WaitUntil([] { return !Exists(); }, 20000);
    }
    static void Remove() {
        {
            UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            UniqueScHandle service(
                OpenServiceW(scm.get(), bx::program::kPlainServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
            if (!service) return;
            SERVICE_STATUS status{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_STOPPED; }, 20000);
            DeleteService(service.get());
        }
        EXPECT_TRUE(Gone()) << "hvns could not be removed";
    }

    std::wstring dir_, program_;
};

TEST_F(PlainServiceEntry, InstalledWithItsSettingsStartedThenStoppedAndRemoved) {
    bx::test::ProcessResult result = Agent(L"-insagent", program_);
    EXPECT_EQ(kNotStartedBySCM, result.exitCode) << result.output;

    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), bx::program::kPlainServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service) << GetLastError();
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(L"Brontavex Halvern"), config->lpDisplayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    // The path has a space, so it is quoted (an unquoted one would let the
    // SCM run "...\plain.exe" first).
    EXPECT_EQ(bx::test::Quote(program_), config->lpBinaryPathName);
    EXPECT_EQ(std::wstring(L"LocalSystem"), config->lpServiceStartName);
    service.reset();

    // Started: the agent's own start-up runs, with the post turned off.
    ASSERT_TRUE(bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_RUNNING; }, 30000));
    EXPECT_TRUE(bx::test::WaitUntil(
        [&] {
            return bx::test::ReadFileBytes(dir_ + L"BXHVNAgent.log").find("Feedback post turned off") !=
                   std::string::npos;
        },
        10000));
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, Query().dwProcessId));

    result = Agent(L"/UNINSAGENT", program_);
    EXPECT_EQ(kNotStartedBySCM, result.exitCode) << result.output;
    EXPECT_TRUE(Gone());
    if (process) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 30000));
    }
}

TEST_F(PlainServiceEntry, StoppedEntryIsLeftInPlace) {
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle service(CreateServiceW(scm.get(), bx::program::kPlainServiceName, L"BX plain entry test",
                                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, bx::test::Quote(program_).c_str(), nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }
    bx::test::ProcessResult result = Agent(L"-uninsagent", program_);
    EXPECT_EQ(kNotStartedBySCM, result.exitCode);
    Sleep(500);
    EXPECT_TRUE(Exists()) << "a stopped entry refuses the stop control and stays";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().dwCurrentState);
}

TEST_F(PlainServiceEntry, ExistingEntryIsNeitherReplacedNorStarted) {
    {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueScHandle service(CreateServiceW(scm.get(), bx::program::kPlainServiceName, L"BX plain entry test",
                                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                              SERVICE_ERROR_NORMAL, bx::test::Quote(program_).c_str(), nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }
    bx::test::ProcessResult result = Agent(L"-insagent", program_);
    EXPECT_EQ(kNotStartedBySCM, result.exitCode);
    Sleep(500);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Query().dwCurrentState);
}

}  // namespace
