# Windows x64 deliverable (NVS300x64.dll) with Debian's mingw-w64 cross compiler.
#
# The -posix variant of the compiler: the default win32-thread one lacks std::thread and
# std::mutex, which the library's portable code and GoogleTest use. Everything is linked
# statically, so the DLL and the test programs import only Windows system DLLs (without
# -static they import libwinpthread-1.dll).
#
# Test programs run under wine64 through tools/wine-run.sh, which gives each build tree
# its own headless wine prefix (made at build time, see tests/windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NVS_CROSS_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${NVS_CROSS_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NVS_CROSS_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NVS_CROSS_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${NVS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
