// The settings store on Windows: the registry under HKEY_LOCAL_MACHINE.
// Every result is the registry's own error number.
#include "platform/settings_store.h"

#include <windows.h>

#include "platform/win/handles.h"

namespace bx::settings {
namespace {

HKEY AsHkey(void* handle) { return static_cast<HKEY>(handle); }

REGSAM Sam(Access access) {
    REGSAM sam = 0;
    if (static_cast<uint32_t>(access) & static_cast<uint32_t>(Access::Query)) sam |= KEY_QUERY_VALUE;
    if (static_cast<uint32_t>(access) & static_cast<uint32_t>(Access::Set)) sam |= KEY_SET_VALUE;
    return sam;
}

}  // namespace

Key::~Key() { Close(); }

Key::Key(Key&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

Key& Key::operator=(Key&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

void Key::Close() {
    // An owner adopts the key and closes it as it goes out of scope.
    bx::win::UniqueRegKey closing(AsHkey(handle_));
    handle_ = nullptr;
}

uint32_t Key::QueryValue(const wchar_t* name, uint32_t* type, void* data, uint32_t* size) const {
    if (!handle_) return ERROR_INVALID_HANDLE;
    DWORD valueType = 0;
    DWORD bytes = size ? *size : 0;
    LONG result =
        RegQueryValueExW(AsHkey(handle_), name, nullptr, &valueType, static_cast<BYTE*>(data), size ? &bytes : nullptr);
    if (type && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)) *type = valueType;
    if (size && (result == ERROR_SUCCESS || result == ERROR_MORE_DATA)) *size = bytes;
    return static_cast<uint32_t>(result);
}

uint32_t Key::SetValue(const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    return static_cast<uint32_t>(RegSetValueExW(AsHkey(handle_), name, 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t Key::DeleteValue(const wchar_t* name) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    return static_cast<uint32_t>(RegDeleteValueW(AsHkey(handle_), name));
}

uint32_t OpenKey(const wchar_t* path, Access access, Key& key) {
    key.Close();
    HKEY opened = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, Sam(access), &opened);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    key.handle_ = opened;
    return 0;
}

uint32_t CreateKey(const wchar_t* path, Access access, Key& key) {
    key.Close();
    HKEY opened = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, Sam(access), nullptr,
                                  &opened, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    key.handle_ = opened;
    return 0;
}

uint32_t DeleteKeyTree(const wchar_t* path) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    if (result != ERROR_SUCCESS) return static_cast<uint32_t>(result);
    // RegDeleteTreeW may leave the (now empty) key itself behind.
    result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    return (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) ? 0u : static_cast<uint32_t>(result);
}

}  // namespace bx::settings
