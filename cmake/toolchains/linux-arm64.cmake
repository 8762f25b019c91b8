# Cross-compiles for Linux on arm64 with Debian's cross compiler
# (g++-aarch64-linux-gnu), and runs what it builds under qemu-user
# (qemu-aarch64). linux-common.cmake holds what the Linux targets share.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(AVOIDREC_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
