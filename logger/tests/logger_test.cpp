#include <gtest/gtest.h>
#include "BXLogger.h"
TEST(Logger, NoSinks) {
    CBXLogger log;
    ASSERT_EQ(0u, log.Init());
    EXPECT_EQ(31u, log.Log(6, L"hello"));
    EXPECT_EQ(0u, log.Cleanup());
}
