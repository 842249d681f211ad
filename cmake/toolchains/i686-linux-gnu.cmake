# Linux i386 deliverable (libnvs-i386.so) with Debian's g++-i686-linux-gnu.
#
# Where the kernel runs 32-bit code, tests run natively through the sysroot's own loader
# (which picks the sysroot's libc and libstdc++). A kernel built without 32-bit support
# refuses that loader ("Exec format error"); tests then run under qemu-i386.
set(NVS_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(NVS_CROSS_QEMU qemu-i386)
set(NVS_CROSS_NATIVE_LOADER /usr/${NVS_CROSS_TRIPLE}/lib/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
