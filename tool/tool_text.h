// Texts the tool hands to the system in the thread's ANSI code page (report
// files, mail messages, zip entry names), and the system's own message texts.
#pragma once
#include <windows.h>

#include <string>

namespace bx::tool {

// `text` in the thread's ANSI code page (CP_THREAD_ACP), every character
// kept (embedded NULs too); empty when it cannot be converted.
std::string ToAnsi(const std::wstring& text);
// The system's message text for `error` in the system default language,
// trailing white space removed; empty for 0 or an unknown number.
std::wstring SystemMessage(DWORD error);

}  // namespace bx::tool
