# Cross-compiles for Linux on s390x with Debian's cross compiler
# (g++-s390x-linux-gnu), and runs what it builds under qemu-user (qemu-s390x),
# with the target's C library from /usr/s390x-linux-gnu for the programs linked
# dynamically. No binfmt handler is needed, nor set up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QEMU_S390X qemu-s390x)
if(QEMU_S390X)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_S390X} -L /usr/s390x-linux-gnu)
endif()
