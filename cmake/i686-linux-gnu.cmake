# Cross build for 32-bit x86 Linux with Debian's cross compiler
# (g++-i686-linux-gnu); binaries run under qemu-i386 (Debian's qemu-user).
# The engine's flags add SSE2 arithmetic for this target (see CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELORIN_CROSS_TRIPLE i686-linux-gnu)
set(CMAKE_C_COMPILER ${VELORIN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELORIN_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VELORIN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/${VELORIN_CROSS_TRIPLE})
