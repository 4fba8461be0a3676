// The installation-information post under Wine through the real calls: the
// installer's product query (a product of the test's own, installed with
// msiexec), the registry, UUID creation, WinHTTP. The page is a server of the
// test's own on 127.0.0.1 (an HTTP one in this program; an HTTPS one with a
// self-signed certificate from openssl, tls_server.sh); the compiled-in
// page is never contacted: every case sets FeedbackURL.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BXLogger.h"
#include "agent/program/feedback_form.h"
#include "agent/program/feedback_post.h"
#include "agent/program/installation_id.h"
#include "agent/program/os_description.h"
#include "agent/program/pln_svc.h"
#include "agent/settings/settings_reader.h"
#include "platform/win/handles.h"
#include "tests/support/settings_fixture.h"
#include "tests/support/win/loopback_http_server.h"
#include "tests/support/win/service_manager.h"

namespace {

using bx::win::UniqueHandle;
using bx::win::UniqueScHandle;

const wchar_t kProductCode[] = L"{6B1F2A4C-3D5E-4F60-8A7B-9C0D1E2F3A4B}";  // test_data/feedback_product.wxs
const wchar_t kProductKey[] = L"SOFTWARE\\Brontavex\\Brontavex Halvern";
const wchar_t kServiceName[] = L"BXHVNFeedbackTest";

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:" + bx::test::Widen(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

void SetFeedbackUrl(const std::wstring& url) { bx::test::SetString(bx::kSettingsKeyPath, L"FeedbackURL", url); }

void DeleteValue(const wchar_t* keyPath, const wchar_t* name) {
    bx::settings::Key key;
    if (bx::settings::OpenKey(keyPath, bx::settings::Access::Set, key) == 0) key.DeleteValue(name);
}

std::wstring PageUrl(unsigned short port, const wchar_t* scheme = L"http") {
    return std::wstring(scheme) + L"://127.0.0.1:" + std::to_wstring(port) + L"/feedback/feedback.aspx";
}

std::wstring StoredInstallationId() {
    std::wstring id;
    bx::SettingsReader(bx::feedback::kAgentKeyPath).String(bx::feedback::kInstallationIdValue, id);
    return id;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = towupper(c);
    return text;
}

std::string HostName() {
    wchar_t name[300] = {};
    DWORD size = 300;
    EXPECT_TRUE(GetComputerNameExW(ComputerNameDnsFullyQualified, name, &size));
    return bx::test::Narrow(name);
}

// The form body the page must receive, spelt out.
std::string ExpectedBody(const std::string& id) {
    std::string mailbox = bx::test::Narrow(bx::program::kFeedbackMailbox);
    return "ExtAppName=HVN&Subject=Ostrand Brontavex Halvern Installation Information&Comment="
           "Ostrand Brontavex Halvern\nVersion:3.0.72\nHostname:" +
           HostName() + "\nUID:" + id + "\nOS:" + bx::test::Narrow(bx::program::OperatingSystemDescription()) +
           "\nArchitecture:64-bit&FromEmailID=" + mailbox + "&Username=" + mailbox;
}

void ExpectForm(const bx::test::HttpRequest& request, const std::string& id) {
    EXPECT_EQ("POST /feedback/feedback.aspx HTTP/1.1", request.requestLine);
    EXPECT_EQ("application/x-www-form-urlencoded", request.Header("Content-Type"));
    EXPECT_EQ(std::to_string(request.body.size()), request.Header("Content-Length"));
    EXPECT_EQ(ExpectedBody(id), request.body);
}

class FeedbackPost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The test product, so that MsiGetProductInfoW knows the code.
        bx::test::ProcessResult result = bx::test::RunProcess(
            L"msiexec.exe /i " + bx::test::Quote(WindowsPath(FEEDBACK_TEST_MSI)) + L" /qn", 120000);
        ASSERT_EQ(0u, result.exitCode) << "msiexec /i: " << result.output;
    }
    static void TearDownTestSuite() {
        bx::test::RunProcess(L"msiexec.exe /x " + std::wstring(kProductCode) + L" /qn", 120000);
        bx::test::ClearKey(kProductKey);
    }

    void SetUp() override {
        bx::test::SetString(kProductKey, L"ProductCode", kProductCode);
        DeleteValue(bx::feedback::kAgentKeyPath, bx::feedback::kInstallationIdValue);
        dir_ = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"feedback post");
        logger_.Init();
        logger_.AddFile((dir_ + L"post.log").c_str(), 1048576, 10);
    }
    void TearDown() override {
        logger_.Cleanup();
        DeleteValue(bx::kSettingsKeyPath, L"FeedbackURL");
        DeleteValue(bx::feedback::kAgentKeyPath, bx::feedback::kInstallationIdValue);
    }

    int Post() { return bx::program::PostFeedback(logger_, kProductKey, false); }
    std::string Log() { return bx::test::ReadFileBytes(dir_ + L"post.log"); }
    size_t Count(const std::string& needle) {
        std::string log = Log();
        size_t count = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++count;
        return count;
    }

    CBXLogger logger_;
    std::wstring dir_;
};

TEST_F(FeedbackPost, ProductVersionFromTheInstaller) {
    std::wstring version;
    EXPECT_TRUE(bx::program::ProductVersionText(kProductKey, version));
    EXPECT_EQ(L"3.0.72", version);  // the installer's 50331720

    // A version the package wrote counts only while the installer does not
    // know the product (the start inside an installation).
    bx::test::SetString(kProductKey, L"ProductVersion", L"1.0.1");
    EXPECT_TRUE(bx::program::ProductVersionText(kProductKey, version));
    EXPECT_EQ(L"3.0.72", version);
    bx::test::SetString(kProductKey, L"ProductCode", L"{00000000-1111-2222-3333-444444444444}");
    EXPECT_TRUE(bx::program::ProductVersionText(kProductKey, version));
    EXPECT_EQ(L"1.0.1", version);
    bx::test::SetString(kProductKey, L"ProductVersion", L"1.0");
    EXPECT_FALSE(bx::program::ProductVersionText(kProductKey, version));
    DeleteValue(kProductKey, L"ProductVersion");

    // Unknown to the installer, or no code at all: unavailable.
    EXPECT_FALSE(bx::program::ProductVersionText(kProductKey, version));
    bx::test::SetString(kProductKey, L"ProductCode", L"");
    EXPECT_FALSE(bx::program::ProductVersionText(kProductKey, version));
    DeleteValue(kProductKey, L"ProductCode");
    EXPECT_FALSE(bx::program::ProductVersionText(kProductKey, version));
}

TEST_F(FeedbackPost, FormReachesThePageByteForByte) {
    bx::test::LoopbackHttpServer page;
    ASSERT_NE(0, page.Port());
    SetFeedbackUrl(PageUrl(page.Port()));
    EXPECT_EQ(0, Post());
    ASSERT_TRUE(page.WaitForRequests(1, 10000));
    std::wstring id = StoredInstallationId();
    ASSERT_EQ(36u, id.size()) << "made by this post";
    EXPECT_EQ(Upper(id), bx::program::InstallationId());
    ExpectForm(page.Requests()[0], bx::test::Narrow(Upper(id)));
    EXPECT_EQ(0u, Count("Failed"));
}

TEST_F(FeedbackPost, EmptyFeedbackUrlTurnsThePostOff) {
    bx::test::LoopbackHttpServer page;
    // Even a product that has no version: nothing is asked, nothing is sent.
    DeleteValue(kProductKey, L"ProductCode");
    SetFeedbackUrl(L"");
    EXPECT_EQ(1, Post());
    Sleep(500);
    EXPECT_EQ(0u, page.Connections());
    EXPECT_EQ(1u, Count("Feedback post turned off (FeedbackURL is empty)"));
    EXPECT_EQ(0u, Count("Failed"));
}

TEST_F(FeedbackPost, NoProductVersionNoPost) {
    bx::test::LoopbackHttpServer page;
    SetFeedbackUrl(PageUrl(page.Port()));
    DeleteValue(kProductKey, L"ProductCode");
    EXPECT_EQ(1, Post());
    Sleep(500);
    EXPECT_EQ(0u, page.Connections());
    EXPECT_EQ(1u, Count("Failed to get HVN product version. Cannot send feedback"));
    EXPECT_EQ(0u, Count("Failed to send feedback"));
}

// A stop asked for while the service starts (a console's Ctrl+C) is taken
// before the post: the service ends without posting.
TEST_F(FeedbackPost, StopAskedForDuringStartUpSkipsThePost) {
    bx::test::LoopbackHttpServer page;
    SetFeedbackUrl(PageUrl(page.Port()));
    {
        CPLNSvc service;
        service.OnStop();
        service.ServiceRun(0, nullptr);  // on this thread, as the console runs it
    }
    Sleep(500);
    EXPECT_EQ(0u, page.Connections());
}

TEST_F(FeedbackPost, UnreachablePageEndsWithinItsTimeOuts) {
    bx::test::StalledListener stalled;  // the connection gets no answer
    ASSERT_NE(0, stalled.Port());
    SetFeedbackUrl(PageUrl(stalled.Port()));
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(bx::program::kFeedbackNotSent, Post());
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_LT(took, static_cast<ULONGLONG>(bx::program::kFeedbackWaitHintMs)) << "within the reported wait hint";
    EXPECT_EQ(1u, Count("Failed to send feedback"));

    DWORD error = 0;
    EXPECT_EQ(bx::program::kFeedbackNotSent, bx::program::SendFeedbackForm(PageUrl(stalled.Port()), "x", error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT), error);
}

TEST_F(FeedbackPost, SelfSignedHttpsPageIsRefused) {
    unsigned short port = bx::test::FreeLoopbackPort();
    std::string dir = FEEDBACK_TLS_DIR;
    DeleteFileW(WindowsPath(dir + "/ready").c_str());
    DeleteFileW(WindowsPath(dir + "/done").c_str());
    // bash, a Linux program: Wine starts it without waiting.
    std::wstring command = L"Z:\\bin\\bash " + bx::test::Widen(FEEDBACK_TLS_SCRIPT) + L" " + bx::test::Widen(dir) +
                           L" " + std::to_wstring(port);
    ASSERT_EQ(0u, bx::test::StartDetached(nullptr, command));
    ASSERT_TRUE(bx::test::WaitUntil([&] { return bx::test::FileExists(WindowsPath(dir + "/ready")); }, 30000))
        << "the HTTPS server did not start (" << dir << "/openssl.log)";

    SetFeedbackUrl(PageUrl(port, L"https"));
    EXPECT_EQ(bx::program::kFeedbackNotSent, Post());
    EXPECT_EQ(1u, Count("Failed to send feedback"));

    // What WinHTTP answered: a failed certificate check (Wine: 12157).
    DWORD error = 0;
    EXPECT_EQ(bx::program::kFeedbackNotSent, bx::program::SendFeedbackForm(PageUrl(port, L"https"), "x", error));
    EXPECT_TRUE(error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR || error == ERROR_WINHTTP_SECURE_FAILURE) << error;
    // The server saw its two connections (the handshakes) and ended.
    EXPECT_TRUE(bx::test::WaitUntil([&] { return bx::test::FileExists(WindowsPath(dir + "/done")); }, 20000))
        << bx::test::ReadFileBytes(WindowsPath(dir + "/openssl.log"));
}

TEST_F(FeedbackPost, UrlThatCannotBeSplitGives22) {
    DWORD error = 0;
    EXPECT_EQ(bx::program::kFeedbackBadUrl, bx::program::SendFeedbackForm(L"no url at all", "x", error));
    EXPECT_EQ(bx::program::kFeedbackBadUrl, bx::program::SendFeedbackForm(L"", "x", error));
    SetFeedbackUrl(L"feedback.aspx");
    EXPECT_EQ(bx::program::kFeedbackBadUrl, Post());
    EXPECT_EQ(1u, Count("Failed to send feedback"));
}

TEST(OsDescription, RealCallUnderWine) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
    const std::wstring& text = bx::program::OperatingSystemDescription();
    RecordProperty("description", bx::test::Narrow(text));
    wchar_t numbers[64];
    swprintf(numbers, 64, L" %u.%u.%u ", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    EXPECT_NE(std::wstring::npos, text.find(numbers)) << bx::test::Narrow(text);
    EXPECT_EQ(L" Build " + std::to_wstring(info.dwBuildNumber), text.substr(text.rfind(L" Build ")));
    if (info.wProductType == VER_NT_WORKSTATION) {
        EXPECT_NE(std::wstring::npos, text.find(L" Professional ")) << bx::test::Narrow(text);
    }
    // Kept: the same text object on every call.
    EXPECT_EQ(&text, &bx::program::OperatingSystemDescription());
}

// The agent service itself: each start posts once, keeps the installation id
// across starts, and goes on to run when the page cannot be reached.
class FeedbackPostService : public FeedbackPost {
protected:
    void SetUp() override {
        FeedbackPost::SetUp();
        Remove();
        for (const wchar_t* file : {L"bxhvns.exe", L"BXLogger.dll"})
            ASSERT_TRUE(CopyFileW((bx::test::ExeDirectory() + file).c_str(), (dir_ + file).c_str(), FALSE));
        bx::test::ProcessResult result = bx::test::RunProcess(
            bx::test::Quote(dir_ + L"bxhvns.exe") + L" -install -SN:" + kServiceName + L" \"-SDN:BX feedback test\"");
        ASSERT_EQ(0u, result.exitCode) << result.output;
    }
    void TearDown() override {
        Remove();
        FeedbackPost::TearDown();
    }
    static SERVICE_STATUS_PROCESS Query() {
        SERVICE_STATUS_PROCESS status{};
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
        DWORD needed = 0;
        if (service)
            QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed);
        return status;
    }
    // Starts the service and waits for "running"; then stops it and waits
    // for its process to end.
    static void StartAndStop() {
        UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueScHandle service(OpenServiceW(scm.get(), kServiceName, SERVICE_START | SERVICE_STOP));
        ASSERT_TRUE(service);
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        EXPECT_TRUE(bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_RUNNING; }, 30000));
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, Query().dwProcessId));
        SERVICE_STATUS status{};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        EXPECT_TRUE(bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_STOPPED; }, 30000));
        if (process) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 30000));
        }
    }
    static void Remove() {
        {
            UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            UniqueScHandle service(OpenServiceW(scm.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
            if (!service) return;
            SERVICE_STATUS status{};
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_STOPPED; }, 20000);
            DeleteService(service.get());
        }
        bx::test::WaitUntil(
            [] {
                UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
                UniqueScHandle service(OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
                return !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
            },
            20000);
    }
    std::string ServiceLog() { return bx::test::ReadFileBytes(dir_ + L"BXHVNAgent.log"); }
};

TEST_F(FeedbackPostService, EachStartPostsOnceWithTheSameInstallationId) {
    bx::test::LoopbackHttpServer page;
    SetFeedbackUrl(PageUrl(page.Port()));
    StartAndStop();
    ASSERT_TRUE(page.WaitForRequests(1, 5000));
    std::wstring id = StoredInstallationId();
    ASSERT_EQ(36u, id.size());
    StartAndStop();
    ASSERT_TRUE(page.WaitForRequests(2, 5000));
    EXPECT_EQ(id, StoredInstallationId()) << "created once, then read back";
    std::vector<bx::test::HttpRequest> requests = page.Requests();
    EXPECT_EQ(2u, requests.size());
    for (const auto& request : requests) ExpectForm(request, bx::test::Narrow(Upper(id)));
    EXPECT_EQ(std::string::npos, ServiceLog().find("feedback")) << ServiceLog();
}

// The service runs while its post waits for a page that does not answer (the
// page takes the connection and never answers the TLS greeting): a stop is
// taken at once, reported stop pending with a wait hint that covers the
// post's time-outs, and the service stops within that hint.
TEST_F(FeedbackPostService, StopDuringThePostIsTakenAndEndsWithinItsWaitHint) {
    bx::test::LoopbackHttpServer page;
    SetFeedbackUrl(PageUrl(page.Port(), L"https"));
    UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueScHandle service(OpenServiceW(scm.get(), kServiceName, SERVICE_START | SERVICE_STOP));
    ASSERT_TRUE(service);
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(bx::test::WaitUntil([&] { return page.Connections() == 1; }, 30000)) << ServiceLog();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Query().dwCurrentState);

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
    EXPECT_GE(status.dwWaitHint, bx::program::kFeedbackWaitHintMs);
    const DWORD hint = status.dwWaitHint;
    EXPECT_TRUE(bx::test::WaitUntil([] { return Query().dwCurrentState == SERVICE_STOPPED; }, hint)) << ServiceLog();
    std::string log = ServiceLog();
    EXPECT_NE(std::string::npos, log.find("Failed to send feedback")) << log;
    EXPECT_LT(log.find("Failed to send feedback"), log.find("Stopping Brontavex Halvern...")) << log;
}

TEST_F(FeedbackPostService, UnreachablePageDoesNotStopStartUp) {
    bx::test::StalledListener stalled;
    SetFeedbackUrl(PageUrl(stalled.Port()));
    StartAndStop();
    std::string log = ServiceLog();
    EXPECT_NE(std::string::npos, log.find("Failed to send feedback")) << log;
    EXPECT_NE(std::string::npos, log.find("Stopping Brontavex Halvern...")) << log;
}

}  // namespace
