// Pages on POSIX: anonymous private mappings.
#include "platform/pages.h"

#include <sys/mman.h>

namespace bx::pages {

void* Allocate(size_t bytes) {
    if (bytes == 0) return nullptr;
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
}

void Free(void* block, size_t bytes) {
    if (block) munmap(block, bytes);
}

}  // namespace bx::pages
