// The settings store on POSIX: one in-memory tree per process, answering as
// the registry does (error numbers, sizes, case-insensitive names), so that
// everything that reads settings can be tested natively.
#include "platform/settings_store.h"

#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace bx::settings {
namespace {

constexpr uint32_t kKeyDeleted = 1018;  // ERROR_KEY_DELETED

struct StoredValue {
    uint32_t type = kTypeNone;
    std::vector<uint8_t> bytes;
};

struct StoredKey {
    std::map<std::wstring, StoredValue> values;  // by folded name
};

struct Store {
    std::mutex lock;
    std::map<std::wstring, StoredKey> keys;  // by folded path; "" is the root
    Store() { keys[L""]; }
};

Store& TheStore() {
    static Store store;
    return store;
}

// What an open handle refers to.
struct OpenState {
    std::wstring path;
    uint32_t access;
};

OpenState* State(void* handle) { return static_cast<OpenState*>(handle); }

std::wstring Fold(const wchar_t* text) {
    std::wstring out;
    if (!text) return out;
    for (; *text; ++text) out += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*text)));
    return out;
}

std::wstring FoldPath(const wchar_t* path) {
    std::wstring out = Fold(path);
    while (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

bool Allows(const OpenState& state, Access needed) {
    return (state.access & static_cast<uint32_t>(needed)) != 0;
}

uint32_t Open(const wchar_t* path, Access access, bool create, void*& handle) {
    std::wstring folded = FoldPath(path);
    if (!folded.empty() && folded.front() == L'\\') return err::kInvalidParameter;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (create) {
        // Every parent exists as a key of its own, as in the registry.
        for (size_t pos = folded.find(L'\\'); pos != std::wstring::npos; pos = folded.find(L'\\', pos + 1))
            store.keys[folded.substr(0, pos)];
        store.keys[folded];
    } else if (store.keys.find(folded) == store.keys.end()) {
        return err::kFileNotFound;
    }
    handle = new OpenState{folded, static_cast<uint32_t>(access)};
    return err::kSuccess;
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
    delete State(handle_);
    handle_ = nullptr;
}

uint32_t Key::QueryValue(const wchar_t* name, uint32_t* type, void* data, uint32_t* size) const {
    if (!handle_) return err::kInvalidHandle;
    if (data && !size) return err::kInvalidParameter;
    const OpenState& state = *State(handle_);
    if (!Allows(state, Access::Query)) return err::kAccessDenied;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto key = store.keys.find(state.path);
    if (key == store.keys.end()) return kKeyDeleted;
    auto value = key->second.values.find(Fold(name));
    if (value == key->second.values.end()) return err::kFileNotFound;
    const StoredValue& stored = value->second;
    uint32_t needed = static_cast<uint32_t>(stored.bytes.size());
    if (type) *type = stored.type;
    if (!size) return err::kSuccess;
    uint32_t room = *size;
    *size = needed;
    if (!data) return err::kSuccess;
    if (room < needed) return err::kMoreData;
    if (needed) std::memcpy(data, stored.bytes.data(), needed);
    return err::kSuccess;
}

uint32_t Key::SetValue(const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    if (!handle_) return err::kInvalidHandle;
    if (!data && size) return err::kInvalidParameter;
    const OpenState& state = *State(handle_);
    if (!Allows(state, Access::Set)) return err::kAccessDenied;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto key = store.keys.find(state.path);
    if (key == store.keys.end()) return kKeyDeleted;
    StoredValue& stored = key->second.values[Fold(name)];
    stored.type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    stored.bytes.assign(bytes, bytes + size);
    return err::kSuccess;
}

uint32_t Key::DeleteValue(const wchar_t* name) {
    if (!handle_) return err::kInvalidHandle;
    const OpenState& state = *State(handle_);
    if (!Allows(state, Access::Set)) return err::kAccessDenied;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto key = store.keys.find(state.path);
    if (key == store.keys.end()) return kKeyDeleted;
    return key->second.values.erase(Fold(name)) ? err::kSuccess : err::kFileNotFound;
}

uint32_t OpenKey(const wchar_t* path, Access access, Key& key) {
    key.Close();
    return Open(path, access, false, key.handle_);
}

uint32_t CreateKey(const wchar_t* path, Access access, Key& key) {
    key.Close();
    return Open(path, access, true, key.handle_);
}

uint32_t DeleteKeyTree(const wchar_t* path) {
    std::wstring folded = FoldPath(path);
    if (folded.empty()) return err::kInvalidParameter;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto first = store.keys.find(folded);
    if (first == store.keys.end()) return err::kFileNotFound;
    store.keys.erase(first);
    std::wstring prefix = folded + L'\\';
    auto it = store.keys.lower_bound(prefix);
    while (it != store.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0)
        it = store.keys.erase(it);
    return err::kSuccess;
}

}  // namespace bx::settings
