// The POSIX sessions implementation answers from this process-wide table
// instead of the terminal-services API; tests fill it. Windows has no table:
// its queries ask the system, so nothing here is defined there.
#pragma once
#include <cstdint>
#include <string>

namespace bx::sessions {

// Error the queries answer for a session that is not in the table.
constexpr uint32_t kTableSessionMissing = 2;

struct TableSession {
    std::wstring user;
    std::wstring domain;
    uint32_t userError = 0;    // non-zero: QueryUserName fails with it
    uint32_t domainError = 0;  // non-zero: QueryDomainName fails with it
};

// Makes the queries for sessionId answer `session` (inserted or replaced).
void SetTableSession(uint32_t sessionId, const TableSession& session);

// Removes one session; its queries then fail with kTableSessionMissing.
void RemoveTableSession(uint32_t sessionId);

// Empties the table.
void ClearTableSessions();

}  // namespace bx::sessions
