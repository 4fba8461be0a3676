// UTF-8 <-> wide text (UTF-16 where wchar_t has 16 bits, UTF-32 elsewhere).
// Names travel to and from the appliance as UTF-8.
#pragma once
#include <cstddef>
#include <string>

namespace bx {

// Wide text to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf8FromWide(const std::wstring& text);

}  // namespace bx
