#include "tool/crash_check.h"

namespace bx::tool {

void CheckCrashDump(HWND /*sheet*/) {}

}  // namespace bx::tool
