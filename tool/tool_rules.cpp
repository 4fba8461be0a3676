#include "tool/tool_rules.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace bx::tool {

unsigned StartPageFromCommandLine(const std::wstring& commandLine) {
    std::wstring upper = commandLine;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    if (upper.find(L"TSR") != std::wstring::npos) return kSettingsPage;
    if (upper.find(L"ABOUT") != std::wstring::npos) return kStatsPage;
    return kSettingsPage;
}

SecretCheck CheckSecret(const std::wstring& secret) {
    if (secret.size() % 2 != 0) return SecretCheck::kBadFormat;
    for (wchar_t c : secret) {
        bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (!hex) return SecretCheck::kBadFormat;
    }
    return secret.size() > kMaxSecretDigits ? SecretCheck::kTooLong : SecretCheck::kOk;
}

long ParsePortField(const std::wstring& text) {
    // Digits only, so that an overflowing number cannot wrap into a valid port.
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (value <= 1000000) value = value * 10 + (text[i] - L'0');  // beyond that it is out of range anyway
    }
    return negative ? -value : value;
}

bool PortInRange(long port) { return port >= 0 && port <= 65535; }

Choices ListChoices(uint32_t first, uint32_t last, uint32_t absent, std::optional<uint32_t> stored) {
    Choices choices;
    for (uint32_t n = first; n <= last; ++n) choices.entries.push_back(n);
    const uint32_t shown = stored.value_or(absent);
    auto at = std::lower_bound(choices.entries.begin(), choices.entries.end(), shown);
    if (at == choices.entries.end() || *at != shown) at = choices.entries.insert(at, shown);
    choices.selection = static_cast<size_t>(at - choices.entries.begin());
    return choices;
}

namespace {
std::wstring ExpandEnvironment(const std::wstring& text) {
    if (text.find(L'%') == std::wstring::npos) return text;
    DWORD size = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0) return text;
    std::wstring expanded(size, L'\0');
    DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size);
    if (written == 0 || written > size) return text;
    expanded.resize(written - 1);  // without the terminator
    return expanded;
}
}  // namespace

std::wstring ProgramPathFromImagePath(const std::wstring& imagePath) {
    size_t i = 0;
    while (i < imagePath.size() && std::iswspace(imagePath[i])) ++i;
    if (i < imagePath.size() && imagePath[i] == L'"') {
        size_t close = imagePath.find(L'"', i + 1);
        if (close == std::wstring::npos) return std::wstring();
        return ExpandEnvironment(imagePath.substr(i + 1, close - i - 1));
    }
    // Unquoted: the program ends at a blank, but which one only the file
    // system tells ("C:\Program Files\...\bxhvns.exe /SN:bxhvns", as some
    // installers write it). The longest part before a blank that names a
    // file is the program, so that a file planted at a shorter part
    // ("C:\Program") never is; when none does, the part before the first blank.
    const std::wstring rest = imagePath.substr(i);
    for (size_t end = rest.size(); end != std::wstring::npos && end > 0; end = rest.rfind(L' ', end - 1)) {
        const std::wstring candidate = ExpandEnvironment(rest.substr(0, end));
        const DWORD attributes = ::GetFileAttributesW(candidate.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return candidate;
    }
    return ExpandEnvironment(rest.substr(0, rest.find(L' ')));
}

std::wstring FirewallEntryName(const std::wstring& stem, long port) { return stem + L" UDP " + std::to_wstring(port); }

std::wstring DirectoryOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L".\\";
    return path.substr(0, slash + 1);
}

}  // namespace bx::tool
