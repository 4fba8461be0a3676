// Comparing account, domain and computer names the way Windows does: without
// regard to letter case.
#pragma once
#include <string>

#include "platform/case_fold.h"

namespace bx {

inline std::wstring LowerCase(std::wstring text) {
    for (wchar_t& c : text) c = FoldChar(c);
    return text;
}

inline bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    return true;
}

}  // namespace bx
