// Accounts on Windows: the security API.
#include "platform/accounts.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>

#include "platform/win/handles.h"

namespace bx::accounts {
namespace {

PSID AsSid(const void* sid) { return const_cast<void*>(sid); }

}  // namespace

bool IsValidSid(const void* sid) { return sid && ::IsValidSid(AsSid(sid)); }

uint32_t CopySid(void* dest, uint32_t destBytes, const void* src) {
    if (!::CopySid(destBytes, dest, AsSid(src))) return GetLastError();
    return 0;
}

bool EqualSid(const void* a, const void* b) { return IsValidSid(a) && IsValidSid(b) && ::EqualSid(AsSid(a), AsSid(b)); }

uint32_t SidToString(const void* sid, std::wstring& text) {
    text.clear();
    bx::win::UniqueLocal buffer;
    if (!ConvertSidToStringSidW(AsSid(sid), reinterpret_cast<LPWSTR*>(buffer.put()))) return GetLastError();
    text = static_cast<const wchar_t*>(buffer.get());
    return 0;
}

uint32_t StringToSid(const wchar_t* text, std::vector<uint8_t>& sid) {
    sid.clear();
    // The buffer is ours only when the call succeeds: on some malformed texts
    // Wine frees the buffer it made and leaves its address behind.
    PSID made = nullptr;
    if (!ConvertStringSidToSidW(text, &made)) return GetLastError();
    bx::win::UniqueLocal buffer(made);
    const auto* bytes = static_cast<const uint8_t*>(buffer.get());
    sid.assign(bytes, bytes + GetLengthSid(buffer.get()));
    return 0;
}

uint32_t LookupAccount(const void* sid, Account& account) {
    account = Account{};
    std::wstring name(256, L'\0'), domain(256, L'\0');
    // One retry at the sizes the system reports when a name is longer.
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD domainChars = static_cast<DWORD>(domain.size());
        SID_NAME_USE use = SidTypeUnknown;
        if (LookupAccountSidW(nullptr, AsSid(sid), &name[0], &nameChars, &domain[0], &domainChars, &use)) {
            account.name.assign(name.c_str());
            account.domain.assign(domain.c_str());
            account.type = static_cast<SidType>(use);
            return 0;
        }
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) return error;
        name.assign(std::max<size_t>(nameChars, name.size()) + 1, L'\0');
        domain.assign(std::max<size_t>(domainChars, domain.size()) + 1, L'\0');
    }
    return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace bx::accounts
