// For platform/pages_test.cpp: msync fails with ENOMEM on a range that is not
// all mapped.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace bx::test {

bool PagesMapped(const void* block, size_t bytes) {
    return msync(const_cast<void*>(block), bytes, MS_ASYNC) == 0 || errno != ENOMEM;
}

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace bx::test
