// CFileVersionInfo: the version resource of a program file.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class CFileVersionInfo {
public:
    // Loads the version block of `path` (the running program when empty);
    // a path that is not found is tried again under the Windows directory.
    bool Load(const std::wstring& path = std::wstring());
    // "\StringFileInfo\<translation>\<key>", empty when absent or not loaded.
    std::wstring GetString(const std::wstring& key) const;
    // "a.b.c.d", empty when nothing is loaded.
    std::wstring GetFileVersion() const;
    std::wstring GetProductVersion() const;

private:
    const VS_FIXEDFILEINFO* Fixed() const;
    std::vector<BYTE> block_;
    DWORD translation_ = 0;  // language << 16 | code page
};
