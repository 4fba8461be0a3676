// What the appliance peer (sim/utm) printed, read back by the end-to-end
// tests of both agents (the Windows service under Wine, the Linux daemon):
// one line per datagram, its first word and its key=value fields
// (sim/utm/README.md). Portable.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace bx::test::e2e {

// One line the peer printed: its first word and its key=value fields.
struct PeerLine {
    std::string word;
    std::map<std::string, std::string> fields;
    std::string text;
    bool Has(const std::string& key) const { return fields.count(key) != 0; }
    std::string operator[](const std::string& key) const {
        auto found = fields.find(key);
        return found == fields.end() ? std::string() : found->second;
    }
    // A datagram of the agent: "rx" with kind connection or logoff.
    bool IsNotification() const { return word == "rx" && Has("notif"); }
};
std::vector<PeerLine> ParsePeerOutput(const std::string& text);

std::string Lower(std::string text);

}  // namespace bx::test::e2e
