// The agent end to end under Wine: bxhvns installed and run as a service by
// Wine's Service Control Manager, the driver stand-in bxhvnd.sys loaded as a
// kernel service and fed records the way snoopctl feeds them, and the
// appliance peer sim/utm (a Linux program) in a network namespace made by
// peer.sh. The agent reaches the peer across the namespace's veth pair; what
// the peer printed for each datagram, the agent's log and its status file
// are what the cases check.
#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/win/service_manager.h"

namespace {

using bx::test::e2e::AgentService;
using bx::test::e2e::CleanupRecord;
using bx::test::e2e::Lower;
using bx::test::e2e::OpenRecord;
using bx::test::e2e::PeerLine;
using bx::test::e2e::SessionControl;

constexpr DWORD kArrivalMs = 15000;  // bound for a datagram that must come
constexpr DWORD kQuietMs = 1500;     // how long "nothing more arrives" is watched

class AgentE2E : public bx::test::e2e::AgentFixture {
protected:
    AgentE2E() : AgentFixture(L"bxhvns_e2e", "peer") {}

    // Installs and starts the agent, then waits for its first datagram, the
    // reset request, at the peer.
    void StartAgent(const wchar_t* program = L"bxhvns.exe", bool withDriver = true) {
        InstallAgent(program, withDriver);
        if (HasFatalFailure()) return;
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Start())
            << "StartServiceW: " << service->StartError() << ", exit codes " << service->Query().dwWin32ExitCode << "/"
            << service->Query().dwServiceSpecificExitCode << "\n"
            << service->Log();
        ASSERT_TRUE(peer.WaitFor(
            [](const std::vector<PeerLine>& lines) {
                return std::any_of(lines.begin(), lines.end(),
                                   [](const PeerLine& l) { return l.word == "rx" && l["kind"] == "reset"; });
            },
            kArrivalMs))
            << service->Log();
    }

    // Waits for exactly `count` notifications: they arrive within the bound,
    // and no further one follows within kQuietMs.
    std::vector<PeerLine> ExactlyNotifications(size_t count) {
        bool arrived = peer.WaitForNotifications(count, kArrivalMs);
        EXPECT_TRUE(arrived) << Dump();
        Sleep(kQuietMs);
        std::vector<PeerLine> lines = peer.Notifications();
        EXPECT_EQ(count, lines.size()) << Dump();
        return lines;
    }

    // Sets the status-request event from this process and reads the record
    // the service writes.
    std::vector<int32_t> RequestStatus(size_t requestNumber) {
        bx::win::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\BXGlobalGenXml"));
        EXPECT_TRUE(event) << GetLastError();
        std::vector<int32_t> counters;
        if (!event) return counters;
        // The line comes before the write: an earlier record must not be
        // read for this one.
        const std::wstring status = service->Directory() + L"HVNConfig.xml";
        EXPECT_TRUE(DeleteFileW(status.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) << GetLastError();
        EXPECT_TRUE(SetEvent(event.get()));
        event.reset();
        EXPECT_TRUE(service->WaitForLog("\tReveived XML generation", 10000, requestNumber)) << service->Log();
        EXPECT_TRUE(bx::test::WaitUntil(
            [&] { return bx::test::e2e::ReadStatusFile(status, counters); }, 5000));
        return counters;
    }

    static bool NamesAre(const PeerLine& line, const bx::test::e2e::Account& account) {
        std::string domain = line.Has("domain") ? line["domain"] : line["server"];
        return line["user"] == account.name && Lower(domain) == Lower(account.domain);
    }
};

// The cases of the agent program that need no appliance peer.
class AgentProgram : public AgentE2E {
protected:
    bool NeedsPeerNetwork() const override { return false; }
};

// Opens and clean-ups become Open and Close notifications; loopback opens,
// clean-ups of addresses not open and records of unknown types send nothing;
// TCP and UDP on one address and port are two connections, each ended by the
// clean-up of its own file object.
TEST_F(AgentE2E, DriverRecordsBecomeNotificationsAtThePeer) {
    StartPeer();
    StartAgent();
    OpenFeeder();
    bx::test::e2e::Account user = bx::test::e2e::TokenUser();
    bx::test::e2e::Account system = bx::test::e2e::WellKnown(L"S-1-5-18");
    ASSERT_FALSE(user.name.empty());

    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 49152, "93.184.216.34", 443, 2, 0x1001, user.Sid()));
    ASSERT_TRUE(peer.WaitForNotifications(1, kArrivalMs)) << Dump();
    Feed(CleanupRecord("10.1.2.3", 49152, 0x1001));
    Feed(OpenRecord(SNOOP_PROTOCOL_UDP, "127.0.0.1", 5353, "10.9.9.9", 53, 2, 0x1002, user.Sid()));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 50000, "198.51.100.7", 80, 2, 0x2001, user.Sid()));
    Feed(OpenRecord(SNOOP_PROTOCOL_UDP, "10.1.2.3", 50000, "198.51.100.8", 8080, 3, 0x2002, system.Sid()));
    Feed(CleanupRecord("10.1.2.3", 50000, 0x2002));
    Feed(CleanupRecord("10.1.2.3", 50000, 0x2002));  // already cleaned up
    Feed(CleanupRecord("10.1.2.3", 50001, 0x3001));  // never opened
    snoop_event_t unknown =
        OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 50002, "198.51.100.9", 80, 2, 0x5001, user.Sid());
    unknown.event_type = 7;
    Feed(unknown);
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 50003, "203.0.113.9", 22, 2, 0x4001, user.Sid()));

    std::vector<PeerLine> n = ExactlyNotifications(6);
    ASSERT_EQ(6u, n.size());
    // The first notification of the session carries the names, encrypted
    // under the key (the peer decrypted them with the same key).
    bx::test::e2e::ExpectedNotification open;
    open.op = "open";
    open.proto = "tcp";
    open.port = "49152";
    open.ips = "10.1.2.3";
    open.dst = "93.184.216.34";
    open.dport = "443";
    open.session = "2";
    open.names = bx::test::e2e::ExpectedNotification::Names::Encrypted;
    open.user = user.name;
    open.domain = user.domain;
    EXPECT_TRUE(bx::test::e2e::NotificationIs(n[0], open));

    bx::test::e2e::ExpectedNotification close = open;
    close.op = "close";
    close.dst = close.dport = "";
    close.names = bx::test::e2e::ExpectedNotification::Names::Either;
    EXPECT_TRUE(bx::test::e2e::NotificationIs(n[1], close));

    EXPECT_EQ("open", n[2]["op"]);
    EXPECT_EQ("50000", n[2]["port"]);
    EXPECT_EQ("198.51.100.7", n[2]["dst"]);

    EXPECT_EQ("open", n[3]["op"]);
    EXPECT_EQ("udp", n[3]["proto"]);
    EXPECT_EQ("50000", n[3]["port"]);
    EXPECT_EQ("198.51.100.8", n[3]["dst"]);
    EXPECT_EQ("8080", n[3]["dport"]);
    EXPECT_EQ("3", n[3]["session"]);
    EXPECT_EQ("nonuser", n[3]["conntype"]);
    EXPECT_TRUE(NamesAre(n[3], system)) << n[3].text;

    // One close, of the UDP connection (Local System, session 3); the second
    // clean-up of its file object ends nothing, the TCP one stays open.
    EXPECT_EQ("close", n[4]["op"]);
    EXPECT_EQ("udp", n[4]["proto"]);
    EXPECT_EQ("50000", n[4]["port"]);
    EXPECT_EQ("3", n[4]["session"]);
    EXPECT_EQ("nonuser", n[4]["conntype"]);

    EXPECT_EQ("open", n[5]["op"]);
    EXPECT_EQ("50003", n[5]["port"]);
    EXPECT_EQ("203.0.113.9", n[5]["dst"]);

    EXPECT_EQ(0u, service->LogCount("is already in use")) << service->Log();  // two protocols, two entries
    // Every record was read, the ignored ones included, and no read failed.
    EXPECT_EQ(10u, service->LogCount("\tSnooper IOCTL Events\r\n")) << service->Log();
    EXPECT_EQ(0u, service->LogCount("Failed")) << service->Log();
}

TEST_F(AgentE2E, OpensTowardsRoutesThePeerTaughtSendNothing) {
    StartPeer({"--teach-subnet", "10.20.0.0/16", "--teach-range", "172.16.5.1-172.16.5.9"});
    StartAgent();
    ASSERT_TRUE(service->WaitForLog("UTM:resp Inserting subnet tlv to table", kArrivalMs)) << Dump();
    ASSERT_TRUE(service->WaitForLog("UTM:resp Inserting range tlv to table", kArrivalMs)) << Dump();
    OpenFeeder();
    bx::test::e2e::Account user = bx::test::e2e::TokenUser();

    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 40001, "10.20.1.1", 443, 2, 0x1, user.Sid()));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 40002, "172.16.5.9", 443, 2, 0x2, user.Sid()));
    Feed(CleanupRecord("10.1.2.3", 40001, 0x1));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 40003, "10.21.0.1", 443, 2, 0x3, user.Sid()));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 40004, "172.16.5.10", 443, 2, 0x4, user.Sid()));

    std::vector<PeerLine> n = ExactlyNotifications(2);
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ("10.21.0.1", n[0]["dst"]);
    EXPECT_EQ("172.16.5.10", n[1]["dst"]);
}

// Acknowledged notifications leave the request table, and the status record
// written on request from another process counts what the peer saw.
TEST_F(AgentE2E, StatusRequestWritesCountersThatMatchThePeer) {
    StartPeer();
    StartAgent();
    OpenFeeder();
    bx::test::e2e::Account user = bx::test::e2e::TokenUser();

    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 41001, "93.184.216.34", 443, 2, 0x1, user.Sid()));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 41002, "93.184.216.35", 443, 4, 0x2, user.Sid()));
    Feed(CleanupRecord("10.1.2.3", 41001, 0x1));
    std::vector<PeerLine> n = ExactlyNotifications(3);
    ASSERT_TRUE(peer.WaitFor(
        [](const std::vector<PeerLine>& lines) {
            return std::count_if(lines.begin(), lines.end(), [](const PeerLine& l) { return l["sent"] == "ack"; }) == 3;
        },
        kArrivalMs));
    ASSERT_TRUE(service->WaitForLog("UTM Resp: Header::Version", kArrivalMs, 3)) << Dump();

    ASSERT_EQ(0u, service->LogCount("\tReveived XML generation"));
    std::vector<int32_t> c = RequestStatus(1);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(3, c[0]);  // notifications the socket took: what the peer saw
    EXPECT_EQ(2, c[1]);  // opens entered in the request table
    EXPECT_EQ(1, c[2]);  // closes
    EXPECT_EQ(0, c[3]);  // nothing failed to parse
    EXPECT_EQ(0, c[4]);  // nothing waits in the send queue
    EXPECT_EQ(0, c[5]);  // nothing given up
    EXPECT_EQ(50000, c[6]);
    EXPECT_EQ(0, c[7]);  // every open acknowledged
    EXPECT_EQ(0, c[8]);
    EXPECT_EQ(3, c[9]);  // the peer's three acknowledgements

    // One signal, one write; the next signal writes again.
    Sleep(kQuietMs);
    EXPECT_EQ(1u, service->LogCount("\tReveived XML generation"));
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 41003, "93.184.216.36", 443, 2, 0x3, user.Sid()));
    ASSERT_TRUE(peer.WaitForNotifications(4, kArrivalMs)) << Dump();
    ASSERT_TRUE(service->WaitForLog("UTM Resp: Header::Version", kArrivalMs, 4)) << Dump();
    c = RequestStatus(2);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(4, c[0]);
    EXPECT_EQ(3, c[1]);
    EXPECT_EQ(4, c[9]);
}

// With verbose logging off no debug line of the record path is written, and
// the status request's line still is.
TEST_F(AgentE2E, VerboseOffKeepsDebugLinesOutButTheStatusRequestLine) {
    settings.verbose = 0;
    StartPeer();
    StartAgent();
    OpenFeeder();
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 46001, "93.184.216.34", 443, 2, 0x1,
                    bx::test::e2e::TokenUser().Sid()));
    ASSERT_TRUE(peer.WaitForNotifications(1, kArrivalMs)) << Dump();
    std::vector<int32_t> c = RequestStatus(1);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(1, c[0]);
    std::string log = service->Log();
    EXPECT_EQ(0u, service->LogCount("Snooper IOCTL Events")) << log;
    EXPECT_EQ(0u, service->LogCount("handleOpenAddress")) << log;
    // The one debug line: the status request, written whatever verbose says.
    EXPECT_EQ(1u, service->LogCount("\tDebug")) << log;
    EXPECT_EQ(1u, service->LogCount("\tReveived XML generation\r\n")) << log;
}

// The program's own verbs: help, and a switch it does not know is ignored.
TEST_F(AgentProgram, ProgramShowsItsUsage) {
    const std::string usage = "Usage: BXHVN [ -install | -uninstall | -remove | -start | -stop | -help | -? ]\n";
    for (const wchar_t* arguments : {L" -help", L" /?", L" -querynow -HELP"}) {
        bx::test::ProcessResult result =
            bx::test::RunProcess(bx::test::Quote(bx::test::ExeDirectory() + L"bxhvns.exe") + arguments, 30000);
        EXPECT_EQ(0u, result.exitCode);
        EXPECT_EQ(usage, result.output) << bx::test::Narrow(arguments);
    }
}

// The DLL names a PE file imports, read from its import directory.
std::vector<std::string> ImportedDlls(const std::wstring& path) {
    std::string image = bx::test::ReadFileBytes(path);
    std::vector<std::string> names;
    auto at = [&](size_t offset, size_t size) {
        return offset + size <= image.size() ? image.data() + offset : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return names;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
    if (!nt || nt->Signature != IMAGE_NT_SIGNATURE) return names;
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& section = sections[i];
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        return image.size();
    };
    DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (size_t offset = fileOffset(importRva);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor =
            reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(offset, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (!descriptor || descriptor->Name == 0) break;
        const char* name = at(fileOffset(descriptor->Name), 1);
        if (!name) break;
        names.emplace_back(name, strnlen(name, image.size() - fileOffset(descriptor->Name)));
    }
    return names;
}

// The agent program needs BXLogger.dll and nothing but system DLLs besides.
TEST_F(AgentProgram, ProgramImportsBXLoggerAndSystemDllsOnly) {
    std::vector<std::string> imports = ImportedDlls(bx::test::ExeDirectory() + L"bxhvns.exe");
    ASSERT_FALSE(imports.empty());
    wchar_t system[MAX_PATH];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
    bool logger = false;
    for (const std::string& name : imports) {
        if (Lower(name) == "bxlogger.dll") {
            logger = true;
            continue;
        }
        EXPECT_TRUE(bx::test::FileExists(std::wstring(system) + L"\\" + bx::test::Widen(name)))
            << name << " is not a system DLL";
    }
    EXPECT_TRUE(logger);
}

// An open without answer is sent again with the same request id after the
// time-out, Retries times, then given up.
TEST_F(AgentE2E, UnansweredOpensAreRetransmittedThenGivenUp) {
    settings.timeOut = 1;
    settings.retries = 2;
    StartPeer({"--answer", "silent"});
    StartAgent();
    OpenFeeder();
    bx::test::e2e::Account user = bx::test::e2e::TokenUser();

    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 42001, "93.184.216.34", 443, 2, 0x1, user.Sid()));
    std::vector<PeerLine> n = ExactlyNotifications(3);
    ASSERT_EQ(3u, n.size());
    EXPECT_EQ(n[0]["id"], n[1]["id"]);
    EXPECT_EQ(n[0]["id"], n[2]["id"]);
    EXPECT_EQ("1", n[1]["repeat"]);
    EXPECT_EQ("2", n[2]["repeat"]);
    for (auto& line : n) EXPECT_EQ("42001", line["port"]);

    ASSERT_TRUE(service->WaitForLog("Requst Deleted.", kArrivalMs)) << Dump();
    std::vector<int32_t> c = RequestStatus(1);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(3, c[0]);  // every sending
    EXPECT_EQ(3, c[1]);
    EXPECT_EQ(1, c[5]);  // given up after the last retry
    EXPECT_EQ(0, c[7]);
    EXPECT_EQ(0, c[9]);
}

// The peer forgets a session: the agent resends that notification with the
// names, under a new request id.
TEST_F(AgentE2E, UnknownSessionAnswerBringsOneResendWithNames) {
    StartPeer({"--answer", "ack,unknown-session,ack"});
    StartAgent();
    OpenFeeder();
    bx::test::e2e::Account user = bx::test::e2e::TokenUser();

    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 43001, "93.184.216.34", 443, 2, 0x1, user.Sid()));
    ASSERT_TRUE(service->WaitForLog("UTM Resp: Found Entry for SessionId:'2'", kArrivalMs)) << Dump();
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 43002, "198.51.100.20", 8443, 2, 0x2, user.Sid()));

    std::vector<PeerLine> n = ExactlyNotifications(3);
    ASSERT_EQ(3u, n.size());
    EXPECT_TRUE(NamesAre(n[0], user)) << n[0].text;
    // The session is known: no names, in clear.
    EXPECT_FALSE(n[1].Has("user")) << n[1].text;
    EXPECT_EQ("clear", n[1]["iv"]);
    EXPECT_EQ("unknown-session", n[1]["answer"]);
    // The resend: the same connection, the names again, a new request id.
    EXPECT_TRUE(NamesAre(n[2], user)) << n[2].text;
    EXPECT_EQ("random", n[2]["iv"]);
    EXPECT_EQ("open", n[2]["op"]);
    EXPECT_EQ("43002", n[2]["port"]);
    EXPECT_EQ("198.51.100.20", n[2]["dst"]);
    EXPECT_EQ("8443", n[2]["dport"]);
    EXPECT_EQ("2", n[2]["session"]);
    EXPECT_NE(n[1]["id"], n[2]["id"]);
    EXPECT_EQ(1u, service->LogCount("UTM Resp: Enqueuing Unknown SessionId 2 packet again")) << service->Log();

    ASSERT_TRUE(service->WaitForLog("UTM Resp: Header::Version", kArrivalMs, 3)) << Dump();
    std::vector<int32_t> c = RequestStatus(1);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(3, c[0]);
    EXPECT_EQ(0, c[7]);
    EXPECT_EQ(2, c[9]);  // the unknown-session answer is not counted as processed
}

// A stop with the driver read pending cancels the read, ends the manager's
// threads within their bounds, and the SCM sees the service stopped.
TEST_F(AgentE2E, StopWithAReadPendingEndsEverythingAndReportsStopped) {
    StartPeer();
    StartAgent();
    ASSERT_TRUE(service->WaitForLog("\tSending Read request to driver...", kArrivalMs));
    DWORD pid = service->Query().dwProcessId;
    ASSERT_NE(0u, pid);
    bx::win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(process);

    DWORD took = service->Stop();
    ASSERT_NE(INFINITE, took) << service->Log();
    EXPECT_LT(took, 15000u);  // three threads, 5000 ms each at most
    SERVICE_STATUS_PROCESS status = service->Query();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);
    EXPECT_EQ(0u, status.dwServiceSpecificExitCode);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 10000));
    process.reset();

    std::string log = service->Log();
    size_t at = 0;
    for (const char* line :
         {"\tStopping Brontavex Halvern...\r\n", "\tConMgr::Cleanup..\r\n", "\tExiting UTMlistner..\r\n",
          "\tExiting dispatch thread..\r\n", "\tStopping Retransmit thread\r\n", "\tBrontavex Halvern finished\r\n"}) {
        size_t found = log.find(line, at);
        EXPECT_NE(std::string::npos, found) << "missing or out of order: " << line << "\n" << log;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(std::string::npos, log.find("did not stop within")) << log;
    EXPECT_EQ(std::string::npos, log.find("Failed")) << log;

    // Nothing of the agent's read is left in the driver: a record fed now
    // waits for the next reader, which gets it at once.
    OpenFeeder();
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 44001, "93.184.216.34", 443, 2, 0xD00D,
                    bx::test::e2e::TokenUser().Sid()));
    bx::win::UniqueFile device(CreateFileW(SNOOP_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(device) << GetLastError();
    bx::win::UniqueHandle readDone(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = readDone.get();
    snoop_event_t record{};
    DWORD got = 0;
    BOOL done =
        DeviceIoControl(device.get(), SNOOP_IOCTL_READ_EVENTS, nullptr, 0, &record, sizeof record, &got, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING && WaitForSingleObject(overlapped.hEvent, 5000) == WAIT_OBJECT_0)
        done = GetOverlappedResult(device.get(), &overlapped, &got, FALSE);
    if (!done) CancelIo(device.get());
    EXPECT_TRUE(done);
    EXPECT_EQ(0xD00Du, record.file_object);
    // The device first: a read it still had ends with it, before its event goes.
    device.reset();
}

// Without the driver the agent logs why, serves the appliance and status
// requests, and stops normally.
TEST_F(AgentE2E, RunsWithoutTheDriver) {
    StartPeer();
    StartAgent(L"bxhvns.exe", false);
    EXPECT_EQ(1u, service->LogCount("\tFailed to open device driver Error:2\r\n")) << service->Log();
    EXPECT_EQ(1u, service->LogCount("\tDeviceIoControl failed Error:6\r\n"));
    EXPECT_EQ(1u, service->LogCount("\tFailed to ReadSnoopEvents Error:6\r\n"));
    std::vector<int32_t> c = RequestStatus(1);
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ(50000, c[6]);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Query().dwCurrentState);
    ASSERT_NE(INFINITE, service->Stop());
    EXPECT_EQ(0u, service->Query().dwWin32ExitCode);
    EXPECT_EQ(1u, service->LogCount("\tBrontavex Halvern finished\r\n"));
}

// A status event that another process made first, with a DACL that denies
// the service (Wine enforces an event's DACL across processes: the service's
// open fails with 5), keeps the service from status requests only: it starts,
// reports connections and says why, once.
TEST_F(AgentE2E, StatusEventMadeFirstByAnotherProcessLeavesTheServiceReporting) {
    PSECURITY_DESCRIPTOR denyAll = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;GA;;;WD)", SDDL_REVISION_1, &denyAll, nullptr));
    bx::win::UniqueLocal descriptor(denyAll);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, denyAll, FALSE};
    bx::win::UniqueHandle squatter(CreateEventW(&attributes, FALSE, FALSE, L"Global\\BXGlobalGenXml"));
    ASSERT_TRUE(squatter) << GetLastError();

    StartPeer();
    StartAgent();
    OpenFeeder();
    Feed(OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 47001, "93.184.216.34", 443, 2, 0x1,
                    bx::test::e2e::TokenUser().Sid()));
    std::vector<PeerLine> n = ExactlyNotifications(1);
    ASSERT_EQ(1u, n.size());
    EXPECT_EQ("47001", n[0]["port"]);
    EXPECT_EQ(1u, service->LogCount("\tStatus requests are off (event Global\\BXGlobalGenXml): it could not be "
                                    "created Error: 5\r\n"))
        << service->Log();
}

// Session logon and logoff reach the agent through the service's control
// handler: logon records the session, logoff of a known session sends the
// logoff notification, of an unknown one nothing.
TEST_F(AgentE2E, SessionLogonAndLogoffThroughTheControlHandler) {
    StartPeer();
    StartAgent(L"bxhvns_session_test.exe");
    // What the session test service works around: Wine's SCM refuses the
    // session-change control from ControlService.
    EXPECT_NE(0u, service->Control(SERVICE_CONTROL_SESSIONCHANGE));

    // The session's user as the terminal-services API tells it.
    std::string user, domain;
    for (auto [info, out] : {std::pair{WTSUserName, &user}, std::pair{WTSDomainName, &domain}}) {
        LPWSTR text = nullptr;
        DWORD bytes = 0;
        if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 3, info, &text, &bytes)) {
            *out = bx::test::Narrow(text);
            WTSFreeMemory(text);
        }
    }

    ASSERT_EQ(0u, service->Control(SessionControl(WTS_SESSION_LOGON, 3)));
    ASSERT_TRUE(service->WaitForLog("\tSessionID:'3'  " + user + "@" + domain + " Logged-on\r\n", kArrivalMs))
        << service->Log();
    EXPECT_EQ(0u, peer.Notifications().size());

    ASSERT_EQ(0u, service->Control(SessionControl(WTS_SESSION_LOGOFF, 3)));
    ASSERT_EQ(0u, service->Control(SessionControl(WTS_SESSION_LOGOFF, 7)));  // never logged on
    ASSERT_EQ(0u, service->Control(SessionControl(WTS_SESSION_LOCK, 3)));    // not acted on
    OpenFeeder();
    Feed(
        OpenRecord(SNOOP_PROTOCOL_TCP, "10.1.2.3", 45001, "203.0.113.9", 22, 2, 0x1, bx::test::e2e::TokenUser().Sid()));

    std::vector<PeerLine> n = ExactlyNotifications(2);
    ASSERT_EQ(2u, n.size());
    EXPECT_EQ("logoff", n[0]["kind"]);
    EXPECT_EQ("3", n[0]["session"]);
    EXPECT_EQ(user, n[0]["user"]);
    EXPECT_EQ("connection", n[1]["kind"]);
    EXPECT_EQ(1u, service->LogCount("\tSessionID:'3'  " + user + "@" + domain + " Logged-off\r\n")) << service->Log();
    EXPECT_EQ(0u, service->LogCount("SessionID:'7'"));
    // The controls left the service running.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service->Query().dwCurrentState);
}

}  // namespace
