// The settings store on POSIX: one in-memory tree per process, answering as
// the registry does (error numbers, sizes, case-insensitive names), so that
// everything that reads settings can be tested natively.
//
// Reads are cheap: every agent component reads its settings when it is made,
// and a response parser is made for every received datagram. A look-up
// allocates nothing, a handle is the key's address with its access rights in
// the low bits, and opening the key a thread opened last takes no lock.
#include "platform/settings_store.h"
#include "platform/case_fold.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace bx::settings {
namespace {

constexpr uint32_t kKeyDeleted = 1018;  // ERROR_KEY_DELETED

// Names compare without regard to case: stored names are kept folded, and a
// name asked for is folded once, into a buffer on the stack.
using bx::FoldChar;

// A folded name; short ones (every name the agent uses) need no allocation.
class Folded {
public:
    Folded(const wchar_t* text, size_t length) { Fold(text, length); }
    // trimPath: a key path, whose trailing backslashes are not part of it.
    Folded(const wchar_t* text, bool trimPath) {
        size_t length = text ? std::wcslen(text) : 0;
        if (trimPath)
            while (length && text[length - 1] == L'\\') --length;
        Fold(text, length);
    }
    Folded(const Folded&) = delete;
    Folded& operator=(const Folded&) = delete;

    const wchar_t* data() const { return text_; }
    size_t size() const { return length_; }
    std::wstring str() const { return std::wstring(text_, length_); }

private:
    void Fold(const wchar_t* text, size_t length) {
        length_ = length;
        wchar_t* out = inline_;
        if (length > kInline) {
            heap_.resize(length);
            out = &heap_[0];
        }
        // ASCII names (the usual case) fold without a branch per character;
        // others go through the C library's lower-casing.
        bool ascii = true;
        for (size_t i = 0; i < length; ++i) {
            const wchar_t c = text[i];
            ascii &= static_cast<uint32_t>(c) < 0x80;
            out[i] = static_cast<wchar_t>(c + (static_cast<uint32_t>(c - L'A') < 26u ? (L'a' - L'A') : 0));
        }
        if (!ascii)
            for (size_t i = 0; i < length; ++i) out[i] = FoldChar(text[i]);
        text_ = out;
    }

    static constexpr size_t kInline = 128;
    wchar_t inline_[kInline];
    std::wstring heap_;
    const wchar_t* text_;
    size_t length_;
};

int Compare(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
    int order = std::char_traits<wchar_t>::compare(a, b, aLength < bLength ? aLength : bLength);
    if (order) return order;
    return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

// Orders folded paths, stored (std::wstring) or asked for (Folded).
struct FoldedLess {
    using is_transparent = void;
    bool operator()(const std::wstring& a, const std::wstring& b) const { return a < b; }
    bool operator()(const std::wstring& a, const Folded& b) const {
        return Compare(a.data(), a.size(), b.data(), b.size()) < 0;
    }
    bool operator()(const Folded& a, const std::wstring& b) const {
        return Compare(a.data(), a.size(), b.data(), b.size()) < 0;
    }
};

struct NamedValue {
    std::wstring name;  // folded
    uint32_t type;
    std::vector<uint8_t> bytes;
};

// One key. A deleted key is not freed while the process runs: it is marked
// deleted and kept, so that a handle that still refers to it answers 1018,
// and a key made anew under the same path is a different key to that handle
// (as in the registry). This store serves tests, which delete keys a few
// hundred times at most.
struct alignas(8) StoredKey {
    std::vector<NamedValue> values;  // a handful: searched in turn
    bool deleted = false;            // guarded by the store's lock

    // The value called `name` (null: the default value, named ""). The name
    // asked for is folded as it is compared, so that a look-up neither
    // measures nor copies it and leaves a differing name at its first
    // differing character.
    NamedValue* Find(const wchar_t* name) {
        if (!name) name = L"";
        for (NamedValue& v : values)
            if (SameFolded(name, v.name)) return &v;
        return nullptr;
    }

    static bool SameFolded(const wchar_t* name, const std::wstring& folded) {
        const size_t length = folded.size();
        for (size_t i = 0; i < length; ++i) {
            const wchar_t c = name[i];
            if (c == folded[i]) continue;                // already folded (small letters, digits)
            if (FoldChar(c) != folded[i]) return false;  // also where `name` ends early
        }
        return name[length] == L'\0';
    }
};

struct Store {
    std::mutex lock;
    std::map<std::wstring, std::unique_ptr<StoredKey>, FoldedLess> keys;  // by folded path; "" is the root
    std::vector<std::unique_ptr<StoredKey>> deletedKeys;
    // Counts deletions, so that a remembered path-to-key answer can be
    // trusted without the lock while it has not changed.
    std::atomic<uint64_t> deletions{0};

    // Out of line, so that TheStore() stays a load and a test of its guard.
    [[gnu::noinline, gnu::cold]] Store() { keys[L""] = std::make_unique<StoredKey>(); }

    // Takes a key out of the tree (under the lock).
    void Remove(std::map<std::wstring, std::unique_ptr<StoredKey>, FoldedLess>::iterator it) {
        it->second->deleted = true;
        deletedKeys.push_back(std::move(it->second));
        keys.erase(it);
    }
};

Store& TheStore() {
    static Store store;
    return store;
}

// Each thread remembers the key it opened last, as the path was spelled then:
// an agent component opens the same key once for every value it reads.
struct LastOpen {
    std::wstring spelling;
    StoredKey* key = nullptr;
    uint64_t deletions = 0;  // the store's count when the answer was found
};

LastOpen& LastOpenOfThread() {
    thread_local LastOpen last;
    return last;
}

// A handle: the key's address with the access rights (1 query, 2 set) in its
// two low bits.
static_assert(alignof(StoredKey) >= 4, "two low bits of a key's address are free");
constexpr uintptr_t kAccessBits = 3;

void* MakeHandle(StoredKey* key, Access access) {
    return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(key) | (static_cast<uintptr_t>(access) & kAccessBits));
}
StoredKey* KeyOf(void* handle) {
    return reinterpret_cast<StoredKey*>(reinterpret_cast<uintptr_t>(handle) & ~kAccessBits);
}
bool Allows(void* handle, Access needed) {
    return (reinterpret_cast<uintptr_t>(handle) & static_cast<uintptr_t>(needed)) != 0;
}

uint32_t Open(const wchar_t* path, Access access, bool create, void*& handle) {
    const wchar_t* text = path ? path : L"";
    size_t length = std::wcslen(text);
    while (length && text[length - 1] == L'\\') --length;
    if (length && text[0] == L'\\') return err::kInvalidParameter;
    Store& store = TheStore();
    LastOpen& last = LastOpenOfThread();
    // The same spelling as last time and no deletion since: the same key. A
    // deletion right after this check is as if it came after the open: the
    // handle then answers 1018.
    if (last.key && last.deletions == store.deletions.load(std::memory_order_acquire) &&
        last.spelling.size() == length && std::char_traits<wchar_t>::compare(last.spelling.data(), text, length) == 0) {
        handle = MakeHandle(last.key, access);
        return err::kSuccess;
    }
    StoredKey* key = nullptr;
    uint64_t deletions = 0;
    {
        std::lock_guard<std::mutex> guard(store.lock);
        Folded folded(text, length);
        auto found = store.keys.find(folded);
        if (found != store.keys.end()) {
            key = found->second.get();
        } else if (create) {
            // Every parent exists as a key of its own, as in the registry.
            std::wstring full = folded.str();
            for (size_t pos = full.find(L'\\'); pos != std::wstring::npos; pos = full.find(L'\\', pos + 1)) {
                std::unique_ptr<StoredKey>& parent = store.keys[full.substr(0, pos)];
                if (!parent) parent = std::make_unique<StoredKey>();
            }
            key = store.keys.emplace(std::move(full), std::make_unique<StoredKey>()).first->second.get();
        } else {
            return err::kFileNotFound;
        }
        deletions = store.deletions.load(std::memory_order_relaxed);
    }
    last.spelling.assign(text, length);
    last.key = key;
    last.deletions = deletions;
    handle = MakeHandle(key, access);
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

void Key::Close() { handle_ = nullptr; }

uint32_t Key::QueryValue(const wchar_t* name, uint32_t* type, void* data, uint32_t* size) const {
    if (!handle_) return err::kInvalidHandle;
    if (data && !size) return err::kInvalidParameter;
    if (!Allows(handle_, Access::Query)) return err::kAccessDenied;
    StoredKey* key = KeyOf(handle_);
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (key->deleted) return kKeyDeleted;
    const NamedValue* value = key->Find(name);
    if (!value) return err::kFileNotFound;
    uint32_t needed = static_cast<uint32_t>(value->bytes.size());
    if (type) *type = value->type;
    if (!size) return err::kSuccess;
    uint32_t room = *size;
    *size = needed;
    if (!data) return err::kSuccess;
    if (room < needed) return err::kMoreData;
    if (needed) std::memcpy(data, value->bytes.data(), needed);
    return err::kSuccess;
}

uint32_t Key::SetValue(const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    if (!handle_) return err::kInvalidHandle;
    if (!data && size) return err::kInvalidParameter;
    if (!Allows(handle_, Access::Set)) return err::kAccessDenied;
    StoredKey* key = KeyOf(handle_);
    Folded folded(name, false);
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (key->deleted) return kKeyDeleted;
    NamedValue* value = key->Find(name);
    if (!value) {
        key->values.push_back(NamedValue{folded.str(), kTypeNone, {}});
        value = &key->values.back();
    }
    value->type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value->bytes.assign(bytes, bytes + size);
    return err::kSuccess;
}

uint32_t Key::DeleteValue(const wchar_t* name) {
    if (!handle_) return err::kInvalidHandle;
    if (!Allows(handle_, Access::Set)) return err::kAccessDenied;
    StoredKey* key = KeyOf(handle_);
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    if (key->deleted) return kKeyDeleted;
    NamedValue* value = key->Find(name);
    if (!value) return err::kFileNotFound;
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return err::kSuccess;
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
    std::wstring folded = Folded(path, true).str();
    if (folded.empty()) return err::kInvalidParameter;
    Store& store = TheStore();
    std::lock_guard<std::mutex> guard(store.lock);
    auto first = store.keys.find(folded);
    if (first == store.keys.end()) return err::kFileNotFound;
    store.deletions.fetch_add(1, std::memory_order_release);
    store.Remove(first);
    std::wstring prefix = folded + L'\\';
    auto it = store.keys.lower_bound(prefix);
    while (it != store.keys.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
        auto next = std::next(it);
        store.Remove(it);
        it = next;
    }
    return err::kSuccess;
}

}  // namespace bx::settings
