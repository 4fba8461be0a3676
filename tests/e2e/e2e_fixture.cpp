#include "tests/e2e/e2e_fixture.h"

#include <winsock2.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/udp_socket.h"
#include "sim/snoopctl/driver_service.h"
#include "tests/support/win/service_manager.h"

namespace bx::test::e2e {

namespace {

const wchar_t kSettingsKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";

std::string NetDir() { return E2E_NET_DIR; }

std::string ReadText(const std::string& unixPath) { return bx::test::ReadFileBytes(WindowsPath(unixPath)); }

bool Exists(const std::string& unixPath) { return bx::test::FileExists(WindowsPath(unixPath)); }

}  // namespace

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return path;
}

PeerNetwork ReadPeerNetwork() {
    PeerNetwork network;
    if (Exists(NetDir() + "/skip")) {
        network.withoutRoot = true;
        network.why = ReadText(NetDir() + "/skip");
        while (!network.why.empty() && (network.why.back() == '\n' || network.why.back() == '\r'))
            network.why.pop_back();
        return network;
    }
    std::string env = ReadText(NetDir() + "/net.env");
    if (env.empty()) {
        network.why = "no peer network: run the tests through ctest (fixture e2e_net_up) or peer.sh up " + NetDir();
        return network;
    }
    size_t at = 0;
    while (at < env.size()) {
        size_t end = env.find('\n', at);
        if (end == std::string::npos) end = env.size();
        std::string line = env.substr(at, end - at);
        at = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "HOST_IP") network.hostIp = value;
        if (key == "PEER_IP") network.peerIp = value;
        if (key == "NS") network.ns = value;
    }
    network.available = !network.hostIp.empty() && !network.peerIp.empty();
    if (!network.available) network.why = "peer network description incomplete: " + env;
    return network;
}

bool LaunchLinuxProgram(const std::string& program, const std::vector<std::string>& arguments) {
    std::wstring commandLine = WindowsPath(program);
    for (const auto& argument : arguments) commandLine += L" " + bx::test::Widen(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // No handles to close: Wine gives a Linux program none, and a leftover
    // value as its thread handle (bx::test::StartDetached).
    return true;
}

bool Peer::RunScript(const std::string& action, const std::vector<std::string>& arguments, const std::string& marker,
                     DWORD timeoutMs) {
    std::vector<std::string> all = {E2E_PEER_SCRIPT, action, NetDir(), name_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    if (!LaunchLinuxProgram("/bin/bash", all)) return false;
    return bx::test::WaitUntil([&] { return Exists(NetDir() + "/" + name_ + marker); }, timeoutMs, 20);
}

bool Peer::Start(const std::vector<std::string>& arguments, std::string& why) {
    Stop();
    std::vector<std::string> all = {E2E_UTM_PROGRAM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    // Markers of an earlier peer of this name would answer at once.
    for (const char* marker : {".started", ".failed", ".stopped"})
        DeleteFileW(WindowsPath(NetDir() + "/" + name_ + marker).c_str());
    bool answered = RunScript("start", all, ".started", 10000);
    if (answered) {
        started_ = true;
        return true;
    }
    why = Exists(NetDir() + "/" + name_ + ".failed")
              ? "peer failed: " + ReadText(NetDir() + "/" + name_ + ".failed")
              : "peer did not start within 10 s (" + NetDir() + "/" + name_ + ".log)";
    started_ = true;  // whatever came up is stopped later
    return false;
}

void Peer::Stop() {
    if (!started_) return;
    started_ = false;
    DeleteFileW(WindowsPath(NetDir() + "/" + name_ + ".stopped").c_str());
    RunScript("stop", {}, ".stopped", 10000);
}

std::vector<PeerLine> Peer::Lines() const { return ParsePeerOutput(ReadText(NetDir() + "/" + name_ + ".out")); }

std::vector<PeerLine> Peer::Notifications() const {
    std::vector<PeerLine> result;
    for (auto& line : Lines())
        if (line.IsNotification()) result.push_back(line);
    return result;
}

bool Peer::WaitFor(const std::function<bool(const std::vector<PeerLine>&)>& done, DWORD timeoutMs) const {
    return bx::test::WaitUntil([&] { return done(Lines()); }, timeoutMs, 20);
}

bool Peer::WaitForNotifications(size_t count, DWORD timeoutMs) const {
    return WaitFor(
        [&](const std::vector<PeerLine>& lines) {
            return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                                     [](const PeerLine& l) { return l.IsNotification(); })) >= count;
        },
        timeoutMs);
}

bool RunStrangerFlood(const std::string& name, uint16_t port, unsigned count, unsigned seed, DWORD timeoutMs,
                      std::string& summary) {
    for (const char* marker : {".done", ".failed"}) DeleteFileW(WindowsPath(NetDir() + "/" + name + marker).c_str());
    if (!LaunchLinuxProgram("/bin/bash", {E2E_PEER_SCRIPT, "flood", NetDir(), name, std::to_string(port),
                                          std::to_string(count), std::to_string(seed)})) {
        summary = "cannot run peer.sh";
        return false;
    }
    const bool ended = bx::test::WaitUntil(
        [&] { return Exists(NetDir() + "/" + name + ".done") || Exists(NetDir() + "/" + name + ".failed"); }, timeoutMs,
        50);
    if (ended && Exists(NetDir() + "/" + name + ".done")) {
        summary = ReadText(NetDir() + "/" + name + ".out");
        return true;
    }
    summary = ended ? "flood failed: " + ReadText(NetDir() + "/" + name + ".failed")
                    : "flood did not end within the bound (" + NetDir() + "/" + name + ".log)";
    // Whatever was made for the stranger goes.
    LaunchLinuxProgram("/bin/bash", {E2E_PEER_SCRIPT, "unflood", NetDir(), name});
    return false;
}

// ---------------------------------------------------------------------------

void WriteAgentSettings(const AgentSettings& settings) {
    ClearAgentSettings();
    bx::win::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    auto text = [&](const wchar_t* name, const std::wstring& value) {
        RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    auto number = [&](const wchar_t* name, DWORD value) {
        RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    };
    text(L"ip", settings.ip);
    number(L"port", settings.port);
    text(L"key", settings.key);
    number(L"TimeOut", settings.timeOut);
    number(L"Retries", settings.retries);
    number(L"verbose", settings.verbose);
}

void ClearAgentSettings() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
    // The agent posts its installation information at every start; no agent a
    // test starts (by hand or from the package) may reach the compiled-in
    // page: an empty FeedbackURL turns the post off.
    bx::win::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) ==
        ERROR_SUCCESS)
        RegSetValueExW(key.get(), L"FeedbackURL", 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
}

uint16_t FreeUdpPort() {
    if (bx::net::Startup() != 0) return 0;
    uint16_t port = 0;
    {
        bx::net::UdpSocket probe;
        if (probe.Create() != 0 || probe.Bind(bx::net::kAnyAddress, 0) != 0 || probe.LocalPort(port) != 0) port = 0;
    }
    bx::net::Cleanup();
    return port;
}

// ---------------------------------------------------------------------------

AgentService::AgentService(std::wstring serviceName, std::wstring program)
    : name_(std::move(serviceName)), program_(std::move(program)) {
    dir_ = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"e2e_" + name_);
}

AgentService::~AgentService() { Remove(); }

DWORD AgentService::Install(std::string& output) {
    Remove();  // a service of this name left by an earlier run
    std::wstring bin = bx::test::ExeDirectory();
    if (!CopyFileW((bin + program_).c_str(), (dir_ + program_).c_str(), FALSE) ||
        !CopyFileW((bin + L"BXLogger.dll").c_str(), (dir_ + L"BXLogger.dll").c_str(), FALSE)) {
        output = "copying the program failed";
        return GetLastError();
    }
    // A display name of its own, so that no other service of the run (the
    // framework's tests install under the product's display name) can clash.
    // A service of this name that is still being deleted (Wine removes it once
    // its process has ended) is waited for.
    const std::wstring command = bx::test::Quote(dir_ + program_) + L" -install -SN:" + name_ + L" -SDN:" + name_;
    bx::test::ProcessResult result;
    for (int attempt = 0; attempt < 30; ++attempt) {
        result = bx::test::RunProcess(command, 60000);
        if (result.exitCode != ERROR_SERVICE_MARKED_FOR_DELETE && result.exitCode != ERROR_DUPLICATE_SERVICE_NAME &&
            result.exitCode != ERROR_SERVICE_EXISTS)
            break;
        Sleep(1000);
        Remove();
    }
    output = result.output;
    return result.exitCode;
}

SERVICE_STATUS_PROCESS AgentService::Query() const {
    SERVICE_STATUS_PROCESS status{};
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    bx::win::UniqueScHandle service(scm ? OpenServiceW(scm.get(), name_.c_str(), SERVICE_QUERY_STATUS) : nullptr);
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &needed))
        status.dwCurrentState = 0;
    return status;
}

bool AgentService::WaitForState(DWORD state, DWORD timeoutMs) const {
    return bx::test::WaitUntil([&] { return Query().dwCurrentState == state; }, timeoutMs, 20);
}

DWORD AgentService::Start(DWORD timeoutMs) {
    {
        bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        bx::win::UniqueScHandle service(
            scm ? OpenServiceW(scm.get(), name_.c_str(), SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
        startError_ = service ? 0 : GetLastError();
        if (service && !StartServiceW(service.get(), 0, nullptr)) {
            startError_ = GetLastError();
            // Wine's CreateProcess fails with STATUS_INTERNAL_ERROR when the
            // new process ended in its own start-up, before any of the
            // program's code ran (a Wine start-up, as wine-run retries one):
            // the start is tried once more, and the line says so.
            if (startError_ == ERROR_INTERNAL_ERROR) {
                printf("[ WINE     ] StartServiceW failed with 1359: Wine could not start the service's process; "
                       "started once more\n");
                fflush(stdout);
                startError_ = StartServiceW(service.get(), 0, nullptr) ? 0 : GetLastError();
            }
        }
    }
    DWORD state = 0;
    DWORD processId = 0;
    bx::test::WaitUntil(
        [&] {
            SERVICE_STATUS_PROCESS status = Query();
            state = status.dwCurrentState;
            if (status.dwProcessId) processId = status.dwProcessId;
            return state == SERVICE_RUNNING || state == SERVICE_STOPPED;
        },
        timeoutMs, 20);
    if (processId) process_.reset(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return state;
}

DWORD AgentService::Control(DWORD control) {
    bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    bx::win::UniqueScHandle service(scm ? OpenServiceW(scm.get(), name_.c_str(),
                                                       SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL |
                                                           SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                                           SERVICE_QUERY_STATUS)
                                        : nullptr);
    DWORD error = service ? 0 : GetLastError();
    SERVICE_STATUS status{};
    if (service && !ControlService(service.get(), control, &status)) error = GetLastError();
    return error;
}

DWORD AgentService::Stop(DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64();
    Control(SERVICE_CONTROL_STOP);
    if (!WaitForState(SERVICE_STOPPED, timeoutMs)) return INFINITE;
    return static_cast<DWORD>(GetTickCount64() - start);
}

void AgentService::Remove() {
    {
        bx::win::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        bx::win::UniqueScHandle service(
            scm ? OpenServiceW(scm.get(), name_.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE) : nullptr);
        if (service) {
            SERVICE_STATUS status{};
            if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
                ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
                WaitForState(SERVICE_STOPPED, 30000);
            }
            DeleteService(service.get());
        }
    }
    if (process_) WaitForSingleObject(process_.get(), 30000);
    process_.reset();
}

std::string AgentService::Log() const { return bx::test::ReadFileBytes(dir_ + L"BXHVNAgent.log"); }

size_t AgentService::LogCount(const std::string& needle) const {
    std::string text = Log();
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

bool AgentService::WaitForLog(const std::string& needle, DWORD timeoutMs, size_t count) const {
    return bx::test::WaitUntil([&] { return LogCount(needle) >= count; }, timeoutMs, 20);
}

// ---------------------------------------------------------------------------

bool LoadDriver(std::string& why) {
    bx::sim::DriverFailure failure;
    uint32_t error = bx::sim::LoadDriverService(bx::test::ExeDirectory() + L"bxhvnd.sys", failure);
    if (error == 0) return true;
    why = bx::test::Narrow(failure.step) + " failed Error:" + std::to_string(error);
    return false;
}

void UnloadDriver() {
    bx::sim::DriverFailure failure;
    bx::sim::UnloadDriverService(failure);
}

DriverFeeder::DriverFeeder()
    : device_(CreateFileW(SNOOP_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr)) {}

DriverFeeder::~DriverFeeder() = default;

DWORD DriverFeeder::Inject(const snoop_event_t& record) { return bx::sim::InjectSnoopEvent(device_.get(), record); }

uint16_t NetPort(uint16_t hostOrder) { return htons(hostOrder); }

uint32_t Address(const char* dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return a << 24 | b << 16 | c << 8 | d;
}

snoop_event_t OpenRecord(uint8_t protocol, const char* local, uint16_t localPort, const char* remote,
                         uint16_t remotePort, uint32_t session, uint64_t fileObject, PSID sid) {
    snoop_event_t record;
    std::memset(&record, 0, sizeof record);
    record.protocol = protocol;
    record.event_type = SNOOP_EVENT_OPEN;
    record.local_ip = Address(local);
    record.local_port = NetPort(localPort);
    record.remote_ip = remote ? Address(remote) : 0;
    record.remote_port = NetPort(remotePort);
    record.process_id = 4242;
    record.session_id = session;
    record.file_object = fileObject;
    if (sid) std::memcpy(record.sid, sid, GetLengthSid(sid));
    return record;
}

snoop_event_t CleanupRecord(const char* local, uint16_t localPort, uint64_t fileObject) {
    snoop_event_t record;
    std::memset(&record, 0, sizeof record);
    record.event_type = SNOOP_EVENT_CLEANUP;
    record.local_ip = Address(local);
    record.local_port = NetPort(localPort);
    record.file_object = fileObject;
    return record;
}

namespace {

Account Describe(PSID sid) {
    Account account;
    account.sid.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    wchar_t name[256], domain[256];
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        account.name = bx::test::Narrow(name);
        account.domain = bx::test::Narrow(domain);
    }
    bx::win::UniqueLocal text;
    if (ConvertSidToStringSidW(sid, reinterpret_cast<LPWSTR*>(text.put())))
        account.text = bx::test::Narrow(static_cast<const wchar_t*>(text.get()));
    return account;
}

}  // namespace

Account TokenUser() {
    bx::win::UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    DWORD size = 0;
    GetTokenInformation(token.get(), ::TokenUser, nullptr, 0, &size);
    std::vector<BYTE> info(size);
    GetTokenInformation(token.get(), ::TokenUser, info.data(), size, &size);
    token.reset();
    return Describe(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid);
}

Account WellKnown(const wchar_t* sidText) {
    bx::win::UniqueLocal sid;
    ConvertStringSidToSidW(sidText, sid.put());
    return Describe(sid.get());
}

// ---------------------------------------------------------------------------

void AgentFixture::SetUp() {
    network = ReadPeerNetwork();
    if (NeedsPeerNetwork()) BX_REQUIRE_PEER_NETWORK(network);
    settings.ip = bx::test::Widen(network.available ? network.peerIp : "127.0.0.1");
    settings.port = FreeUdpPort();
    settings.key = bx::test::Widen(kKey);
    ASSERT_NE(0u, settings.port);
}

void AgentFixture::TearDown() {
    if (service) {
        service->Remove();
        service.reset();
    }
    feeder.reset();
    peer.Stop();
    UnloadDriver();
    ClearAgentSettings();
}

void AgentFixture::StartPeer(const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"--listen", network.peerIp + ":" + std::to_string(settings.port), "--key",
                                          kKey};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::string why;
    ASSERT_TRUE(peer.Start(arguments, why)) << why;
}

void AgentFixture::InstallAgent(const wchar_t* program, bool withDriver) {
    if (withDriver) {
        std::string why;
        ASSERT_TRUE(LoadDriver(why)) << why;
    } else {
        UnloadDriver();
    }
    WriteAgentSettings(settings);
    program_ = program;
    service = std::make_unique<AgentService>(serviceName_, program);
    std::string output;
    ASSERT_EQ(0u, service->Install(output)) << output;
}

void AgentFixture::OpenFeeder() {
    feeder = std::make_unique<DriverFeeder>();
    ASSERT_TRUE(feeder->IsOpen()) << GetLastError();
}

void AgentFixture::Feed(const snoop_event_t& record) { ASSERT_EQ(0u, feeder->Inject(record)); }

std::string AgentFixture::Dump() const {
    std::string text = "peer:\n";
    std::vector<PeerLine> lines = peer.Lines();
    for (size_t i = lines.size() > dumpLines ? lines.size() - dumpLines : 0; i < lines.size(); ++i)
        text += lines[i].text + "\n";
    if (service) {
        std::string log = service->Log();
        text += "agent log:\n" + (log.size() > dumpLogBytes ? log.substr(log.size() - dumpLogBytes) : log);
    }
    return text;
}

bool ReadStatusFile(const std::wstring& path, std::vector<int32_t>& counters) {
    std::string bytes = bx::test::ReadFileBytes(path);
    counters.clear();
    if (bytes.size() != 40) return false;
    for (size_t i = 0; i < 10; ++i) {
        uint32_t value = 0;
        for (int b = 3; b >= 0; --b) value = value << 8 | static_cast<uint8_t>(bytes[i * 4 + b]);
        counters.push_back(static_cast<int32_t>(value));
    }
    return true;
}

}  // namespace bx::test::e2e
