# The suites of the Windows build, run under wine (cmake/Wine.cmake): the pure ones from
# their folders, and this folder's tests of the Win32 backend. Test discovery runs the
# programs too, so it waits for the build tree's wine prefix.
add_library(nvs_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/../support/Watchdog.cpp
                                    ${CMAKE_CURRENT_LIST_DIR}/../support/WaveformRecords.cpp)
target_include_directories(nvs_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../support)
target_link_libraries(nvs_test_support PUBLIC nvs_core GTest::gtest)
# The timer facts that only the macOS platform lacks (the first mark one period after
# the start, no timer for an unknown number) hold on Windows as on Linux.
target_compile_definitions(nvs_test_support PUBLIC NVS_TEST_LINUX_PLATFORM=1)

function(nvs_add_wine_suite name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE nvs_core nvs_test_support GTest::gtest_main GTest::gmock)
  add_dependencies(${name} nvs_wine_prefix)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

set(parent ${CMAKE_CURRENT_LIST_DIR}/..)
file(GLOB waveform_sources CONFIGURE_DEPENDS ${parent}/waveform/*.cpp)
nvs_add_wine_suite(nvs_waveform_tests ${waveform_sources})
target_compile_options(nvs_waveform_tests PRIVATE -include ${CMAKE_CURRENT_LIST_DIR}/DecoratedFunctions.h)
nvs_add_wine_suite(nvs_output_tests ${parent}/output/SimulationTest.cpp)
nvs_add_wine_suite(nvs_playback_tests ${parent}/playback/PlaybackFixture.cpp ${parent}/playback/RawDataTest.cpp
                   ${parent}/playback/SignalTest.cpp ${parent}/playback/StreamPacketTest.cpp)
nvs_add_wine_suite(nvs_json_tests ${parent}/playback/JSONReaderTest.cpp)
nvs_add_wine_suite(nvs_sampling_tests ${parent}/sampling/FpgaReportTest.cpp ${parent}/sampling/DecodeTest.cpp
                   ${parent}/sampling/SamplingRecorder.cpp)
nvs_add_wine_suite(nvs_service_tests ${parent}/service/PacketTest.cpp)
nvs_add_wine_suite(nvs_protocol_tests ${parent}/protocol/ModelTablesTest.cpp ${parent}/protocol/ReplyMatchTest.cpp)
file(GLOB windows_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
nvs_add_wine_suite(nvs_platform_tests ${parent}/platform/TimersTest.cpp
                   ${windows_sources})

# The DLL as a host loads it. Processes that have it loaded share its window-class
# counter: its tests run one at a time.
add_executable(nvs_dll_tests ${CMAKE_CURRENT_LIST_DIR}/dll/DllTest.cpp)
target_include_directories(nvs_dll_tests PRIVATE ${PROJECT_SOURCE_DIR}/Code/Device)
target_link_libraries(nvs_dll_tests PRIVATE GTest::gtest_main)
target_compile_definitions(nvs_dll_tests PRIVATE NVS_DLL_PATH="$<TARGET_FILE:nvs>"
                           NVS_EXPORTS_TXT="${PROJECT_SOURCE_DIR}/Code/Device/api/exports.txt")
add_dependencies(nvs_dll_tests nvs nvs_wine_prefix)
gtest_discover_tests(nvs_dll_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120 RESOURCE_LOCK nvs_dll)

# The transport and the connection over the native emulator's port: one test that runs
# the whole program through the native wrapper, which starts the emulator and links its
# pseudo-terminal into the prefix under a name unique to the run.
add_executable(nvs_link_tests ${CMAKE_CURRENT_LIST_DIR}/link/LinkTest.cpp)
target_link_libraries(nvs_link_tests PRIVATE nvs_core GTest::gtest_main ws2_32)
# It calls the exported functions inside the program, not through an import library.
target_compile_definitions(nvs_link_tests PRIVATE NVS_BUILDING_LIBRARY)
add_dependencies(nvs_link_tests nvs_wine_prefix nvs_native_emulator)
add_test(NAME WinLink.OverTheEmulatorsPort
         COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-link-test.sh ${NVS_NATIVE_EMULATOR} ${NVS_WINEPREFIX}
                 $<TARGET_FILE:nvs_link_tests>)
set_tests_properties(WinLink.OverTheEmulatorsPort PROPERTIES TIMEOUT 120)
