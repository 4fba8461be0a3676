// UTF-8 <-> wide text (UTF-16 where wchar_t has 16 bits, UTF-32 elsewhere).
// Names travel to and from the appliance as UTF-8, and POSIX paths and host
// names are UTF-8. Portable code, header-only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bx {

// Wide text to UTF-8. Unpaired surrogates become U+FFFD.
inline std::string Utf8FromWide(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    auto append = [&out](uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2) c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            uint32_t low = static_cast<uint32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        append(c);
    }
    return out;
}

// UTF-8 bytes to wide text; each byte of a malformed sequence becomes U+FFFD
// and reading resumes behind it.
inline std::wstring WideFromUtf8(const char* bytes, size_t count) {
    std::wstring out;
    out.reserve(count);
    const auto* s = reinterpret_cast<const uint8_t*>(bytes);
    auto put = [&out](uint32_t code) {
        if (sizeof(wchar_t) == 2 && code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (code >> 10));
            out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<wchar_t>(code);
        }
    };
    size_t i = 0;
    while (i < count) {
        uint8_t lead = s[i];
        size_t extra;
        uint32_t code, least;
        if (lead < 0x80) {
            put(lead);
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1Fu;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0Fu;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07u;
            least = 0x10000;
        } else {
            put(0xFFFD);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= extra && i + j < count && (s[i + j] & 0xC0) == 0x80; ++j) code = code << 6 | (s[i + j] & 0x3Fu);
        if (j <= extra || code < least || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            put(0xFFFD);
            ++i;
            continue;
        }
        put(code);
        i += extra + 1;
    }
    return out;
}

}  // namespace bx
