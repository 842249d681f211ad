# The Windows deliverable: NVS300x64.dll with its import library NVS300x64.lib and its
# module-definition file NVS300x64.def, both next to the DLL.
#
# The .def file is made from api/exports.txt: its plain names, and nothing else, are the
# DLL's exports. The decorated (C++) functions are not exported, and the link drops
# every section that no export reaches (--gc-sections), so the code only they use is not
# part of the DLL.
set(NVS_DEF_FILE ${CMAKE_CURRENT_BINARY_DIR}/NVS300x64.def)
add_custom_command(OUTPUT ${NVS_DEF_FILE}
                   COMMAND ${CMAKE_COMMAND} -DEXPORTS=${CMAKE_CURRENT_SOURCE_DIR}/api/exports.txt
                           -DDEF=${NVS_DEF_FILE}
                           -P ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/MakeDef.cmake
                   DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/api/exports.txt
                           ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/MakeDef.cmake
                   COMMENT "Making NVS300x64.def from exports.txt"
                   VERBATIM)
add_custom_target(nvs_def DEPENDS ${NVS_DEF_FILE})

add_library(nvs SHARED $<TARGET_OBJECTS:nvs_core> ${NVS_DEF_FILE})
add_dependencies(nvs nvs_def)
set_target_properties(nvs PROPERTIES OUTPUT_NAME NVS300x64 PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
target_link_libraries(nvs PRIVATE setupapi winmm user32)
target_link_options(nvs PRIVATE -static -Wl,--gc-sections -Wl,--no-undefined)
