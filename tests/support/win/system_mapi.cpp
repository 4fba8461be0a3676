#include "tests/support/win/system_mapi.h"

#include <windows.h>

#include "platform/win/handles.h"
#include "tests/support/win/process_runner.h"

namespace bx::test {

namespace {

constexpr wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\BXHVNTSR.exe\\DllOverrides";
constexpr wchar_t kSavedName[] = L"MAPI32.DLL.bx-saved";

bool SetOverride(const wchar_t* order) {
    bx::win::UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return RegSetValueExW(key.get(), L"mapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                          static_cast<DWORD>((wcslen(order) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Wine's own file back in its place (also after a run that ended by force).
void RestoreSystemFile() {
    const std::wstring saved = SystemMapi::File(kSavedName);
    if (!FileExists(saved)) return;
    MoveFileExW(saved.c_str(), SystemMapi::File(L"MAPI32.DLL").c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

std::wstring SystemMapi::File(const std::wstring& name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length) + L"\\" + name;
}

SystemMapi::SystemMapi(const std::wstring& dll) {
    RestoreSystemFile();
    DeleteFileW(File(L"mapi_calls.txt").c_str());
    DeleteFileW(File(L"mapi_answer.txt").c_str());
    if (dll.empty()) {
        ok_ = SetOverride(L"");
        return;
    }
    ok_ = MoveFileW(File(L"MAPI32.DLL").c_str(), File(kSavedName).c_str()) &&
          CopyFileW((ExeDirectory() + dll).c_str(), File(L"MAPI32.DLL").c_str(), FALSE) && SetOverride(L"native");
}

SystemMapi::~SystemMapi() {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\BXHVNTSR.exe");
    RestoreSystemFile();
    DeleteFileW(File(L"mapi_calls.txt").c_str());
    DeleteFileW(File(L"mapi_answer.txt").c_str());
}

}  // namespace bx::test
