// Whole files in the directory of the executable: the status record and the
// log files the agent resets at start.
//
// Windows: CreateFileW/WriteFile/ReadFile/DeleteFileW. POSIX: open, write,
// read, unlink (wide paths are passed as UTF-8). Bytes are written and read
// exactly as given: no text-mode translation on any platform.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host_facts.h"

namespace bx::files {

// "\\" on Windows, "/" elsewhere.
wchar_t PathSeparator();

// dir + separator + name; just name when dir is empty.
std::wstring JoinPath(const std::wstring& dir, const std::wstring& name);

// The path of `name` in the running executable's directory
// (host::ExecutableDirectory); just name, in the current directory, when that
// directory cannot be found.
inline std::wstring PathBesideExecutable(const std::wstring& name) {
    std::wstring dir;
    if (host::ExecutableDirectory(dir) != 0) dir.clear();
    return JoinPath(dir, name);
}

// Creates or truncates the file, shared for reading and writing by others,
// and writes the bytes with one write. The file grants access to SYSTEM and
// Administrators only (POSIX: mode 0600), also when it was there before. 0 or
// the system's error.
uint32_t WriteWholeFile(const std::wstring& path, const void* data, size_t size);

// Reads the whole file (shared for reading and writing). 0 or the system's
// error (2 when it does not exist).
uint32_t ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes);

// Deletes the file: 0, 2 when it does not exist, or the system's error.
uint32_t DeleteFileAt(const std::wstring& path);

}  // namespace bx::files
