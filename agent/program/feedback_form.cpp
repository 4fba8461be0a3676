#include "agent/program/feedback_form.h"

#include <climits>
#include <cwchar>

namespace bx::feedback {

namespace {

std::wstring Format(const wchar_t* format, unsigned a, unsigned b, unsigned c) {
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], format, a, b, c);
    return text;
}

std::wstring TwoPart(unsigned major, unsigned minor) {
    wchar_t text[32];
    std::swprintf(text, sizeof text / sizeof text[0], L"%u.%02u", major, minor);
    return text;
}

}  // namespace

int32_t ParseInstallerVersion(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > int64_t(INT32_MAX) + 1) break;  // clipped below
    }
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool ParseProductVersion(const std::wstring& text, int32_t& version) {
    const uint32_t limits[] = {255, 255, 65535, 65535};
    uint32_t parts[4] = {};
    size_t count = 0, i = 0;
    while (count < 4) {
        size_t digits = 0;
        uint32_t value = 0;
        for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
            value = value * 10 + static_cast<uint32_t>(text[i] - L'0');
            if (value > limits[count]) return false;
        }
        if (digits == 0) return false;
        parts[count++] = value;
        if (i == text.size()) break;
        if (text[i++] != L'.') return false;
    }
    if (count < 3 || i != text.size()) return false;
    version = static_cast<int32_t>(parts[0] << 24 | parts[1] << 16 | parts[2]);
    return true;
}

std::wstring VersionText(int32_t version) {
    uint32_t v = static_cast<uint32_t>(version);
    return Format(L"%u.%u.%u", v >> 24, (v >> 16) & 0xFF, v & 0xFF);
}

std::wstring OsDescription(const OsFacts& facts) {
    std::wstring text;
    if (facts.major == 5 && facts.minor == 0) {
        text = L"Microsoft Windows 2000";
    } else if (facts.major == 5 && facts.minor == 1) {
        text = L"Microsoft Windows XP";
    } else if (facts.major == 5) {
        text = TwoPart(5, facts.minor);
    } else if (facts.major == 6) {
        text = L"Microsoft Windows Vista";
    } else {
        text = TwoPart(facts.major, facts.minor);
    }

    switch (facts.productType) {
        case kWorkstation:
            text += (facts.suiteMask & kSuitePersonal) ? L" Home Edition" : L" Professional";
            break;
        case kDomainController:
            text += L" Domain Controller";
            break;
        case kServer:
            text += L" Server";
            break;
        default:
            break;
    }

    text += L" " + Format(L"%u.%u.%u", facts.major, facts.minor, facts.build) + L" " + facts.servicePack + L" Build " +
            std::to_wstring(facts.build);
    return text;
}

std::wstring ReportText(const std::wstring& version, const std::wstring& hostName, const std::wstring& installationId,
                        const std::wstring& osDescription) {
    return std::wstring(kProductLine) + L"\nVersion:" + version + L"\nHostname:" + hostName + L"\nUID:" +
           installationId + L"\nOS:" + osDescription + L"\nArchitecture:" + kArchitecture;
}

std::wstring FormBody(const std::wstring& reportText, const std::wstring& mailbox) {
    return std::wstring(L"ExtAppName=") + kExtAppName + L"&Subject=" + kSubject + L"&Comment=" + reportText +
           L"&FromEmailID=" + mailbox + L"&Username=" + mailbox;
}

}  // namespace bx::feedback
