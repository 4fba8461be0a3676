#include "agent/service/open_security_descriptor.h"

#include <sddl.h>

COpenSecurityDescriptor::COpenSecurityDescriptor() {
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE)) {
        error_ = GetLastError();
        return;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;

    if (!IsVistaOrLater()) return;
    PSECURITY_DESCRIPTOR label = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &label, nullptr)) {
        labelError_ = GetLastError();
        return;
    }
    labelDescriptor_.reset(label);
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted) || !present || !sacl) {
        labelError_ = present ? GetLastError() : ERROR_INVALID_SECURITY_DESCR;
        return;
    }
    if (!SetSecurityDescriptorSacl(&descriptor_, TRUE, sacl, FALSE)) {
        labelError_ = GetLastError();
        return;
    }
    labelSacl_ = sacl;
}

bool COpenSecurityDescriptor::IsVistaOrLater() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&version)) return false;
#pragma GCC diagnostic pop
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion > 5;
}
