// The open security descriptor shared by objects that every process on the
// machine must reach: a present, null DACL (everyone has full access) and, on
// Windows Vista and later, the low mandatory integrity label with no write-up
// ("S:(ML;;NW;;;LW)"), so that low-integrity processes can open the object too.
// Used for the crash dump file and the agent's status-request event.
#pragma once
#include <windows.h>

#include <cstdint>

#include "platform/win/handles.h"

class COpenSecurityDescriptor {
public:
    // Builds the descriptor. When the label cannot be built the descriptor
    // still carries the null DACL, and LabelError() tells why.
    COpenSecurityDescriptor();
    ~COpenSecurityDescriptor() = default;
    COpenSecurityDescriptor(const COpenSecurityDescriptor&) = delete;
    COpenSecurityDescriptor& operator=(const COpenSecurityDescriptor&) = delete;

    // For CreateFile, CreateEvent and the like; nullptr when even the DACL
    // step failed (Error() then tells why).
    SECURITY_ATTRIBUTES* Attributes() { return error_ ? nullptr : &attributes_; }
    PSECURITY_DESCRIPTOR Descriptor() { return error_ ? nullptr : &descriptor_; }
    uint32_t Error() const { return error_; }
    bool HasLowIntegrityLabel() const { return labelSacl_ != nullptr; }
    uint32_t LabelError() const { return labelError_; }

    // Windows Vista and later: the NT platform with a major version above 5.
    static bool IsVistaOrLater();

private:
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bx::win::UniqueLocal labelDescriptor_;  // owns the SACL below
    PACL labelSacl_ = nullptr;
    uint32_t error_ = 0;
    uint32_t labelError_ = 0;
};
