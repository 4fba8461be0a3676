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

}  // namespace bx::test::e2e
