#include "agent/settings/hvn_configuration.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "agent/settings/settings_reader.h"

namespace bx {
namespace {

// Value of a key character's low 8 bits as a hex digit; 0xFF for any other.
struct DigitTable {
    uint8_t value[256];
    constexpr DigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = 0xFF;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<uint8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<uint8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<uint8_t>(c - 'A' + 10);
    }
};
constexpr DigitTable kDigits;

unsigned DigitValue(wchar_t c) { return kDigits.value[static_cast<uint32_t>(c) & 0xFFu]; }

// Response parsers build a configuration for every datagram; a cut key is
// reported once per distinct key text, not once per datagram.
bool FirstReportOfCutKey(const std::wstring& text) {
    static std::mutex lock;
    static std::wstring lastReported;
    std::lock_guard<std::mutex> guard(lock);
    if (text == lastReported) return false;
    lastReported = text;
    return true;
}

// Likewise a TimeOut cut to its maximum is reported once per stored value.
bool FirstReportOfCutTimeOut(uint32_t stored) {
    static std::mutex lock;
    static uint32_t lastReported = 0;
    std::lock_guard<std::mutex> guard(lock);
    if (stored == lastReported) return false;
    lastReported = stored;
    return true;
}

// The DES key schedule of `key`. A response parser makes a configuration for
// every datagram and so reads the key each time; the schedule, a pure function
// of the key bytes just read, is kept per thread for the last key and built
// again whenever the bytes differ.
void ScheduleFor(const uint8_t (&key)[kKeyBytes], DesKeySchedule& schedule) {
    struct Last {
        bool valid = false;
        uint8_t key[kKeyBytes];
        DesKeySchedule schedule;
    };
    thread_local Last last;
    if (!last.valid || std::memcmp(last.key, key, kKeyBytes) != 0) {
        DesSetKey(key, last.schedule);
        std::memcpy(last.key, key, kKeyBytes);
        last.valid = true;
    }
    schedule = last.schedule;
}

}  // namespace

bool KeyTextToBytes(const std::wstring& text, uint8_t (&bytes)[kKeyBytes]) {
    const size_t length = text.size() < kKeyTextChars ? text.size() : kKeyTextChars;
    // The registry text may hold a NUL of its own; the key ends there too.
    size_t used = 0;
    while (used < length && text[used] != L'\0') ++used;
    const size_t pairs = used / 2;
    for (size_t i = 0; i < kKeyBytes; ++i) {
        bytes[i] = i < pairs
                       ? static_cast<uint8_t>(((DigitValue(text[2 * i]) << 4) + DigitValue(text[2 * i + 1])) & 0xFFu)
                       : 0;
    }
    return text.size() > kKeyTextChars;
}

}  // namespace bx

CHVNConfiguration::CHVNConfiguration() : CHVNConfiguration(bx::SettingsReader(bx::kSettingsKeyPath)) {}

CHVNConfiguration::CHVNConfiguration(const bx::SettingsReader& settings)
    : CHVNConfiguration(settings, CLogImpl(settings)) {}

CHVNConfiguration::CHVNConfiguration(const bx::SettingsReader& settings, const CLogImpl& logging)
    : CLogImpl(logging),
      port(bx::kPortNotConfigured),
      timeOut(bx::kDefaultTimeOutSeconds),
      storedTimeOut(bx::kDefaultTimeOutSeconds),
      retries(bx::kDefaultRetries),
      keyBytes{},
      keySchedule{},
      keyWasCut(false) {
    port = static_cast<int32_t>(settings.Dword(L"port", 0xFFFFFFFFu));
    settings.String(L"ip", address);
    settings.String(L"key", keyText);
    storedTimeOut = settings.Dword(L"TimeOut", bx::kDefaultTimeOutSeconds);
    timeOut = std::min(storedTimeOut, bx::kMaxTimeOutSeconds);
    retries = settings.Dword(L"Retries", bx::kDefaultRetries);
    keyWasCut = bx::KeyTextToBytes(keyText, keyBytes);
    bx::ScheduleFor(keyBytes, keySchedule);
}

const std::wstring& CHVNConfiguration::SettingsKeyPath() const {
    static const std::wstring path(bx::kSettingsKeyPath);
    return path;
}

void CHVNConfiguration::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    if (logger && keyWasCut && bx::FirstReportOfCutKey(keyText)) {
        LogWarning(L"Encryption key has %u characters, more than %u: only its first %u characters are used",
                   static_cast<unsigned>(keyText.size()), static_cast<unsigned>(bx::kKeyTextChars),
                   static_cast<unsigned>(bx::kKeyTextChars));
    }
    if (logger && storedTimeOut != timeOut && bx::FirstReportOfCutTimeOut(storedTimeOut)) {
        LogWarning(L"TimeOut of %u seconds is more than %u: %u seconds are used", static_cast<unsigned>(storedTimeOut),
                   static_cast<unsigned>(bx::kMaxTimeOutSeconds), static_cast<unsigned>(bx::kMaxTimeOutSeconds));
    }
}
