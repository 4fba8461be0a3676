#include "tool/tool_rules.h"

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

int RetriesSelection(int32_t stored) {
    if (stored == -1) return 5 - kRetriesFirst;
    if (stored < kRetriesFirst || stored > kRetriesLast) return 0;
    return stored - kRetriesFirst;
}

int TimeOutSelection(int32_t stored) {
    if (stored == -1) return 0;
    if (stored < kTimeOutFirst || stored > kTimeOutLast) return kTimeOutLast - kTimeOutFirst;
    return stored - kTimeOutFirst;
}

std::wstring ProgramPathFromBinaryPath(const std::wstring& binaryPath) {
    size_t i = 0;
    while (i < binaryPath.size() && std::iswspace(binaryPath[i])) ++i;
    if (i < binaryPath.size() && binaryPath[i] == L'"') {
        size_t close = binaryPath.find(L'"', i + 1);
        if (close == std::wstring::npos) return std::wstring();
        return binaryPath.substr(i + 1, close - i - 1);
    }
    size_t end = binaryPath.find(L' ', i);
    return binaryPath.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
}

std::wstring StripEnclosingQuotes(const std::wstring& path) {
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') return path.substr(1, path.size() - 2);
    return path;
}

std::wstring FirewallEntryName(const std::wstring& stem, long port) { return stem + L" UDP " + std::to_wstring(port); }

std::wstring DirectoryOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return L".\\";
    return path.substr(0, slash + 1);
}

}  // namespace bx::tool
