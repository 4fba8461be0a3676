#include "platform/thread_id.h"

#include <windows.h>

namespace bx {

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace bx
