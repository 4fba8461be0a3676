// The POSIX accounts implementation looks accounts up in this process-wide
// table instead of a security database; tests fill it. Windows has no table:
// its look-ups ask the system, so nothing here is defined there.
#pragma once
#include "platform/accounts.h"

namespace bx::accounts {

// Makes LookupAccount of the SID in string form `sidText` answer `account`.
// Returns 0, or 1337 when sidText is not a SID.
uint32_t SetTableAccount(const wchar_t* sidText, const Account& account);

// Empties the table: every look-up then answers 1332.
void ClearTableAccounts();

}  // namespace bx::accounts
