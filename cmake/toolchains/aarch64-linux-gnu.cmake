# Linux 64-bit ARM deliverable (libnvs-aarch64.so) with Debian's g++-aarch64-linux-gnu;
# tests run under qemu-aarch64 (user mode).
set(NVS_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NVS_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
