# Test helpers shared by every folder.
#
# bx_add_gtest(NAME SOURCES... [LIBS libs...] [RESOURCE_LOCK names...]
#              [FIXTURES names...])
#   One GoogleTest program; each of its cases becomes a ctest test. In the
#   windows flavour the program runs under Wine (CMAKE_CROSSCOMPILING_EMULATOR)
#   and every case needs the "wine" fixture: one Wine server for the run.
#   FIXTURES names further fixtures every case requires.

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

function(bx_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;RESOURCE_LOCK;FIXTURES" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE bx_gtest_main ${T_LIBS})
  set(fixtures ${T_FIXTURES})
  if(WIN32)
    list(APPEND fixtures wine)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT 300)
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
