# GoogleTest is built from the sources Debian ships, with this build's compiler and
# flags, so sanitizer and cross builds get a matching copy.
set(NVS_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(NOT TARGET GTest::gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${NVS_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
include(GoogleTest)

# nvs_add_test_suite(NAME DIR [LIBS ...] [PROPERTIES ...] [SHIPPED_PATHS filter ...]):
# one test binary of every *.cpp in DIR. SHIPPED_PATHS names (as GoogleTest filters) the
# tests that link nodes under the shipped /dev/ttyACM* and /var/lock: a scanning library
# in one test process would open another's instrument there, so ctest runs them one at a
# time (the resource lock nvs_shipped_paths), and each one's time-out counts its own run.
# Every test runs with NVS_SHIPPED_PATHS_SCHEDULED set, to 1 for the listed ones and to 0
# for the others: a test that takes ShippedPathsLock without being listed fails, naming
# the list it belongs in.
function(nvs_add_test_suite name dir)
  cmake_parse_arguments(ARG "" "" "LIBS;PROPERTIES;SHIPPED_PATHS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE nvs_core nvs_test_support GTest::gtest_main GTest::gmock ${ARG_LIBS})
  nvs_discover_tests(${name} PROPERTIES ${ARG_PROPERTIES} SHIPPED_PATHS ${ARG_SHIPPED_PATHS})
endfunction()

# nvs_discover_tests(TARGET [PROPERTIES ...] [SHIPPED_PATHS filter ...]): the ctest
# entries of a GoogleTest binary, as nvs_add_test_suite makes them.
function(nvs_discover_tests target)
  cmake_parse_arguments(ARG "" "" "PROPERTIES;SHIPPED_PATHS" ${ARGN})
  set(common DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  if(ARG_SHIPPED_PATHS)
    list(JOIN ARG_SHIPPED_PATHS ":" shipped)
    gtest_discover_tests(${target} ${common} TEST_FILTER "-${shipped}" TEST_LIST ${target}_OWN_TESTS
                         PROPERTIES TIMEOUT 120 ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=0 ${ARG_PROPERTIES})
    gtest_discover_tests(${target} ${common} TEST_FILTER "${shipped}" TEST_LIST ${target}_SHIPPED_PATH_TESTS
                         PROPERTIES TIMEOUT 120 RESOURCE_LOCK nvs_shipped_paths
                                    ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=1 ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${target} ${common} PROPERTIES TIMEOUT 120 ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=0 ${ARG_PROPERTIES})
  endif()
endfunction()
