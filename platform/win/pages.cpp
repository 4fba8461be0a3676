// Pages on Windows: VirtualAlloc and VirtualFree.
#include "platform/pages.h"

#include <windows.h>

namespace bx::pages {

void* Allocate(size_t bytes) {
    if (bytes == 0) return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void Free(void* block, size_t) {
    // MEM_RELEASE gives back the whole reservation; its size must be 0.
    if (block) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace bx::pages
