#include "hvn_configuration.h"

#include <cstring>
#include <mutex>

#include "settings_reader.h"

namespace bx {
namespace {

uint8_t DigitValue(wchar_t c) {
    uint8_t low = static_cast<uint8_t>(static_cast<uint32_t>(c) & 0xFFu);
    if (low >= '0' && low <= '9') return static_cast<uint8_t>(low - '0');
    if (low >= 'a' && low <= 'f') return static_cast<uint8_t>(low - 'a' + 10);
    if (low >= 'A' && low <= 'F') return static_cast<uint8_t>(low - 'A' + 10);
    return 0xFF;
}

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
    wchar_t buffer[kKeyTextChars + 1] = {};
    size_t length = text.size() < kKeyTextChars ? text.size() : kKeyTextChars;
    // The registry text may hold a NUL of its own; the key ends there too.
    size_t used = 0;
    while (used < length && text[used] != L'\0') {
        buffer[used] = text[used];
        ++used;
    }
    for (uint8_t& b : bytes) b = 0;
    size_t pairs = used / 2;
    for (size_t i = 0; i < pairs; ++i) {
        unsigned high = DigitValue(buffer[2 * i]);
        unsigned low = DigitValue(buffer[2 * i + 1]);
        bytes[i] = static_cast<uint8_t>(((high << 4) + low) & 0xFFu);
    }
    return text.size() > kKeyTextChars;
}

}  // namespace bx

CHVNConfiguration::CHVNConfiguration()
    : port(bx::kPortNotConfigured),
      settingsKeyPath(bx::kSettingsKeyPath),
      timeOut(bx::kDefaultTimeOutSeconds),
      retries(bx::kDefaultRetries),
      keyBytes{},
      keySchedule{},
      keyWasCut(false) {
    const wchar_t* path = settingsKeyPath.c_str();
    port = static_cast<int32_t>(bx::ReadDwordSetting(path, L"port", 0xFFFFFFFFu));
    bx::ReadStringSetting(path, L"ip", address);
    bx::ReadStringSetting(path, L"key", keyText);
    timeOut = bx::ReadDwordSetting(path, L"TimeOut", bx::kDefaultTimeOutSeconds);
    retries = bx::ReadDwordSetting(path, L"Retries", bx::kDefaultRetries);
    keyWasCut = bx::KeyTextToBytes(keyText, keyBytes);
    bx::ScheduleFor(keyBytes, keySchedule);
}

void CHVNConfiguration::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    if (logger && keyWasCut && bx::FirstReportOfCutKey(keyText)) {
        LogWarning(L"Encryption key has %u characters, more than %u: only its first %u characters are used",
                   static_cast<unsigned>(keyText.size()), static_cast<unsigned>(bx::kKeyTextChars),
                   static_cast<unsigned>(bx::kKeyTextChars));
    }
}
