// The DACLs of keys, files and kernel objects read back as SDDL text, for
// tests of what the product makes for SYSTEM and Administrators only.
//
// Under Wine DACLs are stored but mostly not enforced (every process runs as
// one user), so the tests prove the product's side by reading them back.
// Keys and events keep the DACL they are given. Files keep none: Wine turns
// the DACL given at creation (or by SetKernelObjectSecurity) into the Unix
// mode, and reads back SYSTEM and the file's owner with full access, plus
// Everyone with read access when others may read the file.
#pragma once
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/win/handles.h"

namespace bx::test {

inline std::wstring DaclText(DWORD rc, PSECURITY_DESCRIPTOR descriptor) {
    bx::win::UniqueLocal owner(descriptor);
    wchar_t* text = nullptr;
    if (rc != ERROR_SUCCESS || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                   descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"(unreadable: " + std::to_wstring(rc ? rc : GetLastError()) + L")";
    std::wstring sddl(text);
    LocalFree(text);
    return sddl;
}

// name: a path, or "MACHINE\\SOFTWARE\\..." for a key.
inline std::wstring DaclSddl(const std::wstring& name, SE_OBJECT_TYPE type) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                                     &descriptor);
    return DaclText(rc, descriptor);
}

inline std::wstring DaclSddlOf(HANDLE object, SE_OBJECT_TYPE type) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc =
        GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &descriptor);
    return DaclText(rc, descriptor);
}

// What Wine reads back for a file made for SYSTEM and Administrators only:
// SYSTEM and the owner (this process's user), and nobody else.
inline std::wstring AdminOnlyFileSddlUnderWine() {
    bx::win::UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    BYTE buffer[512];
    DWORD size = 0;
    wchar_t* user = nullptr;
    if (!token || !GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &user))
        return L"(no token user)";
    std::wstring sddl = L"D:(A;;FA;;;SY)(A;;FA;;;" + std::wstring(user) + L")";
    LocalFree(user);
    return sddl;
}

}  // namespace bx::test
