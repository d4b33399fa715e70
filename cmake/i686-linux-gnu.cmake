# Cross build for 32-bit x86 Linux with Debian's cross compiler
# (g++-i686-linux-gnu); binaries run under qemu-i386.
# The engine's flags add SSE2 arithmetic for this target (see CMakeLists.txt).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELORIN_CROSS_TRIPLE i686-linux-gnu)
set(VELORIN_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
