# Cross-compiles for Linux on armhf with Debian's cross compiler
# (g++-arm-linux-gnueabihf), and runs what it builds under qemu-user
# (qemu-arm). linux-common.cmake holds what the Linux targets share.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(AVOIDREC_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
