# The Windows build's test programs run under wine: each build tree has its own headless
# prefix, made at build time (test discovery runs before any ctest fixture could make
# it), and every test program runs through tools/wine-run.sh in it.
set(NVS_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/wine-run.sh ${NVS_WINEPREFIX})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/wineprefix.stamp
                   COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-prefix.sh ${NVS_WINEPREFIX}
                           ${CMAKE_BINARY_DIR}/wineprefix.stamp
                   COMMENT "Making the headless wine prefix"
                   VERBATIM)
add_custom_target(nvs_wine_prefix ALL DEPENDS ${CMAKE_BINARY_DIR}/wineprefix.stamp)
