# Test helpers shared by every folder.
#
# bx_add_gtest(NAME SOURCES... [LIBS libs...] [RESOURCE_LOCK names...])
#   One GoogleTest program; each of its cases becomes a ctest test. In the
#   windows flavour the program runs under Wine (CMAKE_CROSSCOMPILING_EMULATOR)
#   and every case needs the "wine" fixture: one Wine server for the run.

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

if(WIN32)
  add_test(NAME wine_server_start COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-server ${CMAKE_BINARY_DIR} start)
  add_test(NAME wine_server_stop COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-server ${CMAKE_BINARY_DIR} stop)
  set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
endif()

function(bx_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main ${T_LIBS})
  set(props TIMEOUT 300)
  if(WIN32)
    list(APPEND props FIXTURES_REQUIRED wine)
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ${props})
endfunction()
