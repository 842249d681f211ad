# Shared part of the Linux cross toolchains: Debian's cross compilers, their sysroots
# under /usr/<triple>, and the command that runs a target binary on this x86-64 machine.
# The including file sets NVS_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR (which picks NVS_ARCH
# in the top CMakeLists), NVS_CROSS_QEMU (the user-mode emulator) and, where this
# machine's kernel may run the target's code itself, NVS_CROSS_NATIVE_LOADER.
#
# The runner becomes CMAKE_CROSSCOMPILING_EMULATOR, so both gtest_discover_tests
# (PRE_TEST: the listing runs when ctest starts) and ctest run every test binary through
# it. Under qemu the tests see NVS_TEST_EMULATION=<emulator>, so a test that user-mode
# emulation cannot serve skips by name with GTEST_SKIP() and its reason; the library
# itself reads no environment variable.
set(CMAKE_SYSTEM_NAME Linux)

set(NVS_CROSS_SYSROOT /usr/${NVS_CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${NVS_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NVS_CROSS_TRIPLE}-g++)

# Debian's cross compilers already search /usr/<triple>; no CMAKE_SYSROOT, which would
# hide the multiarch headers they expect. Libraries and headers come only from the target
# side, tools only from this machine.
set(CMAKE_FIND_ROOT_PATH ${NVS_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(nvs_native FALSE)
if(NVS_CROSS_NATIVE_LOADER)
  # Only if the kernel executes the loader (it may lack 32-bit support).
  execute_process(COMMAND ${NVS_CROSS_NATIVE_LOADER} --version
                  RESULT_VARIABLE nvs_loader_result OUTPUT_QUIET ERROR_QUIET)
  if(nvs_loader_result EQUAL 0)
    set(nvs_native TRUE)
  endif()
endif()

if(nvs_native)
  # The sysroot's loader with the sysroot's libraries: no emulation.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NVS_CROSS_NATIVE_LOADER} --library-path ${NVS_CROSS_SYSROOT}/lib)
else()
  # -L alone is not enough: the target's loader still reads this machine's
  # /etc/ld.so.cache, which can name a host copy of the target's libc (libc6-i386 puts
  # one in /lib32). That libc does not match the sysroot's loader, and the program then
  # spins in its first pthread_create. LD_LIBRARY_PATH, set for the guest only, makes the
  # loader take the sysroot's libraries before it looks at the cache.
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${NVS_CROSS_QEMU} -L ${NVS_CROSS_SYSROOT}
      -E LD_LIBRARY_PATH=${NVS_CROSS_SYSROOT}/lib
      -E NVS_TEST_EMULATION=${NVS_CROSS_QEMU})
endif()
