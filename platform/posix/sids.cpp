// SID rules on POSIX, in portable code: validity, copy, comparison and the
// string forms, laid out as Windows lays a SID out. Every POSIX accounts
// implementation (the tests' table, the Linux one) shares them.
#include "platform/accounts.h"

#include <cstring>
#include <cwchar>

#include "platform/errors.h"

namespace bx::accounts {
namespace {

const uint8_t* Bytes(const void* sid) { return static_cast<const uint8_t*>(sid); }

uint64_t Authority(const uint8_t* sid) {
    uint64_t value = 0;
    for (int i = 2; i < 8; ++i) value = (value << 8) | sid[i];
    return value;
}

uint32_t SubAuthority(const uint8_t* sid, unsigned index) {
    const uint8_t* p = sid + kSidHeaderBytes + 4u * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Reads an unsigned number, decimal or "0x" hexadecimal, up to `limit`.
bool ReadNumber(const wchar_t*& p, uint64_t limit, uint64_t& value) {
    int base = 10;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) {
        base = 16;
        p += 2;
    }
    value = 0;
    const wchar_t* start = p;
    for (;; ++p) {
        unsigned digit;
        if (*p >= L'0' && *p <= L'9')
            digit = static_cast<unsigned>(*p - L'0');
        else if (base == 16 && *p >= L'a' && *p <= L'f')
            digit = static_cast<unsigned>(*p - L'a' + 10);
        else if (base == 16 && *p >= L'A' && *p <= L'F')
            digit = static_cast<unsigned>(*p - L'A' + 10);
        else
            break;
        if (value > (limit - digit) / static_cast<unsigned>(base)) return false;
        value = value * static_cast<unsigned>(base) + digit;
    }
    return p != start;
}

}  // namespace

bool IsValidSid(const void* sid) {
    if (!sid) return false;
    const uint8_t* bytes = Bytes(sid);
    return bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities;
}

uint32_t CopySid(void* dest, uint32_t destBytes, const void* src) {
    if (!IsValidSid(src)) return err::kInvalidSid;
    size_t length = SidLength(src);
    if (!dest || destBytes < length) return err::kInsufficientBuffer;
    std::memmove(dest, src, length);
    return err::kSuccess;
}

bool EqualSid(const void* a, const void* b) {
    if (!IsValidSid(a) || !IsValidSid(b)) return false;
    size_t length = SidLength(a);
    return length == SidLength(b) && std::memcmp(a, b, length) == 0;
}

uint32_t SidToString(const void* sid, std::wstring& text) {
    text.clear();
    if (!IsValidSid(sid)) return err::kInvalidSid;
    const uint8_t* bytes = Bytes(sid);
    wchar_t part[32];
    uint64_t authority = Authority(bytes);
    // Authorities beyond 32 bits are written in hexadecimal, as Windows does.
    if (authority >> 32)
        std::swprintf(part, 32, L"S-%u-0x%012llX", bytes[0], static_cast<unsigned long long>(authority));
    else
        std::swprintf(part, 32, L"S-%u-%llu", bytes[0], static_cast<unsigned long long>(authority));
    text = part;
    for (unsigned i = 0; i < bytes[1]; ++i) {
        std::swprintf(part, 32, L"-%u", SubAuthority(bytes, i));
        text += part;
    }
    return err::kSuccess;
}

uint32_t StringToSid(const wchar_t* text, std::vector<uint8_t>& sid) {
    sid.clear();
    if (!text || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return err::kInvalidSid;
    const wchar_t* p = text + 2;
    uint64_t revision = 0, authority = 0;
    if (!ReadNumber(p, 0xFF, revision) || revision != 1 || *p++ != L'-') return err::kInvalidSid;
    if (!ReadNumber(p, 0xFFFFFFFFFFFFull, authority)) return err::kInvalidSid;
    std::vector<uint8_t> out(kSidHeaderBytes);
    out[0] = 1;
    for (int i = 7; i >= 2; --i, authority >>= 8) out[i] = static_cast<uint8_t>(authority);
    while (*p) {
        uint64_t value = 0;
        if (*p++ != L'-' || !ReadNumber(p, 0xFFFFFFFFull, value)) return err::kInvalidSid;
        if (out[1] == kMaxSubAuthorities) return err::kInvalidSid;
        for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
        ++out[1];
    }
    sid = std::move(out);
    return err::kSuccess;
}

}  // namespace bx::accounts
