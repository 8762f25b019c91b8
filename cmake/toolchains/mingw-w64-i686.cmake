# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686).
# mingw-w64-common.cmake holds what the Windows targets share.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Tests built for Windows run under Wine when it is there.
find_program(WINE_EXECUTABLE wine)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
