// The Linux agent's settings file, /etc/bxhvns/agent.conf (Linux only).
//
// One "name = value" per line; "#" starts a comment that runs to the end of
// the line; blank lines are ignored. Names are those of the Windows agent's
// registry values, with their meanings and compared without regard to case:
//
//   ip        the appliance's address: a dotted IPv4 address or a host name
//   port      the appliance's UDP port, 1-65535 (also the agent's own port)
//   key       the shared key: an even number of hexadecimal digits, at most 16
//   TimeOut   seconds before an unanswered notification is sent again, 1-3600
//   Retries   how often it is sent again, 0-100
//   verbose   0 or 1: debug lines in the log
//
// and one of the Linux agent's own:
//
//   cgroup    the cgroup (version 2) whose processes' connections are
//             reported: an absolute path (default: the cgroup2 root)
//
// A value left out takes the Windows agent's default. The file holds the
// shared key, so it must belong to root and give nobody else any access
// (mode 0600 or 0400); a symbolic link is not followed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bx::settings {

constexpr char kAgentConfPath[] = "/etc/bxhvns/agent.conf";
// The file is read whole; a longer one is refused.
constexpr size_t kMaxAgentConfBytes = 65536;

// One value as the settings store holds it (registry types and bytes:
// strings UTF-16LE with their NUL, numbers 32-bit little-endian).
struct ConfValue {
    std::wstring name;  // canonical spelling ("TimeOut")
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct AgentConf {
    std::vector<ConfValue> values;  // the registry values given, in file order
    std::string cgroup;             // empty: not given
    bool Has(const wchar_t* name) const;
};

// Parses the file's text. 0 with the settings, or 13 with `error` naming the
// line and what is wrong with it ("line 3: port must be a number from 1 to
// 65535, not \"70000\"").
uint32_t ParseAgentConf(const std::string& text, AgentConf& conf, std::string& error);

// Reads and parses the file at `path`. 0; 2 when it does not exist; 5 when
// it is not a regular file of root's that only root may read and write (or a
// symbolic link); 13 when it is malformed or too long; or the system's error
// of reading it. `error` says which, with the path.
uint32_t ReadAgentConf(const std::string& path, AgentConf& conf, std::string& error);

// Makes the settings store's key `keyPath` hold exactly these values (what
// it held before, subkeys included, is removed first). 0 or the store's error.
uint32_t StoreAgentConf(const wchar_t* keyPath, const AgentConf& conf);

}  // namespace bx::settings
