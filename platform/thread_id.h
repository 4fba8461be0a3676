// The calling thread's id as the system numbers threads (GetCurrentThreadId on
// Windows, the kernel's thread id on Linux), for log lines.
#pragma once
#include <cstdint>

namespace bx {

uint32_t CurrentThreadId();

}  // namespace bx
