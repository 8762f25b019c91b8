# Cross-compiles for Linux on s390x with Debian's cross compiler
# (g++-s390x-linux-gnu), and runs what it builds under qemu-user
# (qemu-s390x). linux-common.cmake holds what the Linux targets share.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(AVOIDREC_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
