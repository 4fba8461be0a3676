#include "agent/service/open_security_descriptor.h"

#include <sddl.h>

COpenSecurityDescriptor::COpenSecurityDescriptor() {
    if (!InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, nullptr, FALSE)) {
        m_error = GetLastError();
        return;
    }
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;

    if (!IsVistaOrLater()) return;
    PSECURITY_DESCRIPTOR label = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &label, nullptr)) {
        m_labelError = GetLastError();
        return;
    }
    m_labelDescriptor.reset(label);
    BOOL present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    if (!GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted) || !present || !sacl) {
        m_labelError = present ? GetLastError() : ERROR_INVALID_SECURITY_DESCR;
        return;
    }
    if (!SetSecurityDescriptorSacl(&m_descriptor, TRUE, sacl, FALSE)) {
        m_labelError = GetLastError();
        return;
    }
    m_labelSacl = sacl;
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
