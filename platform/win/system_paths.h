// Where the deliverables take code from: DLLs loaded by name come from the
// program's own folder and System32 only, system programs are started from
// System32 by their full path. The current folder, which another user may
// have filled, is never searched.
#pragma once
#include <cstdint>
#include <string>

namespace bx::win {

// For programs only, first thing in their entry point (a DLL must not change
// its host's rules): DLLs loaded by bare name are looked for in the
// application's folder and System32 (SetDefaultDllDirectories with
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), the current folder leaves the DLL search
// (SetDllDirectoryW with an empty text: the fallback where the first call is
// missing) and SearchPathW looks there last. 0, or the error of the first
// call that failed (the program goes on: each step is a restriction).
uint32_t RestrictDllSearchPath();

// "<System32>\<name>" from GetSystemDirectoryW; empty when the system does
// not give its folder.
std::wstring SystemFilePath(const std::wstring& name);

}  // namespace bx::win
