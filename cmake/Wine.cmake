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

# The native emulator (this machine's compiler, not the cross one), which the port tests'
# native wrapper starts.
include(ExternalProject)
ExternalProject_Add(nvs_native_emulator
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/native-emulator
  BINARY_DIR ${CMAKE_BINARY_DIR}/native-emulator
  CMAKE_ARGS -DNVS_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_TOOLCHAIN_FILE= -DCMAKE_CXX_COMPILER=g++
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target nvs-emulator --parallel 3
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  USES_TERMINAL_BUILD OFF)
set(NVS_NATIVE_EMULATOR ${CMAKE_BINARY_DIR}/native-emulator/emulator/nvs-emulator)
