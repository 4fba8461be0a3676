// The settings store: values under keys of HKEY_LOCAL_MACHINE, with the
// registry's semantics and error numbers on every platform. Windows: the
// registry itself. POSIX: a process-wide in-memory store (for tests) that
// answers the same way: typed values, sizes in bytes, 234 with the needed size
// when a buffer is too small, 2 for an absent key or value, key paths and value
// names compared without regard to case.
#pragma once
#include <cstdint>

namespace bx::settings {

// Value types (the registry's REG_* numbers).
constexpr uint32_t kTypeNone = 0;
constexpr uint32_t kTypeString = 1;        // REG_SZ
constexpr uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
constexpr uint32_t kTypeBinary = 3;        // REG_BINARY
constexpr uint32_t kTypeDword = 4;         // REG_DWORD (little-endian)
constexpr uint32_t kTypeMultiString = 7;   // REG_MULTI_SZ
constexpr uint32_t kTypeQword = 11;        // REG_QWORD

// What an open key may be used for.
enum class Access : uint32_t {
    Query = 1,  // KEY_QUERY_VALUE
    Set = 2,    // KEY_SET_VALUE
    QueryAndSet = 3,
};

// An open key of the store. Owns its handle and closes it when destroyed;
// movable, not copyable. A default-constructed Key holds nothing.
class Key {
public:
    Key() = default;
    ~Key();
    Key(Key&& other) noexcept;
    Key& operator=(Key&& other) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    void Close();

    // RegQueryValueExW: name null or empty means the key's default value.
    // type may be null. With data null, *size receives the stored size and the
    // call succeeds. With data set, *size is the buffer's size in bytes on
    // entry and the stored size on return; a buffer that is too small gives
    // 234 (more data) with the needed size. An absent value gives 2.
    uint32_t QueryValue(const wchar_t* name, uint32_t* type, void* data, uint32_t* size) const;

    // RegSetValueExW: stores size bytes of data with the given type, exactly
    // as given (a string's terminating NUL is stored only if size counts it).
    uint32_t SetValue(const wchar_t* name, uint32_t type, const void* data, uint32_t size);

    // RegDeleteValueW: 2 when the value is absent.
    uint32_t DeleteValue(const wchar_t* name);

private:
    friend uint32_t OpenKey(const wchar_t*, Access, Key&);
    friend uint32_t CreateKey(const wchar_t*, Access, Key&);
    void* handle_ = nullptr;
};

// RegOpenKeyExW of HKEY_LOCAL_MACHINE\path. On success `key` holds the open
// key (any key it held before is closed first); otherwise the registry's error
// (2 when the key does not exist) and `key` is left closed.
uint32_t OpenKey(const wchar_t* path, Access access, Key& key);

// RegCreateKeyExW of HKEY_LOCAL_MACHINE\path: opens the key, creating it and
// any missing parent keys first.
uint32_t CreateKey(const wchar_t* path, Access access, Key& key);

// RegDeleteTreeW + RegDeleteKeyW: removes HKEY_LOCAL_MACHINE\path with every
// value and subkey. 2 when the key does not exist.
uint32_t DeleteKeyTree(const wchar_t* path);

}  // namespace bx::settings
