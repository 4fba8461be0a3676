// Test helpers: write and clear the agent's settings in the settings store
// (the real registry under Wine, the in-memory store natively). Tests that use
// them share HKLM\SOFTWARE\Brontavex\HVNAgent\Settings and so run under the
// ctest resource lock "registry_settings".
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/settings/settings_reader.h"
#include "platform/settings_store.h"

namespace bx::test {

inline void ClearKey(const wchar_t* path) { settings::DeleteKeyTree(path); }

inline void SetRaw(const wchar_t* path, const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    settings::Key key;
    ASSERT_EQ(0u, settings::CreateKey(path, settings::Access::Set, key));
    ASSERT_EQ(0u, key.SetValue(name, type, data, size));
}

inline void SetDword(const wchar_t* path, const wchar_t* name, uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    SetRaw(path, name, settings::kTypeDword, bytes, 4);
}

// REG_SZ with its terminating NUL, as the settings applet writes it.
inline void SetString(const wchar_t* path, const wchar_t* name, const std::wstring& text,
                      uint32_t type = settings::kTypeString) {
    std::vector<uint8_t> bytes = StoredBytesFromText(text);
    SetRaw(path, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Clears the settings key before and after each case.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ClearKey(kSettingsKeyPath); }
    void TearDown() override { ClearKey(kSettingsKeyPath); }

    static void Dword(const wchar_t* name, uint32_t value) { SetDword(kSettingsKeyPath, name, value); }
    static void String(const wchar_t* name, const std::wstring& text) { SetString(kSettingsKeyPath, name, text); }
    static void Raw(const wchar_t* name, uint32_t type, std::vector<uint8_t> bytes) {
        SetRaw(kSettingsKeyPath, name, type, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
};

// Whole contents of a file written by the logger ("" when absent), with
// Windows line ends read as "\n".
inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    std::string text = out.str();
    std::string lines;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    return lines;
}

// Occurrences of `needle` in `text`.
inline size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

}  // namespace bx::test
