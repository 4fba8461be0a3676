// Reading the agent's settings from the settings store (the registry under
// HKEY_LOCAL_MACHINE). An absent key or value is never an error for the agent:
// the caller's default applies. A component opens its key once
// (SettingsReader) and reads each value through it; each read queries the
// value stored at that moment.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/settings_store.h"

namespace bx {

// The agent's keys under HKEY_LOCAL_MACHINE.
constexpr wchar_t kSettingsKeyPath[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";
constexpr wchar_t kSendDataPoolKeyPath[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings\\SendDataPool";

// The key at `keyPath`, opened for query once, for reading several of its
// values. A key that cannot be opened reads as one without values. Not
// copyable (it owns the open key).
class SettingsReader {
public:
    explicit SettingsReader(const wchar_t* keyPath);

    // The DWORD rule: whatever its stored type, a value of at most four bytes
    // is a little-endian 32-bit number (missing high bytes are zero). A longer
    // value, an absent value or an absent key gives `defaultValue`.
    uint32_t Dword(const wchar_t* name, uint32_t defaultValue) const;

    // The string rule: query into a 2048-byte buffer; when the store reports
    // that it is too small, query again into a buffer of the reported size.
    // The result is the stored UTF-16 text up to its first NUL (empty for a
    // value of size 0). Returns 0, or the store's error (the open's when it
    // failed) with `text` empty (the agent ignores it).
    uint32_t String(const wchar_t* name, std::wstring& text) const;

private:
    settings::Key key_;
    uint32_t openError_;
};

// Stored bytes of a string value (UTF-16LE) to text, up to the first NUL; an
// odd last byte is ignored.
std::wstring TextFromStoredBytes(const uint8_t* bytes, size_t count);

// Text to the bytes a string value stores: UTF-16LE with the terminating NUL.
std::vector<uint8_t> StoredBytesFromText(const std::wstring& text);

}  // namespace bx
