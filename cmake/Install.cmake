# What a host developer installs (cmake --install build/<preset> --prefix P), and the
# Debian package of the same files (cpack --preset <preset>):
#   P/include/nvs300.h                  the exported header, as it stands
#   P/lib/libnvs-<arch>.so.<version>    the deliverable, SONAME libnvs-<arch>.so.<major>,
#                                       with the links libnvs-<arch>.so.<major> and
#                                       libnvs-<arch>.so (the name hosts load it by)
#   P/lib/pkgconfig/nvs.pc              pkg-config --cflags --libs nvs
#   P/lib/cmake/nvs/                    find_package(nvs): the imported target nvs::nvs
#   P/bin/nvs-emulator                  the emulated instrument, for hosts without hardware
# Nothing of the tests, benchmarks or test seams is installed.
include(CMakePackageConfigHelpers)

install(TARGETS nvs EXPORT nvsTargets LIBRARY DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/Code/Device/api/nvs300.h DESTINATION include)
if(TARGET nvs-emulator)
  install(TARGETS nvs-emulator RUNTIME DESTINATION bin)
endif()

# The CMake package: the target file, a config that reads it, and a version file (same
# major version; the version file also turns away a library of another pointer width).
install(EXPORT nvsTargets NAMESPACE nvs:: FILE nvsTargets.cmake DESTINATION lib/cmake/nvs)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nvsConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/nvsConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/nvsConfigVersion.cmake
        DESTINATION lib/cmake/nvs)

# The pkg-config file names the prefix given at install time (--prefix, or /usr inside
# a package), so it is written when installing, not when configuring.
get_target_property(nvs_library_name nvs OUTPUT_NAME)
install(CODE "
  set(NVS_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(NVS_LIBRARY_NAME \"${nvs_library_name}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/nvs.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/nvs.pc\" @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nvs.pc DESTINATION lib/pkgconfig)

# One Debian binary package per Linux deliverable, for the deliverable's architecture.
# The packages share a name: dpkg installs one architecture's at a time.
# Each entry: deliverable=Debian architecture=the libgcc-s1 version whose symbols the
# deliverable uses (its 64-bit division helpers: GCC_7.0.0 on i386, GCC_3.5 on armhf).
set(nvs_debian_targets x86_64=amd64=3.0 i386=i386=7 armhf=armhf=3.5 aarch64=arm64=3.0)
list(FILTER nvs_debian_targets INCLUDE REGEX "^${NVS_ARCH}=")
if(NOT nvs_debian_targets)
  message(STATUS "No Debian package for the architecture ${NVS_ARCH}")
  return()
endif()
string(REPLACE "=" ";" nvs_debian_target "${nvs_debian_targets}")
list(GET nvs_debian_target 1 CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
list(GET nvs_debian_target 2 nvs_libgcc_version)
set(NVS_PACKAGE_CONTACT "NVS300 device library maintainers <maintainers@nvs300.invalid>"
    CACHE STRING "The Debian packages' maintainer")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libnvs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${NVS_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NVS300 patient-signal simulator device library")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "The shared library that drives the NVS300 USB patient-signal simulator, its header, "
       "pkg-config and CMake package files, and nvs-emulator, an emulated instrument on a "
       "pseudo-terminal for host development without hardware.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# The C and C++ runtime only, at the versions whose symbols the library and the emulator
# use when built with the Debian 12 toolchains (what dpkg-shlibdeps finds natively; it
# cannot look into a cross sysroot, so the list is written here for every target).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= ${nvs_libgcc_version}), libstdc++6 (>= 12)")
set(CPACK_STRIP_FILES ON)
include(CPack)
