#include "tool/file_version_info.h"

#include <cwchar>

bool CFileVersionInfo::Load(const std::wstring& path) {
    block_.clear();
    translation_ = 0;
    std::wstring file = path;
    if (file.empty()) {
        std::wstring own(MAX_PATH, L'\0');
        for (;;) {
            DWORD got = ::GetModuleFileNameW(nullptr, &own[0], static_cast<DWORD>(own.size()));
            if (got == 0) return false;
            if (got < own.size()) {
                own.resize(got);
                break;
            }
            own.resize(own.size() * 2);
        }
        file = own;
    }
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) {
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        wchar_t windows[MAX_PATH];
        UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return false;
        file = std::wstring(windows, length) + L"\\" + file;
        size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
        if (size == 0) return false;
    }
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return false;
    void* value = nullptr;
    UINT valueSize = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &valueSize) || !value || valueSize < 4)
        return false;
    const WORD* pair = static_cast<const WORD*>(value);
    translation_ = static_cast<DWORD>(pair[0]) << 16 | pair[1];
    block_ = std::move(block);
    return true;
}

std::wstring CFileVersionInfo::GetString(const std::wstring& key) const {
    if (block_.empty()) return std::wstring();
    wchar_t prefix[64];
    std::swprintf(prefix, 64, L"\\StringFileInfo\\%08lx\\", static_cast<unsigned long>(translation_));
    std::wstring query = prefix + key;
    void* value = nullptr;
    UINT length = 0;
    // VerQueryValueW does not write to the block; its parameter is not const.
    if (!::VerQueryValueW(const_cast<BYTE*>(block_.data()), query.c_str(), &value, &length) || !value)
        return std::wstring();
    std::wstring text(static_cast<const wchar_t*>(value), length);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

const VS_FIXEDFILEINFO* CFileVersionInfo::Fixed() const {
    if (block_.empty()) return nullptr;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(const_cast<BYTE*>(block_.data()), L"\\", &value, &length) || !value ||
        length < sizeof(VS_FIXEDFILEINFO))
        return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(value);
}

namespace {
std::wstring Dotted(DWORD ms, DWORD ls) {
    wchar_t text[64];
    std::swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    return text;
}
}  // namespace

std::wstring CFileVersionInfo::GetFileVersion() const {
    const VS_FIXEDFILEINFO* fixed = Fixed();
    return fixed ? Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS) : std::wstring();
}

std::wstring CFileVersionInfo::GetProductVersion() const {
    const VS_FIXEDFILEINFO* fixed = Fixed();
    return fixed ? Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS) : std::wstring();
}
