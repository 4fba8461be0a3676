// The settings file: parsing, the checks on the file itself, and the values
// handed to the settings store.
#include "platform/linux/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/case_fold.h"
#include "platform/errors.h"
#include "platform/settings_store.h"
#include "platform/utf8.h"

namespace bx::settings {
namespace {

enum class Kind { Address, Number, Key, Path };

struct Known {
    const char* name;
    Kind kind;
    uint32_t min, max;
};

const Known kKnown[] = {
    {"ip", Kind::Address, 0, 0},        {"port", Kind::Number, 1, 65535},  {"key", Kind::Key, 0, 0},
    {"TimeOut", Kind::Number, 1, 3600}, {"Retries", Kind::Number, 0, 100}, {"verbose", Kind::Number, 0, 1},
    {"cgroup", Kind::Path, 0, 0},
};

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldChar(static_cast<wchar_t>(static_cast<unsigned char>(a[i]))) !=
            FoldChar(static_cast<wchar_t>(static_cast<unsigned char>(b[i]))))
            return false;
    return true;
}

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
    return text.substr(begin, end - begin);
}

// The text as it may appear in an error line: printable ASCII as it is,
// everything else as \xNN, cut after 64 characters.
std::string Shown(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 64; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > 64) out += "...";
    return out + "\"";
}

bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool IsDottedQuad(const std::string& text) {
    int groups = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = i;
        uint32_t value = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && j - i < 3)
            value = value * 10 + static_cast<uint32_t>(text[j++] - '0');
        if (j == i || value > 255) return false;
        ++groups;
        if (j == text.size()) break;
        if (text[j] != '.') return false;
        i = j + 1;
    }
    return groups == 4;
}

// A dotted IPv4 address, or a host name of letters, digits, "-", "_" and
// labels between dots (at most 253 characters).
bool IsAddress(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    bool digitsAndDots = true, letter = false;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!digit && c != '.') digitsAndDots = false;
        if (alpha) letter = true;
        if (!digit && !alpha && c != '.' && c != '-' && c != '_') return false;
    }
    if (digitsAndDots) return IsDottedQuad(text);
    if (!letter || text.front() == '.' || text.front() == '-' || text.find("..") != std::string::npos) return false;
    return true;
}

bool IsKey(const std::string& text) {
    if (text.empty() || text.size() > 16 || text.size() % 2 != 0) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

ConfValue StringValue(const char* name, const std::string& text) {
    ConfValue value;
    value.name = WideFromUtf8(name, std::strlen(name));
    value.type = kTypeString;
    for (char c : text) {  // the text is ASCII (checked): one UTF-16 unit each
        value.data.push_back(static_cast<uint8_t>(c));
        value.data.push_back(0);
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

ConfValue NumberValue(const char* name, uint32_t number) {
    ConfValue value;
    value.name = WideFromUtf8(name, std::strlen(name));
    value.type = kTypeDword;
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(number >> shift));
    return value;
}

std::string LineError(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

}  // namespace

bool AgentConf::Has(const wchar_t* name) const {
    for (const ConfValue& value : values)
        if (value.name == name) return true;
    return false;
}

uint32_t ParseAgentConf(const std::string& text, AgentConf& result, std::string& error) {
    result = AgentConf{};
    error.clear();
    AgentConf conf;
    size_t seenOn[sizeof kKnown / sizeof kKnown[0]] = {};
    size_t lineNumber = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        for (char c : line) {
            const unsigned char u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u >= 0x7F) {
                error = LineError(lineNumber, "only printable ASCII characters are allowed: " + Shown(line));
                return err::kInvalidData;
            }
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            error = LineError(lineNumber, "expected \"name = value\", not " + Shown(line));
            return err::kInvalidData;
        }
        const std::string name = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        size_t index = 0;
        while (index < sizeof kKnown / sizeof kKnown[0] && !SameName(name, kKnown[index].name)) ++index;
        if (index == sizeof kKnown / sizeof kKnown[0]) {
            error = LineError(lineNumber, "unknown setting " + Shown(name) +
                                              " (known: ip, port, key, TimeOut, Retries, verbose, cgroup)");
            return err::kInvalidData;
        }
        const Known& known = kKnown[index];
        if (seenOn[index] != 0) {
            error = LineError(lineNumber, std::string(known.name) + " is given twice (first on line " +
                                              std::to_string(seenOn[index]) + ")");
            return err::kInvalidData;
        }
        seenOn[index] = lineNumber;
        switch (known.kind) {
            case Kind::Address:
                if (!IsAddress(value)) {
                    error =
                        LineError(lineNumber, "ip must be a dotted IPv4 address or a host name, not " + Shown(value));
                    return err::kInvalidData;
                }
                conf.values.push_back(StringValue(known.name, value));
                break;
            case Kind::Number: {
                uint32_t number = 0;
                if (!ParseNumber(value, number) || number < known.min || number > known.max) {
                    error = LineError(lineNumber, std::string(known.name) + " must be a number from " +
                                                      std::to_string(known.min) + " to " + std::to_string(known.max) +
                                                      ", not " + Shown(value));
                    return err::kInvalidData;
                }
                conf.values.push_back(NumberValue(known.name, number));
                break;
            }
            case Kind::Key:
                if (!IsKey(value)) {
                    error = LineError(lineNumber, "key must be an even number of hexadecimal digits, at most 16, not " +
                                                      std::to_string(value.size()) + " characters " + Shown(value));
                    return err::kInvalidData;
                }
                conf.values.push_back(StringValue(known.name, value));
                break;
            case Kind::Path:
                if (value.empty() || value[0] != '/' || value.find(' ') != std::string::npos ||
                    value.find('\t') != std::string::npos || value.size() > 4096) {
                    error = LineError(lineNumber, "cgroup must be an absolute path, not " + Shown(value));
                    return err::kInvalidData;
                }
                conf.cgroup = value;
                break;
        }
    }
    result = std::move(conf);
    return 0;
}

uint32_t ReadAgentConf(const std::string& path, AgentConf& conf, std::string& error) {
    conf = AgentConf{};
    error.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT) {
            error = path + " does not exist";
            return err::kFileNotFound;
        }
        if (e == ELOOP) {
            error = path + " is a symbolic link: the settings must be a file of root's";
            return err::kAccessDenied;
        }
        error = path + " cannot be opened: " + std::strerror(e);
        return e == EACCES || e == EPERM ? err::kAccessDenied : err::kGenFailure;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        error = path + " cannot be examined: " + std::strerror(e);
        return err::kGenFailure;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    uint32_t refused = 0;
    if (!S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        refused = err::kAccessDenied;
    } else if (st.st_uid != 0) {
        error = path + " belongs to uid " + std::to_string(st.st_uid) +
                ", not to root: it holds the shared key (chown root:root " + path + ")";
        refused = err::kAccessDenied;
    } else if ((st.st_mode & 077) != 0) {
        error =
            path + " has mode " + mode + ": it holds the shared key, so only root may read it (chmod 600 " + path + ")";
        refused = err::kAccessDenied;
    } else if (st.st_size > static_cast<off_t>(kMaxAgentConfBytes)) {
        error = path + " is longer than " + std::to_string(kMaxAgentConfBytes) + " bytes";
        refused = err::kInvalidData;
    }
    if (refused) {
        close(fd);
        return refused;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            close(fd);
            error = path + " cannot be read: " + std::strerror(e);
            return err::kGenFailure;
        }
        if (got == 0) break;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > kMaxAgentConfBytes) {
            close(fd);
            error = path + " is longer than " + std::to_string(kMaxAgentConfBytes) + " bytes";
            return err::kInvalidData;
        }
    }
    close(fd);
    const uint32_t parsed = ParseAgentConf(text, conf, error);
    if (parsed) error = path + ": " + error;
    return parsed;
}

uint32_t StoreAgentConf(const wchar_t* keyPath, const AgentConf& conf) {
    const uint32_t deleted = DeleteKeyTree(keyPath);
    if (deleted != 0 && deleted != err::kFileNotFound) return deleted;
    Key key;
    if (uint32_t error = CreateKey(keyPath, Access::Set, key)) return error;
    for (const ConfValue& value : conf.values)
        if (uint32_t error = key.SetValue(value.name.c_str(), value.type, value.data.data(),
                                          static_cast<uint32_t>(value.data.size())))
            return error;
    return 0;
}

}  // namespace bx::settings
