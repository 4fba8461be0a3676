# Test helpers shared by every folder.
#
# bx_add_gtest(NAME SOURCES... [LIBS libs...] [RESOURCE_LOCK names...]
#              [FIXTURES names...] [TIMEOUT seconds] [ONE_PROCESS])
#   One GoogleTest program; each of its cases becomes a ctest test. In the
#   windows flavour the program runs under Wine (cmake/wine-run) and every case
#   needs the "wine" fixture: one Wine server for the run. FIXTURES names
#   further fixtures every case requires; TIMEOUT replaces the 300 s a case
#   may take.
#   ONE_PROCESS: under Wine, the whole program is one ctest test that runs
#   every case in one process (a Wine start costs far more than a case of a
#   pure unit program); scripts/test still counts and names its cases from
#   gtest's output. Only for programs whose cases need no fresh process.
#   Natively every program runs one process per case.
#
# Every case under Wine runs through wine-run's case mode: Wine's heap
# checking is on, a heap error Wine reports fails the case, and a run that
# never reached a case (Wine's start-up) is run once more and says so.
#
# Test code is compiled at BX_TEST_OPTIMIZATION (-O0 by default) with a
# precompiled header of gtest (and <windows.h>); product libraries keep the
# flavour's flags. Each flavour's sanitizer flags apply to both.

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# Every test program's main: gtest's, except that a case whose suite set-up
# failed is reported failed rather than skipped (tests/support/gtest_main.cpp).
add_library(bx_gtest_main STATIC ${CMAKE_CURRENT_LIST_DIR}/../tests/support/gtest_main.cpp)
target_link_libraries(bx_gtest_main PUBLIC GTest::gtest)
if(NOT WIN32)
  add_executable(setup_failure_probe ${CMAKE_CURRENT_LIST_DIR}/../tests/support/setup_failure_probe.cpp)
  target_link_libraries(setup_failure_probe PRIVATE bx_gtest_main)
  add_test(NAME gtest_main_fails_cases_of_a_broken_suite
           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:setup_failure_probe>
                   -P ${CMAKE_CURRENT_LIST_DIR}/../tests/support/check_setup_failure.cmake)
endif()

if(WIN32)
  add_test(NAME wine_server_start COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-server ${CMAKE_BINARY_DIR} start)
  add_test(NAME wine_server_stop COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-server ${CMAKE_BINARY_DIR} stop)
  set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

# Screenshots that window tests save for people to look at (scripts/screenshots).
set(BX_SCREENSHOT_DIR ${CMAKE_BINARY_DIR}/screenshots)
file(MAKE_DIRECTORY ${BX_SCREENSHOT_DIR})

# Test code: a lower optimisation than the product (it is compiled once and
# run once), the flavour's sanitizers kept.
set(BX_TEST_OPTIMIZATION -O0 CACHE STRING "optimisation flag of test code (product code keeps the build type's)")
target_compile_options(gtest PRIVATE ${BX_TEST_OPTIMIZATION})
target_compile_options(bx_gtest_main PRIVATE ${BX_TEST_OPTIMIZATION})

# One precompiled header for every test program of the tree (gtest, the
# standard headers the tests use, and <windows.h> in the windows flavour).
# The header is made by a program of its own, so that it is compiled as the
# test programs are (position-independent executable code natively).
set(bx_test_pch_source ${CMAKE_BINARY_DIR}/bx_test_pch.cpp)
if(NOT EXISTS ${bx_test_pch_source})
  file(WRITE ${bx_test_pch_source} "// Builds the test programs' precompiled header.\nint main() { return 0; }\n")
endif()
add_executable(bx_test_pch ${bx_test_pch_source})
target_link_libraries(bx_test_pch PRIVATE GTest::gtest)
target_compile_options(bx_test_pch PRIVATE ${BX_TEST_OPTIMIZATION})
set(bx_test_pch_headers <gtest/gtest.h> <algorithm> <atomic> <chrono> <cstdint> <cstring> <functional> <map>
    <memory> <mutex> <set> <string> <thread> <vector>)
if(WIN32)
  list(PREPEND bx_test_pch_headers <windows.h>)
endif()
target_precompile_headers(bx_test_pch PRIVATE ${bx_test_pch_headers})

# ccache caches compilations that use a precompiled header only with these
# sloppiness settings; the test targets get them whenever ccache is the
# launcher (CMAKE_CXX_COMPILER_LAUNCHER=ccache).
set(bx_test_launcher "")
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(bx_test_launcher env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${CMAKE_CXX_COMPILER_LAUNCHER})
  set_property(TARGET bx_test_pch PROPERTY CXX_COMPILER_LAUNCHER ${bx_test_launcher})
endif()

# Gives a target of test code the test optimisation and the shared
# precompiled header.
function(bx_test_code target)
  target_compile_options(${target} PRIVATE ${BX_TEST_OPTIMIZATION})
  target_precompile_headers(${target} REUSE_FROM bx_test_pch)
  if(bx_test_launcher)
    set_property(TARGET ${target} PROPERTY CXX_COMPILER_LAUNCHER ${bx_test_launcher})
  endif()
endfunction()

function(bx_add_gtest name)
  cmake_parse_arguments(T "ONE_PROCESS" "TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK;FIXTURES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE bx_gtest_main ${T_LIBS})
  bx_test_code(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(fixtures ${T_FIXTURES})
  set(environment "")
  if(WIN32)
    list(APPEND fixtures wine)
    # wine-run's case mode: heap checks, and one more run when Wine's
    # start-up failed before the first case.
    set(environment BX_WINE_CASE=1)
  endif()

  if(WIN32 AND T_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    math(EXPR whole_timeout "${T_TIMEOUT} * 2")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${whole_timeout} ENVIRONMENT "${environment}"
                         FIXTURES_REQUIRED "${fixtures}")
    if(T_RESOURCE_LOCK)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    return()
  endif()

  set(discovered_properties TIMEOUT ${T_TIMEOUT})
  if(environment)
    list(APPEND discovered_properties ENVIRONMENT ${environment})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ${discovered_properties})
  # gtest_discover_tests flattens list values given in PROPERTIES (a second
  # lock or fixture would become a property name), so the list-valued
  # properties are set by a script that ctest runs after the discovered tests
  # are defined (they are listed in ${name}_TESTS).
  if(fixtures OR T_RESOURCE_LOCK)
    set(props "")
    if(fixtures)
      string(APPEND props " FIXTURES_REQUIRED [==[${fixtures}]==]")
    endif()
    if(T_RESOURCE_LOCK)
      string(APPEND props " RESOURCE_LOCK [==[${T_RESOURCE_LOCK}]==]")
    endif()
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_list_properties.cmake)
    file(WRITE ${script} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES${props})\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# The include rules of the tree (one root, layers that only look down).
if(NOT WIN32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME include_rules COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/check_includes.py ${CMAKE_SOURCE_DIR})
endif()
