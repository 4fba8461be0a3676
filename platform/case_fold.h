// Folding letter case the way account, domain, computer and registry value
// names are compared on Windows: without regard to case. The C library's
// towlower knows only ASCII in the "C" locale, so the Latin, Greek and
// Cyrillic capitals are folded here without it. Portable, header-only.
#pragma once
#include <cstdint>
#include <cwctype>

namespace bx {

inline wchar_t FoldChar(wchar_t c) {
    const uint32_t u = static_cast<uint32_t>(c);
    if (u < 0x80) return (u >= 'A' && u <= 'Z') ? static_cast<wchar_t>(u + 0x20) : c;
    if ((u >= 0xC0 && u <= 0xDE && u != 0xD7) || (u >= 0x391 && u <= 0x3AB && u != 0x3A2) || (u >= 0x410 && u <= 0x42F))
        return static_cast<wchar_t>(u + 0x20);
    if (u >= 0x400 && u <= 0x40F) return static_cast<wchar_t>(u + 0x50);
    if (u >= 0x100 && u <= 0x17F) {
        if (u == 0x130 || u == 0x131 || u == 0x138 || u == 0x149 || u == 0x17F) return c;
        if (u == 0x178) return static_cast<wchar_t>(0xFF);
        // Pairs capital/small: even/odd up to U+0137 and from U+014A to
        // U+0177, odd/even in between and from U+0179.
        const bool evenCapital = u <= 0x137 || (u >= 0x14A && u <= 0x177);
        return (u % 2 == 0) == evenCapital ? static_cast<wchar_t>(u + 1) : c;
    }
    return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
}

}  // namespace bx
