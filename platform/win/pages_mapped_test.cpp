// For platform/pages_test.cpp: VirtualQuery names the state of the range.
#include <windows.h>

#include <cstddef>

namespace bx::test {

bool PagesMapped(const void* block, size_t bytes) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(block, &info, sizeof info) == 0) return false;
    return info.State == MEM_COMMIT && info.RegionSize >= bytes;
}

size_t PageSize() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}

}  // namespace bx::test
