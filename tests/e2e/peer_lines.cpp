#include "tests/e2e/peer_lines.h"

#include <cctype>

namespace bx::test::e2e {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<PeerLine> ParsePeerOutput(const std::string& text) {
    std::vector<PeerLine> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // a line still being written
        std::string raw = text.substr(at, end - at);
        at = end + 1;
        PeerLine line;
        line.text = raw;
        size_t i = raw.find(' ');
        line.word = raw.substr(0, i);
        while (i != std::string::npos && i < raw.size()) {
            while (i < raw.size() && raw[i] == ' ') ++i;
            size_t eq = raw.find('=', i);
            if (eq == std::string::npos) break;
            std::string key = raw.substr(i, eq - i);
            std::string value;
            size_t j = eq + 1;
            if (j < raw.size() && raw[j] == '"') {
                ++j;
                while (j < raw.size() && raw[j] != '"') {
                    if (raw[j] == '\\' && j + 1 < raw.size()) ++j;
                    value += raw[j++];
                }
                ++j;
            } else {
                while (j < raw.size() && raw[j] != ' ') value += raw[j++];
            }
            line.fields[key] = value;
            i = j;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

::testing::AssertionResult NotificationIs(const PeerLine& line, const ExpectedNotification& expected) {
    std::string wrong;
    auto field = [&](const char* key, const std::string& want) {
        const std::string got = line[key];
        if (want.empty() ? line.Has(key) : got != want)
            wrong += std::string(" ") + key + "=" + (line.Has(key) ? got : "(absent)") + " instead of " +
                     (want.empty() ? "(absent)" : want) + ";";
    };
    if (line.word != "rx" || !line.Has("notif")) wrong += " not a notification;";
    field("status", "ok");
    field("ver", "2");
    field("type", "notification");
    field("sig", "0xdeadbeef");
    field("kind", expected.kind);
    field("op", expected.op);
    field("proto", expected.proto);
    field("port", expected.port);
    field("ips", expected.ips);
    field("dst", expected.dst);
    field("dport", expected.dport);
    field("session", expected.session);
    field("conntype", expected.conntype);
    field("unknown", "");
    using Names = ExpectedNotification::Names;
    const bool carries = line.Has("user");
    if (carries || expected.names == Names::Encrypted) {
        // Names travel only encrypted, with the agent's padding.
        field("iv", "random");
        field("cipherpad", "ok");
    } else {
        field("iv", "clear");
    }
    if (expected.names == Names::Clear && carries) wrong += " names where none belong;";
    if (expected.names == Names::Encrypted) {
        field("user", expected.user);
        const std::string domain = line.Has("domain") ? line["domain"] : line["server"];
        if (Lower(domain) != Lower(expected.domain))
            wrong += " domain/server=" + domain + " instead of " + expected.domain + ";";
    }
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "notification" << wrong << "\n  " << line.text;
}

}  // namespace bx::test::e2e
