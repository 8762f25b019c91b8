# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# mingw-w64-common.cmake holds what the Windows targets share.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests built for Windows run under Wine's 64-bit loader when it is there,
# called directly: Debian's wine script starts the 32-bit one whenever
# wine32 is installed.
find_program(WINE64_EXECUTABLE wine64 PATHS /usr/lib/wine)
if(WINE64_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE64_EXECUTABLE})
endif()
