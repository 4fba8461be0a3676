// Unix accounts as the agent names them (Linux only).
//
// A Unix user's security identifier is the Unix-user form S-1-22-1-<uid>
// (authority 22, sub-authorities 1 and the uid). Its account comes from the
// system's user database through NSS (getpwuid_r), so that SSSD and winbind
// users resolve as local ones do: a name "user@REALM" gives the user and the
// domain REALM, a name "DOMAIN\user" the user and DOMAIN, and any other name
// is a local account whose domain is the host name, as Windows names the
// computer for its local accounts.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/accounts.h"

namespace bx::accounts {

// The identifier authority and first sub-authority of Unix users' SIDs.
constexpr uint8_t kUnixAuthority = 22;
constexpr uint32_t kUnixUserSubAuthority = 1;

// S-1-22-1-<uid> in the Windows layout (16 bytes).
std::vector<uint8_t> UnixUserSid(uid_t uid);

// The uid of an S-1-22-1-<uid> SID; false for any other SID.
bool UidOfUnixUserSid(const void* sid, uid_t& uid);

// A user database name split into user and domain by the rules above;
// `hostName` is the domain of local accounts.
void SplitAccountName(const std::string& name, const std::wstring& hostName, Account& account);

// The account of a uid through NSS: 0 with its user, domain and type User;
// 1332 when the user database has no entry for it; otherwise the error the
// look-up gave, as a Windows number (8 out of memory, 31 any other). An
// answer (an account, or no entry) is kept for 30 s.
uint32_t LookupUid(uid_t uid, Account& account);
// Forgets the kept answers: the next look-up of every uid asks NSS.
void ForgetCachedAccounts();

}  // namespace bx::accounts
