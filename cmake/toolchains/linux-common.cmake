# What the linux-*.cmake toolchain files share; not a toolchain file itself.
# Each of them names its target, then includes this:
#   CMAKE_SYSTEM_PROCESSOR   as CMake and qemu-user name it (qemu-<processor>)
#   AVOIDREC_TRIPLET         Debian's triplet, which names its cross compiler
#                            (g++-<triplet>) and the directory of the
#                            target's C library
# It cross-compiles with Debian's cross compiler, and runs what it builds
# under qemu-user, with the target's C library from /usr/<triplet> for the
# programs linked dynamically. No binfmt handler is needed, nor set up.
if(NOT CMAKE_SYSTEM_PROCESSOR OR NOT AVOIDREC_TRIPLET)
  message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE} is included by a toolchain file "
                      "that sets CMAKE_SYSTEM_PROCESSOR and AVOIDREC_TRIPLET")
endif()
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${AVOIDREC_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AVOIDREC_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${AVOIDREC_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

string(TOUPPER QEMU_${CMAKE_SYSTEM_PROCESSOR} avoidrec_qemu)
find_program(${avoidrec_qemu} qemu-${CMAKE_SYSTEM_PROCESSOR})
if(${avoidrec_qemu})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${${avoidrec_qemu}} -L /usr/${AVOIDREC_TRIPLET})
endif()
