#include "tool/service_details.h"

#include <vector>

#include "platform/win/handles.h"
#include "tool/file_version_info.h"
#include "tool/property_sheet.h"
#include "tool/tool_resources.h"
#include "tool/tool_rules.h"

using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;

DWORD TSRGetServiceStatus(const std::wstring& serviceName, bool& running) {
    running = false;
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager) return ::GetLastError();
    UniqueScHandle service(::OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    if (!service) return ::GetLastError();
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
        return ::GetLastError();
    running = status.dwCurrentState == SERVICE_RUNNING;
    return 0;
}

ServiceDetails GetServiceDetails(const std::wstring& serviceName) {
    ServiceDetails details;
    bool running = false;
    DWORD error = TSRGetServiceStatus(serviceName, running);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        details.status = bx::ui::LoadResString(IDS_NOT_INSTALLED);
        return details;
    }
    if (error != 0) {
        details.status = bx::ui::LoadResString(IDS_FAILED_TO_GET);
        return details;
    }
    details.status = bx::ui::LoadResString(running ? IDS_RUNNING : IDS_NOT_RUNNING);
    std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName;
    bx::tool::ReadRegistryString(HKEY_LOCAL_MACHINE, key.c_str(), L"DisplayName", details.displayName);
    std::wstring imagePath;
    bx::tool::ReadRegistryString(HKEY_LOCAL_MACHINE, key.c_str(), L"ImagePath", imagePath);
    // The package's image path is quoted and carries "/SN:bxhvns".
    const std::wstring program = bx::tool::ProgramPathFromImagePath(imagePath);
    if (!program.empty()) {
        CFileVersionInfo info;
        if (info.Load(program)) details.version = info.GetFileVersion();
    }
    return details;
}

namespace bx::tool {

namespace {
std::wstring TextOfBytes(const std::vector<BYTE>& bytes, DWORD size) {
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), size / sizeof(wchar_t));
    size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}
}  // namespace

DWORD ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& text) {
    text.clear();
    UniqueRegKey key;
    LONG error = ::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put());
    if (error != ERROR_SUCCESS) return static_cast<DWORD>(error);
    std::vector<BYTE> buffer(2048);
    DWORD size = static_cast<DWORD>(buffer.size());
    error = ::RegQueryValueExW(key.get(), name, nullptr, nullptr, buffer.data(), &size);
    if (error == ERROR_MORE_DATA) {
        buffer.assign(size, 0);
        error = ::RegQueryValueExW(key.get(), name, nullptr, nullptr, buffer.data(), &size);
    }
    if (error != ERROR_SUCCESS) return static_cast<DWORD>(error);
    text = TextOfBytes(buffer, size);
    return 0;
}

DWORD ReadRegistryDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value) {
    UniqueRegKey key;
    LONG error = ::RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, key.put());
    if (error != ERROR_SUCCESS) return static_cast<DWORD>(error);
    DWORD stored = 0, size = sizeof stored;
    error = ::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&stored), &size);
    if (error != ERROR_SUCCESS) return static_cast<DWORD>(error);
    if (size != sizeof stored) return ERROR_INVALID_DATA;
    value = stored;
    return 0;
}

}  // namespace bx::tool
