# Cross build for 32-bit ARM Linux, hard-float, with Debian's cross compiler
# (g++-arm-linux-gnueabihf); test and benchmark binaries run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELORIN_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELORIN_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
