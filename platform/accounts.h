// Accounts: security identifiers (SIDs) and the accounts they name.
//
// A SID is handled as its bytes in the Windows layout: revision (1), count of
// sub-authorities (at most 15), the 48-bit identifier authority big-endian,
// then each 32-bit sub-authority in little-endian order. Windows: the security
// API (IsValidSid, CopySid, EqualSid, ConvertSidToStringSidW,
// ConvertStringSidToSidW, LookupAccountSidW). POSIX: the same rules in
// portable code, and account look-ups from a table that tests fill
// (platform/account_table.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bx::accounts {

// Bytes of the largest SID: 8 of header and 15 sub-authorities of 4.
constexpr size_t kMaxSidBytes = 68;
constexpr size_t kSidHeaderBytes = 8;
constexpr uint8_t kMaxSubAuthorities = 15;

// The account kinds of SID_NAME_USE.
enum class SidType : uint32_t {
    User = 1,
    Group = 2,
    Domain = 3,
    Alias = 4,
    WellKnownGroup = 5,
    DeletedAccount = 6,
    Invalid = 7,
    Unknown = 8,
    Computer = 9,
    Label = 10,
};

struct Account {
    std::wstring name;
    std::wstring domain;
    SidType type = SidType::Unknown;
};

// Bytes a SID occupies, read from its header; the caller must know that at
// least kSidHeaderBytes are readable.
inline size_t SidLength(const void* sid) { return kSidHeaderBytes + 4u * static_cast<const uint8_t*>(sid)[1]; }

// IsValidSid. The caller must know that SidLength(sid) bytes are readable.
bool IsValidSid(const void* sid);

// CopySid into dest of destBytes: 0, 122 when dest is too small, 1337 for an
// invalid source.
uint32_t CopySid(void* dest, uint32_t destBytes, const void* src);

// EqualSid: true when both are valid and the same SID.
bool EqualSid(const void* a, const void* b);

// ConvertSidToStringSidW: "S-1-5-18". 0 or the system's error (1337 invalid).
uint32_t SidToString(const void* sid, std::wstring& text);

// ConvertStringSidToSidW for the "S-R-I-S-S..." form: 0 or 1337.
uint32_t StringToSid(const wchar_t* text, std::vector<uint8_t>& sid);

// LookupAccountSidW on the local machine: 0 with the account's name, domain
// and type; 1332 when the SID maps to no account; otherwise the system's error.
uint32_t LookupAccount(const void* sid, Account& account);

}  // namespace bx::accounts
