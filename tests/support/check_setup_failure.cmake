# Runs the probe program (-DPROGRAM=...) and checks how its cases end:
# a case of a suite whose set-up failed fails (non-zero exit, "[  FAILED  ]",
# no "[  SKIPPED ]"); a case that skips itself still skips and exits 0.
execute_process(COMMAND ${PROGRAM} --gtest_filter=BrokenFixture.CaseOfABrokenSuite
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc EQUAL 0)
  message(FATAL_ERROR "a case of a broken suite exited 0:\n${out}")
endif()
if(NOT out MATCHES "\\[  FAILED  \\] BrokenFixture\\.CaseOfABrokenSuite")
  message(FATAL_ERROR "a case of a broken suite is not reported failed:\n${out}")
endif()
if(out MATCHES "\\[  SKIPPED \\]")
  message(FATAL_ERROR "a case of a broken suite is reported skipped:\n${out}")
endif()

execute_process(COMMAND ${PROGRAM} --gtest_filter=WorkingSuite.*
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "\\[  SKIPPED \\] WorkingSuite\\.SkippingCase"
   OR NOT out MATCHES "\\[       OK \\] WorkingSuite\\.PassingCase")
  message(FATAL_ERROR "passing and skipping cases are not reported as such (exit ${rc}):\n${out}")
endif()
