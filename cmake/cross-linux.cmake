# What every cross build here shares: Debian's cross compiler for
# VELORIN_CROSS_TRIPLE, its libraries under /usr/TRIPLE, and binaries run
# through VELORIN_CROSS_QEMU (Debian's qemu-user), which CTest and GoogleTest's
# test discovery use as the emulator; -L points it at the cross libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELORIN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELORIN_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VELORIN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELORIN_CROSS_QEMU} -L /usr/${VELORIN_CROSS_TRIPLE})
