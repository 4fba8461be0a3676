#include "sim/snoopctl/scenario.h"

#include <cstring>
#include <optional>

#include "platform/accounts.h"

namespace bx::sim {
namespace {

struct ParseError {
    std::string message;
};

std::string Lower(std::string_view word) {
    std::string out(word);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Quoted(std::string_view word) { return "'" + std::string(word) + "'"; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> SplitWords(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A decimal number or 0x and hexadecimal digits, the whole word, at most max.
std::optional<uint64_t> ReadNumber(std::string_view word, uint64_t max) {
    unsigned base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : word) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        if (value > (max - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

bool LooksNumeric(std::string_view word) { return !word.empty() && word[0] >= '0' && word[0] <= '9'; }

// Decimal digits, or 0x and hexadecimal digits.
bool IsNumberWord(std::string_view word) {
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        return word.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos;
    return !word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos;
}

uint64_t Number(std::string_view word, uint64_t max, const std::string& what) {
    if (!IsNumberWord(word))
        throw ParseError{"bad number " + Quoted(word) + " for " + what +
                         " (expected decimal digits or 0x and hex digits)"};
    if (auto value = ReadNumber(word, max)) return *value;
    throw ParseError{what + " " + Quoted(word) + " is too large (at most " + std::to_string(max) + ")"};
}

struct Endpoint {
    uint32_t ip = 0;    // host byte order
    uint16_t port = 0;  // host byte order
};

std::optional<Endpoint> ReadEndpoint(std::string_view word) {
    size_t colon = word.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view ip = word.substr(0, colon);
    std::string_view port = word.substr(colon + 1);
    Endpoint endpoint;
    for (int part = 0; part < 4; ++part) {
        size_t dot = part < 3 ? ip.find('.') : ip.size();
        if (dot == std::string_view::npos) return std::nullopt;
        std::string_view digits = ip.substr(0, dot);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        auto value = ReadNumber(digits, 255);
        if (!value) return std::nullopt;
        endpoint.ip = (endpoint.ip << 8) | static_cast<uint32_t>(*value);
        ip.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    auto value = ReadNumber(port, 65535);
    if (!value) return std::nullopt;
    endpoint.port = static_cast<uint16_t>(*value);
    return endpoint;
}

Endpoint Address(std::string_view word, const char* which) {
    if (auto endpoint = ReadEndpoint(word)) return *endpoint;
    if (word.find("->") != std::string_view::npos)
        throw ParseError{"'->' is a word of its own: put blanks around it in " + Quoted(word)};
    size_t colon = word.rfind(':');
    if (colon != std::string_view::npos && ReadEndpoint(std::string(word.substr(0, colon)) + ":0")) {
        throw ParseError{std::string("bad port in ") + which + " address " + Quoted(word) +
                         " (expected a decimal port 0 to 65535)"};
    }
    throw ParseError{std::string("bad ") + which + " address " + Quoted(word) + " (expected a.b.c.d:port)"};
}

// Ports travel in network byte order: the high byte first in memory.
uint16_t NetworkOrder(uint16_t port) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::optional<uint32_t> ReadProtocol(std::string_view word) {
    std::string lower = Lower(word);
    if (lower == "tcp") return SNOOP_PROTOCOL_TCP;
    if (lower == "udp") return SNOOP_PROTOCOL_UDP;
    if (word.find_first_of(":.") == std::string_view::npos && LooksNumeric(word))
        return static_cast<uint32_t>(Number(word, UINT32_MAX, "protocol"));
    return std::nullopt;
}

void ReadSid(std::string_view word, uint8_t (&sid)[SNOOP_SID_MAX]) {
    std::memset(sid, 0, sizeof sid);
    if (Lower(word) == "none") return;
    std::wstring wide(word.begin(), word.end());
    std::vector<uint8_t> bytes;
    uint32_t error = bx::accounts::StringToSid(wide.c_str(), bytes);
    // Wine's ConvertStringSidToSidW builds SIDs of more than 15 sub-authorities,
    // which do not fit the record and are not valid SIDs.
    if (error == 0 && (bytes.empty() || bytes.size() > SNOOP_SID_MAX)) error = 1337;  // ERROR_INVALID_SID
    if (error != 0) {
        throw ParseError{"bad SID " + Quoted(word) +
                         " (expected its string form, as S-1-5-21-1-2-3-1001, or none; error " + std::to_string(error) +
                         ")"};
    }
    std::memcpy(sid, bytes.data(), bytes.size());
}

enum Key { kPid, kSession, kSid, kFile, kPending, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"pid", "session", "sid", "file", "pending"};

// open, cleanup and event: everything after the statement's first word.
snoop_event_t ParseEventStatement(const std::string& verb, const std::vector<std::string_view>& words) {
    snoop_event_t event = {};
    size_t i = 1;
    const bool isOpen = verb == "open";
    const bool isCleanup = verb == "cleanup";
    auto at = [&](size_t k) -> std::string_view { return k < words.size() ? words[k] : std::string_view(); };

    if (isOpen) {
        event.event_type = SNOOP_EVENT_OPEN;
    } else if (isCleanup) {
        event.event_type = SNOOP_EVENT_CLEANUP;
    } else {
        if (at(i).empty()) throw ParseError{"event needs its type, a number (0 open, 1 cleanup, others are ignored)"};
        if (!LooksNumeric(at(i)))
            throw ParseError{"bad event type " + Quoted(at(i)) +
                             " (expected a number: 0 open, 1 cleanup, others are ignored)"};
        event.event_type = static_cast<uint32_t>(Number(at(i), UINT32_MAX, "event type"));
        ++i;
    }

    if (auto protocol = at(i).empty() ? std::nullopt : ReadProtocol(at(i))) {
        event.protocol = *protocol;
        ++i;
    } else if (isOpen) {
        throw ParseError{"open needs a protocol (tcp, udp or a number) before the local address" +
                         (at(i).empty() ? std::string() : ", found " + Quoted(at(i)))};
    }

    bool haveLocal = false;
    if (!at(i).empty() && at(i).find(':') != std::string_view::npos) {
        Endpoint local = Address(at(i), "local");
        event.local_ip = local.ip;
        event.local_port = NetworkOrder(local.port);
        haveLocal = true;
        ++i;
    } else if (isOpen || isCleanup) {
        throw ParseError{verb + " needs the local address a.b.c.d:port" +
                         (at(i).empty() ? std::string() : ", found " + Quoted(at(i)))};
    }

    if (at(i) == "->") {
        if (!haveLocal) throw ParseError{"'->' must follow the local address"};
        if (at(i + 1).empty()) throw ParseError{"'->' must be followed by the remote address a.b.c.d:port"};
        Endpoint remote = Address(at(i + 1), "remote");
        event.remote_ip = remote.ip;
        event.remote_port = NetworkOrder(remote.port);
        i += 2;
    }

    bool seen[kKeyCount] = {};
    for (; i < words.size(); i += 2) {
        std::string key = Lower(words[i]);
        int which = -1;
        for (int k = 0; k < kKeyCount; ++k)
            if (key == kKeyNames[k]) which = k;
        if (which < 0) {
            if (words[i] == "->") throw ParseError{"'->' and the remote address must follow the local address"};
            throw ParseError{"unknown word " + Quoted(words[i]) + " (expected pid, session, sid, file or pending)"};
        }
        if (seen[which]) throw ParseError{Quoted(key) + " is given twice"};
        seen[which] = true;
        if (i + 1 >= words.size()) throw ParseError{Quoted(key) + " needs a value"};
        std::string_view value = words[i + 1];
        switch (which) {
            case kPid:
                event.process_id = Number(value, UINT64_MAX, "pid");
                break;
            case kSession:
                event.session_id = static_cast<uint32_t>(Number(value, UINT32_MAX, "session"));
                break;
            case kSid:
                ReadSid(value, event.sid);
                break;
            case kFile:
                event.file_object = Number(value, UINT64_MAX, "file");
                break;
            case kPending:
                event.pending = static_cast<uint32_t>(Number(value, UINT32_MAX, "pending"));
                break;
        }
    }

    const std::vector<int> required = isOpen      ? std::vector<int>{kPid, kSession, kSid, kFile}
                                      : isCleanup ? std::vector<int>{kFile}
                                                  : std::vector<int>{};
    for (int k : required) {
        if (!seen[k]) {
            throw ParseError{verb + " needs '" + kKeyNames[k] + " " +
                             (k == kSid    ? "<SID>"
                              : k == kFile ? "<file object>"
                                           : "<number>") +
                             "'"};
        }
    }
    return event;
}

ScenarioStep ParseStatement(std::string_view statement, int line) {
    std::vector<std::string_view> words = SplitWords(statement);
    ScenarioStep step;
    step.line = line;
    std::string verb = Lower(words[0]);
    if (verb == "sleep") {
        if (words.size() < 2) throw ParseError{"sleep needs a time in milliseconds"};
        if (words.size() > 2) throw ParseError{"sleep takes one number, found " + Quoted(words[2]) + " after it"};
        step.kind = ScenarioStep::Kind::Sleep;
        step.sleepMs = static_cast<uint32_t>(Number(words[1], kMaxSleepMs, "sleep"));
        return step;
    }
    if (verb == "open" || verb == "cleanup" || verb == "event") {
        step.kind = ScenarioStep::Kind::Send;
        step.event = ParseEventStatement(verb, words);
        return step;
    }
    throw ParseError{"unknown statement " + Quoted(words[0]) + " (expected open, cleanup, event or sleep)"};
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

Scenario ParseScenario(std::string_view text) {
    Scenario scenario;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    int line = 0;
    while (!text.empty()) {
        ++line;
        size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        std::string_view statement = Trim(raw.substr(0, raw.find('#')));
        if (statement.empty()) continue;
        try {
            ScenarioStep step = ParseStatement(statement, line);
            step.text = std::string(statement);
            scenario.steps.push_back(std::move(step));
        } catch (const ParseError& error) {
            scenario.errors.push_back({line, error.message});
        }
    }
    return scenario;
}

std::string FormatScenarioError(const std::string& sourceName, const ScenarioError& error) {
    return sourceName + ":" + std::to_string(error.line) + ": " + error.message;
}

}  // namespace bx::sim
