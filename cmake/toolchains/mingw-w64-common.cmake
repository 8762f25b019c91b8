# What the mingw-w64-*.cmake toolchain files share; not a toolchain file
# itself. Each of them names its target's CMAKE_SYSTEM_PROCESSOR (i686 or
# x86_64), which names Debian's MinGW-w64 compilers (<processor>-w64-mingw32-g++),
# then includes this, and sets the Wine loader that runs its programs.
if(NOT CMAKE_SYSTEM_PROCESSOR)
  message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE} is included by a toolchain file "
                      "that sets CMAKE_SYSTEM_PROCESSOR")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(AVOIDREC_TRIPLET ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER ${AVOIDREC_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${AVOIDREC_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${AVOIDREC_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${AVOIDREC_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
