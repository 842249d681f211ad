# Linux 32-bit ARM, hard-float deliverable (libnvs-armhf.so) with Debian's
# g++-arm-linux-gnueabihf; tests run under qemu-arm (user mode).
set(NVS_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(NVS_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
