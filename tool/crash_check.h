// The crash report check the sheet runs when it opens. The crash report
// dialog and its archive come with the report half of the tool; until then
// the check finds nothing to offer and shows nothing.
#pragma once
#include <windows.h>

namespace bx::tool {

// Looks for the agent's crash dump and offers the crash report over `sheet`.
// Does nothing yet.
void CheckCrashDump(HWND sheet);

}  // namespace bx::tool
