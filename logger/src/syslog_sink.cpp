// The syslog sink: each message as one UDP datagram to a syslog server.
#include <cstdio>

#include "logger/src/logger_impl.h"
#include "logger/src/subnet.h"

namespace bx::log {
namespace {

constexpr size_t kDatagramBytes = 1023;

// Under the syslog object's lock.
void SetSyslogError(BXLogger_s& log, std::wstring text) {
    log.syslog.text = std::move(text);
    log.SetError(log.syslog.text);
}

std::wstring Widen(const std::string& bytes) {
    std::wstring out;
    for (unsigned char c : bytes) out += static_cast<wchar_t>(c);
    return out;
}

}  // namespace

uint32_t StartSyslog(BXLogger_s& log) {
    SyslogObject& s = log.syslog;
    std::lock_guard<std::mutex> lock(s.lock);
    s.text = Text(102);
    uint32_t error = os::SocketStartup();
    if (error) {
        s.text = FormatText(112, SystemErrorText(error).c_str());
        return error;
    }
    s.socketsStarted = true;
    s.port = os::SyslogServicePort();
    return BXLOG_OK;
}

namespace {

// The local address and net mask the ARP and broadcast rules need, looked up
// once, at the first AddSyslogServer, without the lock held: a logger that
// never gets a syslog server asks for nothing. A host whose name has no IPv4
// address can still log to a syslog server: the failure is noted, not fatal.
void LookUpLocalAddress(BXLogger_s& log) {
    SyslogObject& s = log.syslog;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.localKnown) return;
    }
    std::wstring text;
    uint32_t local = 0, mask = 0;
    if (uint32_t error = os::LocalAddress(local)) {
        local = 0;
        text = FormatText(113, SystemErrorText(error).c_str());
    }
    if (uint32_t error = os::AdapterNetMask(mask)) {
        text = FormatText(115, SystemErrorText(error).c_str());
        mask = ClassNetMask(local);
    }
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.localKnown) return;
    s.localKnown = true;
    s.localAddress = local;
    s.netMask = mask;
    if (!text.empty()) s.text = std::move(text);
}

struct SyslogTarget {
    uint32_t address = 0;
    uint16_t port = 0;
    bool broadcast = false;
};

// The server's address: resolved by the first message that needs it (dotted
// IPv4 text directly, else a host-name look-up), then asked for by ARP when it
// lies in the local subnet. 0 with the target, or the message's result.
uint32_t ResolveServer(BXLogger_s& log, bool mayWait, SyslogTarget& target) {
    SyslogObject& s = log.syslog;
    std::unique_lock<std::mutex> lock(s.lock);
    for (;;) {
        if (s.serverName.empty()) {
            SetSyslogError(log, Text(116));
            return BXLOG_INVALID_PARAMETER;
        }
        if (s.serverAddress) {
            target = {s.serverAddress, s.port, IsSubnetBroadcast(s.serverAddress, s.netMask)};
            return BXLOG_OK;
        }
        if (s.lookupError && std::chrono::steady_clock::now() < s.retryAt) {
            SetSyslogError(log, FormatText(121, Widen(s.serverName).c_str()));
            return s.lookupError;
        }
        if (s.resolving) {
            if (!mayWait) return BXLOG_BUSY;
            s.resolved.wait(lock);
            continue;
        }

        s.resolving = true;
        const std::string name = s.serverName;
        const uint64_t generation = s.generation;
        const uint32_t local = s.localAddress, mask = s.netMask;
        lock.unlock();
        uint32_t address = 0;
        const uint32_t error = os::ResolveHost(name, address);
        const bool arpFailed = !error && InLocalSubnet(local, address, mask) && !IsSubnetBroadcast(address, mask) &&
                               !os::ArpAnswers(address, local);
        lock.lock();
        s.resolving = false;
        s.resolved.notify_all();
        if (generation != s.generation) continue;  // another server came meanwhile: this message goes there
        if (error) {
            s.lookupError = error;
            s.retryAt = std::chrono::steady_clock::now() + kSyslogLookupRetry;
            continue;  // text 121 and the error, above
        }
        s.lookupError = 0;
        s.serverAddress = address;
        if (arpFailed) SetSyslogError(log, Text(122));  // the datagram is sent all the same
    }
}

}  // namespace

void StopSyslog(BXLogger_s& log) {
    std::lock_guard<std::mutex> lock(log.syslog.lock);
    if (log.syslog.socketsStarted) os::SocketCleanup();
    log.syslog.socketsStarted = false;
}

uint32_t AddSyslogServer(BXLogger_s& log, const wchar_t* server, uint16_t port) {
    if (!server) {
        log.SetError(L"Could not add to SyslogServer server is NULL.\n");
        return BXLOG_INVALID_PARAMETER;
    }
    LookUpLocalAddress(log);
    SyslogObject& s = log.syslog;
    std::lock_guard<std::mutex> lock(s.lock);
    std::string name = os::ToMultiByte(server, wcslen(server));
    // Another server is resolved anew at the next message.
    if (name != s.serverName) {
        s.serverAddress = 0;
        s.lookupError = 0;
        ++s.generation;
    }
    s.serverName = std::move(name);
    s.port = port;
    log.sinks.fetch_or(kSinkSyslog);
    return BXLOG_OK;
}

uint32_t RemoveSyslogServer(BXLogger_s& log, const wchar_t* server) {
    if (!server) {
        log.SetError(L"Could not remove from SyslogServer server is NULL.\n");
        return BXLOG_INVALID_PARAMETER;
    }
    SyslogObject& s = log.syslog;
    std::lock_guard<std::mutex> lock(s.lock);
    if (os::ToMultiByte(server, wcslen(server)) != s.serverName) {
        log.SetError(s.text);
        return BXLOG_INVALID_PARAMETER;
    }
    s.serverName.clear();
    s.serverAddress = 0;
    s.lookupError = 0;
    ++s.generation;
    log.sinks.fetch_and(~kSinkSyslog);
    return BXLOG_OK;
}

std::string SyslogDatagram(uint32_t priority, const std::wstring& message) {
    char prefix[16];
    int n = snprintf(prefix, sizeof prefix, "<%u>", priority | 8u);
    std::string datagram(prefix, static_cast<size_t>(n));
    const size_t room = kDatagramBytes - datagram.size();
    std::string text = os::ToMultiByte(message.data(), message.size());
    if (text.size() <= room) return datagram + text;
    // Too long: whole characters (a surrogate pair is one) while they fit.
    for (size_t at = 0; at < message.size();) {
        size_t units = 1;
        if (sizeof(wchar_t) == 2 && message[at] >= 0xD800 && message[at] <= 0xDBFF && at + 1 < message.size() &&
            message[at + 1] >= 0xDC00 && message[at + 1] <= 0xDFFF)
            units = 2;
        std::string character = os::ToMultiByte(message.data() + at, units);
        if (datagram.size() + character.size() > kDatagramBytes) break;
        datagram += character;
        at += units;
    }
    return datagram;
}

uint32_t WriteSyslog(BXLogger_s& log, uint32_t priority, const wchar_t* message, bool mayWait) {
    SyslogTarget target;
    if (uint32_t result = ResolveServer(log, mayWait, target)) return result;
    const std::string datagram = SyslogDatagram(priority, message);
    bool socketFailed = false;
    uint32_t error = os::SendDatagram(datagram, target.address, target.port, target.broadcast, socketFailed);
    if (error && socketFailed) {
        std::lock_guard<std::mutex> lock(log.syslog.lock);
        SetSyslogError(log, FormatText(120, SystemErrorText(error).c_str()));
        return error;
    }
    if (error && !os::IsMessageTooLong(error)) {
        std::lock_guard<std::mutex> lock(log.syslog.lock);
        SetSyslogError(log, FormatText(118, SystemErrorText(error).c_str()));
        return error;
    }
    return BXLOG_OK;
}

}  // namespace bx::log
