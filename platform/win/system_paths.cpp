#include "platform/win/system_paths.h"

#include <windows.h>

#include <vector>

namespace bx::win {

uint32_t RestrictDllSearchPath() {
    uint32_t error = 0;
    // Looked up by name: systems without the update that brought it still run
    // the program, with the two restrictions below.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                   reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (!setDefault)
        error = ERROR_PROC_NOT_FOUND;
    else if (!setDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        error = ::GetLastError();
    if (!::SetDllDirectoryW(L"") && error == 0) error = ::GetLastError();
    if (!::SetSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT) && error == 0)
        error = ::GetLastError();
    return error;
}

std::wstring SystemFilePath(const std::wstring& name) {
    std::vector<wchar_t> folder(MAX_PATH);
    UINT length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length >= folder.size()) {
        folder.resize(length + 1);
        length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    }
    if (length == 0 || length >= folder.size()) return std::wstring();
    std::wstring path(folder.data(), length);
    if (path.back() != L'\\') path += L'\\';
    return path + name;
}

}  // namespace bx::win
