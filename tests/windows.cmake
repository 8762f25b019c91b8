# The Windows builds, 32-bit and 64-bit, cross-compiled with MinGW-w64 and
# packed inside this build tree, and run under Wine through the same pipe
# cases: the 64-bit one under Wine's 64-bit loader everywhere, the 32-bit one
# where the kernel runs 32-bit programs too. Included by CMakeLists.txt here
# when AVOIDREC_WINDOWS_TESTS is on.
#
# They need MinGW-w64 for both targets and Wine with a 64-bit loader that
# runs. Where any of it is missing, they are left out with a line that says
# so, or, with AVOIDREC_REQUIRE_WINDOWS (as the test command configures),
# configure fails. The tools are looked up at every configure and never kept
# in the cache, so that a tool installed since, or removed, is seen.
set(windows_missing)
foreach(tool MINGW_CXX:i686-w64-mingw32-g++ MINGW64_CXX:x86_64-w64-mingw32-g++
             MINGW_OBJDUMP:i686-w64-mingw32-objdump MINGW64_OBJDUMP:x86_64-w64-mingw32-objdump
             WINE:wine WINESERVER:wineserver WINE64:wine64)
  string(REPLACE ":" ";" tool ${tool})
  list(GET tool 0 variable)
  list(GET tool 1 name)
  # Debian's wine script starts the 32-bit loader whenever wine32 is
  # installed, so the 64-bit one is called directly, from where Debian
  # keeps it.
  set(where)
  if(name STREQUAL "wine64")
    set(where PATHS /usr/lib/wine)
  endif()
  unset(${variable} CACHE)
  find_program(${variable} ${name} ${where} NO_CACHE)
  if(NOT ${variable})
    list(APPEND windows_missing ${name})
  endif()
endforeach()
if(WINE64)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINELOADER=${WINE64} ${WINE64} --version
                  RESULT_VARIABLE wine64_runs OUTPUT_QUIET ERROR_QUIET)
  if(NOT wine64_runs EQUAL 0)
    list(APPEND windows_missing "a wine64 that runs (${WINE64} --version fails)")
  endif()
endif()
if(windows_missing)
  list(JOIN windows_missing ", " windows_missing)
  string(CONCAT windows_missing "they need ${windows_missing} (packages g++-mingw-w64-i686 "
                "g++-mingw-w64-x86-64 wine wine64)")
  if(AVOIDREC_REQUIRE_WINDOWS)
    message(FATAL_ERROR "Windows tests required (AVOIDREC_REQUIRE_WINDOWS): ${windows_missing}")
  endif()
  message(STATUS "Windows tests left out: ${windows_missing}")
  file(REMOVE ${CMAKE_BINARY_DIR}/windows-under-wine.txt)
  return()
endif()
include(ExternalProject)
# Under make, each sub-build is a recursive make: make hands its jobserver
# only to a command it sees as one ($(MAKE) in it), and a make started
# through cmake --build would find the jobserver named but closed, warn and
# build alone.
foreach(bits 32 64)
  if(bits EQUAL 32)
    set(dir ${CMAKE_BINARY_DIR}/windows)
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-w64-i686.cmake)
    set(format PE32)
    set(objdump ${MINGW_OBJDUMP})
    set(suffix "")
  else()
    set(dir ${CMAKE_BINARY_DIR}/windows64)
    set(toolchain ${PROJECT_SOURCE_DIR}/cmake/toolchains/mingw-w64-x86_64.cmake)
    set(format PE32+)
    set(objdump ${MINGW64_OBJDUMP})
    set(suffix 64)
  endif()
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    set(windows_build $(MAKE) -C ${dir})
  else()
    set(windows_build ${CMAKE_COMMAND} --build ${dir} --target)
  endif()
  ExternalProject_Add(avoidrec_windows${suffix}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${toolchain}
               -DCMAKE_BUILD_TYPE=Release -DAVOIDREC_WERROR=${AVOIDREC_WERROR}
    BUILD_COMMAND ${windows_build} all
    COMMAND ${windows_build} package
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    # avoidrec_windows-configure, which configures the sub-build alone, gives
    # the static analysis its compile commands.
    STEP_TARGETS configure)
  # A console program that imports from system DLLs only, so it runs with
  # no DLL beside it; and the .zip that ships it.
  avoidrec_script_test(windows_pe NAME windows${suffix}_pe ${objdump} ${dir}/avoidrec.exe ${format})
  avoidrec_script_test(windows_zip NAME windows${suffix}_zip ${CMAKE_COMMAND}
    ${dir}/avoidrec-${PROJECT_VERSION}-win${bits}.zip ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR}
    ${toolchain})
endforeach()

# Which Wine loader can run here: the 32-bit one needs a kernel that runs
# 32-bit programs, which a kernel may have switched off
# (ia32_emulation=off).
execute_process(COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows_wine_runs.sh ${WINE}
                RESULT_VARIABLE wine32_runs OUTPUT_QUIET ERROR_VARIABLE wine32_reason)
# windows-under-wine.txt says which ran, in a first line short enough for a
# terminal; Wine's reason, which names paths and may run long, follows it.
if(NOT wine32_runs EQUAL 0)
  string(STRIP "${wine32_reason}" wine32_reason)
  message(STATUS "Under Wine: the 64-bit program only. ${wine32_reason}")
  file(WRITE ${CMAKE_BINARY_DIR}/windows-under-wine.txt
       "64-bit program run under Wine; the 32-bit one not, its loader does not start here\n"
       "${wine32_reason}\n")
else()
  file(WRITE ${CMAKE_BINARY_DIR}/windows-under-wine.txt
       "32-bit and 64-bit programs run under Wine\n")
endif()

if(GTest_FOUND)
  # A program under Wine may leave a helper process holding its standard
  # input, so inputs larger than a pipe holds are left out, and so are the
  # cases that rest on Linux alone (file size limits, non-blocking pipes,
  # argument bytes from 0x80 up, which Windows passes through its code
  # page).
  set(windows_cases
      *Accepted*:*Rejected*:*/Arguments.*:Cli.*-*WordMillion:*FileSizeLimit*:*/Arguments.*/HighBytes)
  set(runs 64)
  if(wine32_runs EQUAL 0)
    list(APPEND runs 32)
  endif()
  foreach(bits ${runs})
    if(bits EQUAL 32)
      set(suffix "")
      set(dir ${CMAKE_BINARY_DIR}/windows)
      set(loader ${WINE})
      set(server ${WINESERVER})
      set(env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all)
    else()
      set(suffix 64)
      set(dir ${CMAKE_BINARY_DIR}/windows64)
      set(loader ${WINE64})
      set(server ${WINESERVER})
      set(env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix64 WINEDEBUG=-all WINELOADER=${WINE64})
    endif()
    add_dependencies(cli_test avoidrec_windows${suffix})
    add_test(NAME windows${suffix}_wine_prefix COMMAND ${loader} wineboot --init)
    # Wine's helper processes end a few seconds after the last program;
    # wait for them.
    add_test(NAME windows${suffix}_wine_stop COMMAND ${server} --wait)
    add_test(NAME windows${suffix}_cli COMMAND cli_test --gtest_filter=${windows_cases})
    avoidrec_script_test(windows_same_bytes NAME windows${suffix}_same_bytes
                         $<TARGET_FILE:avoidrec> ${loader} ${dir}/avoidrec.exe)
    set_tests_properties(windows${suffix}_wine_prefix PROPERTIES
                         FIXTURES_SETUP wine${suffix} ENVIRONMENT "${env}")
    set_tests_properties(windows${suffix}_wine_stop PROPERTIES
                         FIXTURES_CLEANUP wine${suffix} ENVIRONMENT "${env}")
    set_tests_properties(windows${suffix}_cli PROPERTIES FIXTURES_REQUIRED wine${suffix}
      ENVIRONMENT "${env};AVOIDREC_LAUNCHER=${loader};AVOIDREC_EXE=${dir}/avoidrec.exe;AVOIDREC_WINDOWS=1")
    set_tests_properties(windows${suffix}_same_bytes PROPERTIES
                         FIXTURES_REQUIRED wine${suffix} ENVIRONMENT "${env}")
  endforeach()
endif()
