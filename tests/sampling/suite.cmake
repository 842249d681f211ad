# The sampling suite drives the library against the emulator with the device API
# suite's fixture.
if(TARGET nvs_sampling_tests)
  target_sources(nvs_sampling_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../api/ApiFixture.cpp)
  target_include_directories(nvs_sampling_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../api)
endif()
