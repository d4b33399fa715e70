# Cross build for 32-bit ARM Linux, hard-float, with Debian's cross compiler
# (g++-arm-linux-gnueabihf). Test and benchmark binaries run through qemu-arm
# (Debian's qemu-user), which CTest and GoogleTest's test discovery use as the
# emulator; -L points it at the cross libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELORIN_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VELORIN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELORIN_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VELORIN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${VELORIN_CROSS_TRIPLE})
