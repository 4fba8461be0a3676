// Security for what the agent makes and keeps: the settings key that holds the
// shared secret, the logs, the crash dumps, the status file and the status
// event. Each carries a protected DACL that grants SYSTEM and Administrators
// full control and nobody anything else (the tool runs elevated, so it still
// reaches them). Header-only, so that BXLogger.dll, which links nothing of the
// tree, uses the same descriptor as the agent, the tool and the installer.
#pragma once
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <vector>

#include "platform/win/handles.h"

namespace bx::win {

// Files and kernel objects.
constexpr wchar_t kAdminOnlySddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// Registry keys: the key itself and, inherited, the subkeys made later.
constexpr wchar_t kAdminOnlyKeySddl[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

// A descriptor built from one of the texts above. Callers check Error() and
// make nothing when it failed: an object made with the default security
// instead would be open to more than the two groups.
class AdminOnlySecurity {
public:
    explicit AdminOnlySecurity(const wchar_t* sddl = kAdminOnlySddl) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
            error_ = ::GetLastError();
            return;
        }
        descriptor_.reset(descriptor);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor;
        attributes_.bInheritHandle = FALSE;
    }
    AdminOnlySecurity(const AdminOnlySecurity&) = delete;
    AdminOnlySecurity& operator=(const AdminOnlySecurity&) = delete;

    uint32_t Error() const { return error_; }
    SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_.get(); }
    PACL Dacl() const {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        if (!descriptor_ || !::GetSecurityDescriptorDacl(descriptor_.get(), &present, &dacl, &defaulted))
            return nullptr;
        return present ? dacl : nullptr;
    }

private:
    UniqueLocal descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
    uint32_t error_ = 0;
};

// True when the descriptor's DACL is present and protected and allows
// nothing to anybody but SYSTEM and Administrators. Deny entries are fine; an
// entry of any other kind (object, callback) counts as allowing.
inline bool GrantsAdministratorsOnly(PSECURITY_DESCRIPTOR descriptor) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !(control & SE_DACL_PROTECTED) || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (!::IsWellKnownSid(sid, WinLocalSystemSid) && !::IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
            return false;
    }
    return true;
}

// Whether an open kernel object (the handle needs READ_CONTROL) carries such a
// DACL. 0 with the answer, or the error of reading its security.
inline uint32_t ObjectGrantsAdministratorsOnly(HANDLE object, bool& adminOnly) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD rc = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                 nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) return rc;
    UniqueLocal owner(descriptor);
    adminOnly = GrantsAdministratorsOnly(descriptor);
    return 0;
}

// Gives an open file (the handle needs WRITE_DAC) the administrators-only
// DACL, whatever it carried: for files that already existed, which keep their
// DACL when they are opened or overwritten. 0 or the error.
inline uint32_t RestrictFileToAdministrators(HANDLE file) {
    AdminOnlySecurity security;
    if (security.Error()) return security.Error();
    // The descriptor's control marks its DACL protected.
    if (!::SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, security.Descriptor())) return ::GetLastError();
    return 0;
}

// Makes an open key (the handle needs READ_CONTROL and WRITE_DAC) grant
// SYSTEM and Administrators only: when its DACL is wider (made by reg add, an
// older installer, a restore), it is replaced and `replaced` tells so. Values
// and subkeys stay as they are. 0 or the error.
inline uint32_t RestrictKeyToAdministrators(HKEY key, bool& replaced) {
    replaced = false;
    DWORD size = 0;
    LONG rc = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (rc != ERROR_INSUFFICIENT_BUFFER && rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    std::vector<BYTE> current(size ? size : 1);
    rc = ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current.data(), &size);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    if (GrantsAdministratorsOnly(current.data())) return 0;
    AdminOnlySecurity security(kAdminOnlyKeySddl);
    if (security.Error()) return security.Error();
    rc = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, security.Descriptor());
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    replaced = true;
    return 0;
}

// Opens HKEY_LOCAL_MACHINE\path for `access`, creating it (and missing parent
// keys) with the administrators-only DACL when it does not exist, and makes
// sure the key itself carries that DACL. 0 or the registry's error.
inline uint32_t CreateAdminOnlyKey(const wchar_t* path, REGSAM access, UniqueRegKey& key) {
    AdminOnlySecurity security(kAdminOnlyKeySddl);
    if (security.Error()) return security.Error();
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                access | READ_CONTROL | WRITE_DAC, security.Attributes(), key.put(), nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    // A key that existed keeps its DACL at creation; so does a new one where
    // the system does not apply the creation's descriptor.
    bool replaced = false;
    if (uint32_t error = RestrictKeyToAdministrators(key.get(), replaced)) {
        key.reset();
        return error;
    }
    return 0;
}

}  // namespace bx::win
