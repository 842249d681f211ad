# The device API suite also loads the built deliverable the way a host does (dlopen).
if(TARGET nvs_api_tests)
  add_dependencies(nvs_api_tests nvs)
  target_compile_definitions(nvs_api_tests PRIVATE NVS_SHARED_LIBRARY="$<TARGET_FILE:nvs>"
                                                   NVS_EXPORTS_TXT="${PROJECT_SOURCE_DIR}/Code/Device/api/exports.txt")
  target_link_libraries(nvs_api_tests PRIVATE ${CMAKE_DL_LIBS})
endif()

# A host program that unloads the library in a given state; the suite runs it as a child
# process, so a crash at the unload ends the child and not the suite.
if(TARGET nvs_api_tests)
  add_executable(nvs_unload_host ${CMAKE_CURRENT_LIST_DIR}/host/UnloadHost.cpp)
  target_include_directories(nvs_unload_host PRIVATE ${PROJECT_SOURCE_DIR}/Code/Device/api)
  target_link_libraries(nvs_unload_host PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  add_dependencies(nvs_api_tests nvs_unload_host)
  # A cross build runs the host program under the same user-mode emulator as the tests.
  string(REPLACE ";" "|" unload_runner "${CMAKE_CROSSCOMPILING_EMULATOR}")
  target_compile_definitions(nvs_api_tests PRIVATE NVS_UNLOAD_HOST="$<TARGET_FILE:nvs_unload_host>"
                                                   NVS_UNLOAD_RUNNER="${unload_runner}")
endif()

# The unplug suite runs its short set of rows under user-mode emulation by default.
if(TARGET nvs_api_tests)
  if(CMAKE_CROSSCOMPILING)
    target_compile_definitions(nvs_api_tests PRIVATE NVS_UNPLUG_SHORT_ROWS=1)
  else()
    target_compile_definitions(nvs_api_tests PRIVATE NVS_UNPLUG_SHORT_ROWS=0)
  endif()
endif()

# A host program that competes for the port with other processes (PortRaceTest.cpp).
if(TARGET nvs_api_tests)
  add_executable(nvs_port_race_host ${CMAKE_CURRENT_LIST_DIR}/host/PortRaceHost.cpp)
  target_link_libraries(nvs_port_race_host PRIVATE nvs_test_support)
  add_dependencies(nvs_api_tests nvs_port_race_host)
  target_compile_definitions(nvs_api_tests PRIVATE NVS_PORT_RACE_HOST="$<TARGET_FILE:nvs_port_race_host>")
endif()
