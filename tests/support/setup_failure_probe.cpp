// A test program whose suite set-up fails: its case must be reported as
// failed, not skipped (see gtest_main.cpp and check_setup_failure.cmake).
#include <gtest/gtest.h>

class BrokenFixture : public testing::Test {
public:
    static void SetUpTestSuite() { FAIL() << "the fixture's set-up fails on purpose"; }
};

TEST_F(BrokenFixture, CaseOfABrokenSuite) { SUCCEED(); }

TEST(WorkingSuite, PassingCase) { SUCCEED(); }

TEST(WorkingSuite, SkippingCase) { GTEST_SKIP() << "skips on purpose"; }
