# The device API suite also loads the built deliverable the way a host does (dlopen).
if(TARGET nvs_api_tests)
  add_dependencies(nvs_api_tests nvs)
  target_compile_definitions(nvs_api_tests PRIVATE NVS_SHARED_LIBRARY="$<TARGET_FILE:nvs>")
  target_link_libraries(nvs_api_tests PRIVATE ${CMAKE_DL_LIBS})
endif()
