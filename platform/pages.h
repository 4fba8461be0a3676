// Memory in whole pages straight from the system, for large blocks that must
// go back to it when freed. A freed block of the process heap may stay the
// process's: Wine's heap keeps freed blocks below about 1 MiB committed, so
// the send-data pool's segments, freed as the pool shrinks, never left the
// process's private memory under Wine.
//
// Windows: VirtualAlloc (reserved and committed at once) and VirtualFree
// (MEM_RELEASE). POSIX: mmap (private, anonymous) and munmap.
#pragma once
#include <cstddef>

namespace bx::pages {

// `bytes` (rounded up to whole pages) of zeroed, readable and writable
// memory, aligned to a page; null when the system has none (or for 0 bytes).
void* Allocate(size_t bytes);

// Gives back a block from Allocate, with the `bytes` it was asked for; null
// does nothing.
void Free(void* block, size_t bytes);

}  // namespace bx::pages
