// Sessions: the user logged on to a Windows session and that user's domain.
//
// Windows: WTSQuerySessionInformationW on the local server
// (WTS_CURRENT_SERVER_HANDLE) for WTSUserName and WTSDomainName, each buffer
// released with WTSFreeMemory. POSIX: answers from a table that tests fill
// (platform/session_table.h).
#pragma once
#include <cstdint>
#include <string>

namespace bx::sessions {

// User name of the session. 0 with the name (empty for a session nobody is
// logged on to), or the system's error with name cleared.
uint32_t QueryUserName(uint32_t sessionId, std::wstring& name);

// Domain of the session's user (the computer name for a local account). 0
// with the domain, or the system's error with domain cleared.
uint32_t QueryDomainName(uint32_t sessionId, std::wstring& domain);

}  // namespace bx::sessions
