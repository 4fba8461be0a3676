// The main of every test program.
//
// ctest runs one case per process and marks a case "skipped" when its output
// holds gtest's "[  SKIPPED ]", whatever the exit code. gtest reports a failed
// SetUpTestSuite (or a failed global environment set-up) by skipping every
// case of the suite, so a broken fixture would be counted as skipped rather
// than failed. The listener below turns each of those cases into a failure
// instead: the case prints "[  FAILED  ]" and the program exits non-zero.
#include <gtest/gtest.h>

namespace {

class SetUpFailureAsCaseFailure : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
        const testing::TestSuite* suite = unit.current_test_suite();
        if (unit.ad_hoc_test_result().Failed())
            ADD_FAILURE() << "not run: the global test environment's set-up failed";
        else if (suite && suite->ad_hoc_test_result().Failed())
            ADD_FAILURE() << "not run: the set-up of " << suite->name() << " failed";
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // After the default printer, so the case's "[ RUN ]" line comes first.
    testing::UnitTest::GetInstance()->listeners().Append(new SetUpFailureAsCaseFailure);
    return RUN_ALL_TESTS();
}
