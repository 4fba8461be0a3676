// The syslog sink: each message as one UDP datagram to a syslog server.
#include <cstdio>

#include "logger/src/logger_impl.h"
#include "logger/src/subnet.h"

namespace bx::log {
namespace {

constexpr size_t kDatagramBytes = 1023;

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
    // A host whose name has no IPv4 address can still log to its files and
    // to a syslog server: the failure is noted, not fatal.
    error = os::LocalAddress(s.localAddress);
    if (error) {
        s.localAddress = 0;
        s.text = FormatText(113, SystemErrorText(error).c_str());
    }
    s.port = os::SyslogServicePort();
    error = os::AdapterNetMask(s.netMask);
    if (error) {
        s.text = FormatText(115, SystemErrorText(error).c_str());
        s.netMask = ClassNetMask(s.localAddress);
    }
    return BXLOG_OK;
}

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
    SyslogObject& s = log.syslog;
    std::lock_guard<std::mutex> lock(s.lock);
    std::string name = os::ToMultiByte(server, wcslen(server));
    // Another server is resolved anew at the next message.
    if (name != s.serverName) s.serverAddress = 0;
    s.serverName = std::move(name);
    s.port = port;
    log.sinks |= kSinkSyslog;
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
    log.sinks &= ~kSinkSyslog;
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

uint32_t WriteSyslog(BXLogger_s& log, uint32_t priority, const wchar_t* message) {
    SyslogObject& s = log.syslog;
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.serverName.empty()) {
        SetSyslogError(log, Text(116));
        return BXLOG_INVALID_PARAMETER;
    }
    std::string datagram = SyslogDatagram(priority, message);
    if (!s.serverAddress) {
        uint32_t address = 0;
        uint32_t error = os::ResolveHost(s.serverName, address);
        if (error) {
            SetSyslogError(log, FormatText(121, Widen(s.serverName).c_str()));
            return error;
        }
        s.serverAddress = address;
        if (InLocalSubnet(s.localAddress, address, s.netMask) && !IsSubnetBroadcast(address, s.netMask) &&
            !os::ArpAnswers(address, s.localAddress))
            SetSyslogError(log, Text(122));  // the datagram is sent all the same
    }
    const bool broadcast = IsSubnetBroadcast(s.serverAddress, s.netMask);
    bool socketFailed = false;
    uint32_t error = os::SendDatagram(datagram, s.serverAddress, s.port, broadcast, socketFailed);
    if (error && socketFailed) {
        SetSyslogError(log, FormatText(120, SystemErrorText(error).c_str()));
        return error;
    }
    if (error && !os::IsMessageTooLong(error)) {
        SetSyslogError(log, FormatText(118, SystemErrorText(error).c_str()));
        return error;
    }
    return BXLOG_OK;
}

}  // namespace bx::log
