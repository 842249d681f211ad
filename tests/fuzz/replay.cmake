# The fuzz targets' inputs in the normal presets: each target's entry built without
# libFuzzer into a replay program (FuzzReplay.cpp) that a test runs over its seed corpus
# and its regression cases, so an input that once went wrong is tried in every preset.
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
nvs_fuzz_support_library(nvs_fuzz_replay_support)
foreach(target ${NVS_FUZZ_TARGETS})
  add_executable(fuzz_replay_${target} ${fuzz_sources_${target}} ${CMAKE_CURRENT_LIST_DIR}/FuzzReplay.cpp)
  target_include_directories(fuzz_replay_${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  if(target IN_LIST NVS_FUZZ_LINK_TARGETS)
    target_link_libraries(fuzz_replay_${target} PRIVATE nvs_fuzz_replay_support)
  else()
    target_link_libraries(fuzz_replay_${target} PRIVATE nvs_core)
  endif()
  add_test(NAME fuzz_replay_${target}
           COMMAND fuzz_replay_${target} ${CMAKE_CURRENT_LIST_DIR}/corpus/${target}
                   ${CMAKE_CURRENT_LIST_DIR}/regressions/${target})
  set_tests_properties(fuzz_replay_${target} PROPERTIES TIMEOUT 120)
endforeach()
