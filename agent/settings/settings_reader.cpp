#include "agent/settings/settings_reader.h"

#include "platform/errors.h"

namespace bx {
namespace {

constexpr uint32_t kStringBufferBytes = 2048;

}  // namespace

SettingsReader::SettingsReader(const wchar_t* keyPath)
    : openError_(settings::OpenKey(keyPath, settings::Access::Query, key_)) {}

uint32_t SettingsReader::Dword(const wchar_t* name, uint32_t defaultValue) const {
    if (openError_ != err::kSuccess) return defaultValue;
    uint8_t bytes[4] = {0, 0, 0, 0};
    uint32_t size = sizeof bytes;
    if (key_.QueryValue(name, nullptr, bytes, &size) != err::kSuccess) return defaultValue;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t SettingsReader::String(const wchar_t* name, std::wstring& text) const {
    text.clear();
    if (openError_ != err::kSuccess) return openError_;
    // The 2048-byte buffer lives on the stack: settings are read each time a
    // response parser is made, once per received datagram.
    uint8_t buffer[kStringBufferBytes];
    uint32_t size = kStringBufferBytes;
    uint32_t error = key_.QueryValue(name, nullptr, buffer, &size);
    if (error == err::kMoreData) {
        std::vector<uint8_t> larger(size, 0);
        error = key_.QueryValue(name, nullptr, larger.data(), &size);
        if (error != err::kSuccess) return error;
        text = TextFromStoredBytes(larger.data(), size);
        return err::kSuccess;
    }
    if (error != err::kSuccess) return error;
    text = TextFromStoredBytes(buffer, size);
    return err::kSuccess;
}

std::wstring TextFromStoredBytes(const uint8_t* bytes, size_t count) {
    std::wstring text(count / 2, L'\0');
    wchar_t* const out = &text[0];
    size_t length = 0;
    for (size_t i = 0; i + 1 < count; i += 2) {
        uint32_t unit = static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (unit == 0) break;
        if (sizeof(wchar_t) == 4 && unit >= 0xD800 && unit < 0xDC00 && i + 3 < count) {
            // A surrogate pair becomes one character where wchar_t is 32 bits.
            const uint32_t low = static_cast<uint32_t>(bytes[i + 2]) | static_cast<uint32_t>(bytes[i + 3]) << 8;
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        out[length++] = static_cast<wchar_t>(unit);
    }
    text.resize(length);
    return text;
}

std::vector<uint8_t> StoredBytesFromText(const std::wstring& text) {
    std::vector<uint8_t> bytes;
    auto put = [&bytes](uint32_t unit) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    };
    for (wchar_t c : text) {
        uint32_t code = static_cast<uint32_t>(c);
        if (code > 0xFFFF) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code);
        }
    }
    put(0);
    return bytes;
}

}  // namespace bx
