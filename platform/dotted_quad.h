// The dotted-decimal text of an IPv4 address ("10.0.0.1"), for log lines.
// Portable code, header-only.
#pragma once
#include <cstdint>
#include <cwchar>

namespace bx {

class DottedQuad {
public:
    // `address` in host byte order (127.0.0.1 is 0x7F000001).
    explicit DottedQuad(uint32_t address) {
        std::swprintf(text_, sizeof text_ / sizeof text_[0], L"%u.%u.%u.%u", (address >> 24) & 0xFFu,
                      (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    }
    const wchar_t* c_str() const { return text_; }

private:
    wchar_t text_[16];
};

}  // namespace bx
