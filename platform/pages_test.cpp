// Pages from the system: zeroed, writable, page-aligned, and once freed no
// longer the process's (PagesMapped: per platform, in win/ and posix/).
#include "platform/pages.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace bx::test {
// Whether every page of [block, block + bytes) belongs to the process.
bool PagesMapped(const void* block, size_t bytes);
// The system's page size.
size_t PageSize();
}  // namespace bx::test

namespace {

TEST(Pages, ZeroedWritableAndGoneOnceFreed) {
    const size_t bytes = 300 * 1024 + 17;  // not whole pages
    auto* block = static_cast<uint8_t*>(bx::pages::Allocate(bytes));
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % bx::test::PageSize());
    size_t nonZero = 0;
    for (size_t i = 0; i < bytes; ++i) nonZero += block[i] != 0;
    EXPECT_EQ(0u, nonZero);
    for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(static_cast<uint8_t>(bytes - 1), block[bytes - 1]);
    ASSERT_TRUE(bx::test::PagesMapped(block, bytes));

    bx::pages::Free(block, bytes);
    EXPECT_FALSE(bx::test::PagesMapped(block, bytes)) << "the pages are still the process's";

    EXPECT_EQ(nullptr, bx::pages::Allocate(0));
    bx::pages::Free(nullptr, 0);
}

}  // namespace
