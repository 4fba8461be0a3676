#include "bench/agent_feed.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "agent/settings/settings_reader.h"
#include "platform/udp_socket.h"

namespace bx::bench {

std::string Quiet(const std::string& command) { return command + " >/dev/null 2>&1"; }

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string EnvValue(const std::string& env, const std::string& key) {
    size_t at = env.find(key + "=");
    if (at == std::string::npos) return {};
    size_t end = env.find('\n', at);
    return env.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

uint16_t FreeUdpPort() {
    bx::net::UdpSocket probe;
    uint16_t port = 0;
    if (probe.Create() == 0 && probe.Bind(bx::net::kAnyAddress, 0) == 0) probe.LocalPort(port);
    return port;
}

void SetString(bx::settings::Key& key, const wchar_t* name, const std::wstring& text) {
    std::vector<uint8_t> bytes = bx::StoredBytesFromText(text);
    key.SetValue(name, bx::settings::kTypeString, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void SetDword(bx::settings::Key& key, const wchar_t* name, uint32_t value) {
    key.SetValue(name, bx::settings::kTypeDword, &value, sizeof value);
}

snoop_event_t Record(uint32_t index, bool open, const CSid& sid) {
    snoop_event_t record;
    std::memset(&record, 0, sizeof record);
    record.protocol = SNOOP_PROTOCOL_TCP;
    record.event_type = open ? SNOOP_EVENT_OPEN : SNOOP_EVENT_CLEANUP;
    record.local_ip = 0x0A010000u | (index >> 14);  // 10.1.x.y: 16384 ports per address
    uint16_t port = static_cast<uint16_t>(40000 + (index & 0x3FFF));
    record.local_port = static_cast<uint16_t>(port >> 8 | port << 8);
    record.remote_ip = 0x5DB8D822u;  // 93.184.216.34
    record.remote_port = static_cast<uint16_t>(443 >> 8 | (443 & 0xFF) << 8);
    record.process_id = 4242;
    record.session_id = 2;
    record.file_object = 0x10000 + index;
    std::memcpy(record.sid, sid.Data(), sid.Length());
    return record;
}

}  // namespace bx::bench
