// Helpers of the end-to-end tests: the appliance peer on the Linux side (run
// through peer.sh), the agent service under the SCM, the driver stand-in, the
// agent's settings and files.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/snoop/snoop_event.h"
#include "tests/e2e/peer_lines.h"
#include "platform/win/handles.h"

namespace bx::test::e2e {

// "Z:\..." for a Linux path (Wine maps the Linux root to drive Z:).
std::wstring WindowsPath(const std::string& unixPath);

// The peer's network, as peer.sh up left it.
struct PeerNetwork {
    bool available = false;
    bool withoutRoot = false;  // not available because the run lacks root
    std::string why;           // when not available
    std::string hostIp, peerIp, ns;
};
PeerNetwork ReadPeerNetwork();

// Requires the peer network in a case: without root (peer.sh up said so) the
// case skips with that reason; as root a missing network fails it.
#define BX_REQUIRE_PEER_NETWORK(network)                       \
    do {                                                       \
        if (!(network).available) {                            \
            if ((network).withoutRoot) GTEST_SKIP() << (network).why; \
            FAIL() << (network).why;                           \
        }                                                      \
    } while (0)

// The appliance peer (sim/utm) in the network namespace. Wine starts Linux
// programs without waiting for them, so peer.sh reports through marker files.
class Peer {
public:
    explicit Peer(std::string name) : name_(std::move(name)) {}
    ~Peer() { Stop(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Starts utm with these arguments; false with the reason when it did not
    // come up within 10 s.
    bool Start(const std::vector<std::string>& arguments, std::string& why);
    void Stop();
    std::vector<PeerLine> Lines() const;
    std::vector<PeerLine> Notifications() const;
    // Polls the output until `done` holds for the lines or timeoutMs passes.
    bool WaitFor(const std::function<bool(const std::vector<PeerLine>&)>& done, DWORD timeoutMs) const;
    // Waits until at least `count` notifications arrived.
    bool WaitForNotifications(size_t count, DWORD timeoutMs) const;

private:
    bool RunScript(const std::string& action, const std::vector<std::string>& arguments, const std::string& marker,
                   DWORD timeoutMs);
    std::string name_;
    bool started_ = false;
};

// A stranger's flood (peer.sh flood): `count` datagrams, mixed answers and
// random bytes, from a second namespace made and removed for it, to this
// host at `port`. Waits up to timeoutMs; true with the sender's summary
// ("sent=N replies=M errors=E" and "stranger=ADDRESS" lines), else false
// with the reason.
bool RunStrangerFlood(const std::string& name, uint16_t port, unsigned count, unsigned seed, DWORD timeoutMs,
                      std::string& summary);

// Runs a Linux program through Wine without waiting for it.
bool LaunchLinuxProgram(const std::string& program, const std::vector<std::string>& arguments);

// The agent's settings under HKLM\SOFTWARE\Brontavex\HVNAgent\Settings.
struct AgentSettings {
    std::wstring ip;
    DWORD port = 0;
    std::wstring key = L"0123456789ABCDEF";
    DWORD timeOut = 10;
    DWORD retries = 3;
    DWORD verbose = 1;
};
void WriteAgentSettings(const AgentSettings& settings);
// Removes the agent's settings, except FeedbackURL, left empty (post off).
void ClearAgentSettings();
// A UDP port free on the wildcard address now.
uint16_t FreeUdpPort();

// The agent program installed as a service from a fresh folder of its own.
class AgentService {
public:
    // program: file name in the test's folder (bxhvns.exe or a variant).
    AgentService(std::wstring serviceName, std::wstring program);
    ~AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    // Copies the program and BXLogger.dll into the folder and runs
    // "<program> -install -SN:<name>"; its exit code (0 on success).
    DWORD Install(std::string& output);
    // Starts the service and waits until it runs or stops; the final state.
    // StartServiceW's error, if it failed, is kept for StartError().
    DWORD Start(DWORD timeoutMs = 20000);
    DWORD StartError() const { return startError_; }
    // Sends the stop control and waits until it stops; the time it took (ms),
    // or INFINITE on time-out.
    DWORD Stop(DWORD timeoutMs = 30000);
    // Sends a control code; 0 or the error of ControlService.
    DWORD Control(DWORD control);
    SERVICE_STATUS_PROCESS Query() const;
    // Waits until the service reports this state; false on time-out.
    bool WaitForState(DWORD state, DWORD timeoutMs) const;
    // Stops (when running) and deletes the service, then waits (bounded) for
    // the last process it started to end: a service reports "stopped" before
    // its process has let go of its log file, named event and driver handle.
    void Remove();

    const std::wstring& Directory() const { return dir_; }
    const std::wstring& Name() const { return name_; }
    std::string Log() const;  // BXHVNAgent.log
    size_t LogCount(const std::string& needle) const;
    bool WaitForLog(const std::string& needle, DWORD timeoutMs, size_t count = 1) const;

private:
    std::wstring name_;
    std::wstring program_;
    std::wstring dir_;
    DWORD startError_ = 0;
    bx::win::UniqueHandle process_;  // the process Start() saw running
};

// The driver stand-in as the kernel service "bxhvnd".
bool LoadDriver(std::string& why);
void UnloadDriver();

// Records fed into the driver stand-in as snoopctl does.
class DriverFeeder {
public:
    DriverFeeder();
    ~DriverFeeder();
    DriverFeeder(const DriverFeeder&) = delete;
    DriverFeeder& operator=(const DriverFeeder&) = delete;
    bool IsOpen() const { return static_cast<bool>(device_); }
    DWORD Inject(const snoop_event_t& record);

private:
    bx::win::UniqueFile device_;
};

// Driver records.
uint16_t NetPort(uint16_t hostOrder);
uint32_t Address(const char* dotted);
snoop_event_t OpenRecord(uint8_t protocol, const char* local, uint16_t localPort, const char* remote,
                         uint16_t remotePort, uint32_t session, uint64_t fileObject, PSID sid);
snoop_event_t CleanupRecord(const char* local, uint16_t localPort, uint64_t fileObject);

// The user of this process's token (under Wine S-1-5-21-0-0-0-1000) and its
// account, as the agent will look it up.
struct Account {
    std::vector<BYTE> sid;
    std::string name, domain, text;
    PSID Sid() { return sid.data(); }
};
Account TokenUser();
Account WellKnown(const wchar_t* sidText);

// The 40-byte status record "HVNConfig.xml", as ten counters.
bool ReadStatusFile(const std::wstring& path, std::vector<int32_t>& counters);

// The user-defined control the session test service (session_service.cpp)
// turns into a session change: Wine's SCM refuses the session-change control.
inline DWORD SessionControl(DWORD eventType, DWORD sessionId) { return 128 + eventType * 16 + sessionId; }

// The set-up the agent's end-to-end fixtures share (AgentE2E, AgentSoak):
// the peer network, the agent's settings towards the peer at a free port with
// the test key, the peer, the service, the driver feeder, and a tear-down
// that removes them all. A fixture whose cases need no peer network says so
// through NeedsPeerNetwork(); it then writes settings towards loopback.
class AgentFixture : public ::testing::Test {
protected:
    static constexpr char kKey[] = "0123456789ABCDEF";

    AgentFixture(std::wstring serviceName, std::string peerName)
        : serviceName_(std::move(serviceName)), peer(std::move(peerName)) {}
    virtual bool NeedsPeerNetwork() const { return true; }
    void SetUp() override;
    void TearDown() override;

    // Starts the appliance peer at the peer's address and the agent's port,
    // with the key and these further options.
    void StartPeer(const std::vector<std::string>& options = {});
    // Loads the driver stand-in (or unloads it), writes the settings and
    // installs `program` as the service; not started.
    void InstallAgent(const wchar_t* program = L"bxhvns.exe", bool withDriver = true);
    // Opens the driver stand-in to feed it records.
    void OpenFeeder();
    void Feed(const snoop_event_t& record);
    // The peer's lines and the agent's log, each cut to its last dumpLines
    // lines and dumpLogBytes bytes.
    std::string Dump() const;

    const std::wstring serviceName_;
    std::wstring program_;
    size_t dumpLines = SIZE_MAX, dumpLogBytes = SIZE_MAX;
    PeerNetwork network;
    AgentSettings settings;
    Peer peer;
    std::unique_ptr<AgentService> service;
    std::unique_ptr<DriverFeeder> feeder;
};

}  // namespace bx::test::e2e
