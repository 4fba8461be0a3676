// What the appliance peer (sim/utm) printed, read back by the end-to-end
// tests of both agents (the Windows service under Wine, the Linux daemon):
// one line per datagram, its first word and its key=value fields
// (sim/utm/README.md). Portable.
#pragma once
#include <gtest/gtest.h>

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

// What one notification must be, as the peer decoded it. A field left empty
// must be absent from the line.
struct ExpectedNotification {
    enum class Names {
        Encrypted,  // user and domain (or server) under a random IV
        Clear,      // no names, in clear (the appliance knows the session)
        Either,     // whichever: the acknowledgement may or may not be in yet
    };
    std::string kind = "connection";  // or "logoff"
    std::string op, proto, port, ips, dst, dport, session;
    std::string conntype = "user";
    Names names = Names::Either;
    std::string user, domain;  // with Names::Encrypted; the domain's case is free
};

// The checks the end-to-end tests of both agents make of a notification: a
// whole datagram of the agent's format (version 2, its signature, message
// type notification, no unknown TLV), the expected fields, and names only
// under a random IV with the agent's cipher padding.
::testing::AssertionResult NotificationIs(const PeerLine& line, const ExpectedNotification& expected);

}  // namespace bx::test::e2e
