# GoogleTest is built from the sources Debian ships, with this build's compiler and
# flags, so sanitizer and cross builds get a matching copy.
set(NVS_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(NOT TARGET GTest::gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${NVS_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
include(GoogleTest)

# nvs_add_test_suite(NAME DIR [LIBS ...] [PROPERTIES ...] [SHIPPED_PATHS filter ...]
# [BOTH_ECHO_MODES]): one test binary of every *.cpp in DIR. SHIPPED_PATHS names (as
# GoogleTest filters) the tests that link nodes under the shipped /dev/ttyACM* and
# /var/lock: a scanning library in one test process would open another's instrument
# there, so ctest runs them one at a time (the resource lock nvs_shipped_paths), and each
# one's time-out counts its own run. Every test runs with NVS_SHIPPED_PATHS_SCHEDULED set,
# to 1 for the listed ones and to 0 for the others: a test that takes ShippedPathsLock
# without being listed fails, naming the list it belongs in.
#
# BOTH_ECHO_MODES: with NVS_TEST_MINIMAL_ECHO on, the suite's tests run a second time
# (named minimal-echo:<test>) against an emulator that repeats in its replies only what
# the instrument promises (NVS_EMULATOR_ECHO=minimal). The shipped-path tests (loading,
# hostile arguments) are left out of that second run: they are serialised, and they
# exercise no exchange that the first run does not.
# On by default in the native builds but for ThreadSanitizer's, which keep the CI's time.
set(nvs_minimal_echo_default ON)
if(CMAKE_CROSSCOMPILING OR NVS_MACOS_STANDIN OR NVS_SANITIZE MATCHES "thread")
  set(nvs_minimal_echo_default OFF)
endif()
option(NVS_TEST_MINIMAL_ECHO "Run the emulator suites a second time with the emulator's minimal echo"
       ${nvs_minimal_echo_default})

function(nvs_add_test_suite name dir)
  cmake_parse_arguments(ARG "BOTH_ECHO_MODES" "" "LIBS;PROPERTIES;SHIPPED_PATHS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE nvs_core nvs_test_support GTest::gtest_main GTest::gmock ${ARG_LIBS})
  set(echo "")
  if(ARG_BOTH_ECHO_MODES)
    set(echo BOTH_ECHO_MODES)
  endif()
  nvs_discover_tests(${name} ${echo} PROPERTIES ${ARG_PROPERTIES} SHIPPED_PATHS ${ARG_SHIPPED_PATHS})
endfunction()

# nvs_discover_tests(TARGET [BOTH_ECHO_MODES] [PROPERTIES ...] [SHIPPED_PATHS filter ...]):
# the ctest entries of a GoogleTest binary, as nvs_add_test_suite makes them.
function(nvs_discover_tests target)
  cmake_parse_arguments(ARG "BOTH_ECHO_MODES" "" "PROPERTIES;SHIPPED_PATHS" ${ARGN})
  set(common DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  set(own_filter "")
  if(ARG_SHIPPED_PATHS)
    list(JOIN ARG_SHIPPED_PATHS ":" shipped)
    set(own_filter TEST_FILTER "-${shipped}")
    gtest_discover_tests(${target} ${common} TEST_FILTER "${shipped}" TEST_LIST ${target}_SHIPPED_PATH_TESTS
                         PROPERTIES TIMEOUT 120 RESOURCE_LOCK nvs_shipped_paths
                                    ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=1 ${ARG_PROPERTIES})
  endif()
  gtest_discover_tests(${target} ${common} ${own_filter} TEST_LIST ${target}_OWN_TESTS
                       PROPERTIES TIMEOUT 120 ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=0 ${ARG_PROPERTIES})
  if(ARG_BOTH_ECHO_MODES AND NVS_TEST_MINIMAL_ECHO)
    gtest_discover_tests(${target} ${common} ${own_filter} TEST_PREFIX "minimal-echo:"
                         TEST_LIST ${target}_MINIMAL_ECHO_TESTS
                         PROPERTIES TIMEOUT 120 ENVIRONMENT NVS_SHIPPED_PATHS_SCHEDULED=0
                                    ENVIRONMENT_MODIFICATION NVS_EMULATOR_ECHO=set:minimal ${ARG_PROPERTIES})
  endif()
endfunction()
