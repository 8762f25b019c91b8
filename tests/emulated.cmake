# Built for another Linux architecture and run under its emulator, the
# toolchain file's CMAKE_CROSSCOMPILING_EMULATOR (qemu-user), which ctest
# puts in front of every program built here: the unit tests above, the pipe
# and argument cases of cli_test, and the same bytes as this machine's own
# program. The terminal and strace tests run natively only: under qemu-user
# what the kernel and strace see are the emulator's own system calls and
# signal numbers.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "no emulator for ${CMAKE_SYSTEM_PROCESSOR}: install qemu-user")
endif()

# cli_test runs under the emulator and starts the program through it too:
# the program is linked statically, so the emulator alone is its launcher.
# Left out: what rests on the host's kernel beyond the emulator's reach
# (a file size limit, a non-blocking pipe, a pseudo-terminal) and the
# million-byte word, slow under emulation.
add_executable(cli_test cli_test.cpp)
avoidrec_cxx20(cli_test)
target_link_libraries(cli_test PRIVATE avoidrec_core avoidrec_warnings GTest::gtest_main)
target_compile_definitions(cli_test PRIVATE AVOIDREC_EXE="$<TARGET_FILE:avoidrec>"
                           AVOIDREC_VERSION="${PROJECT_VERSION}"
                           AVOIDREC_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(cli_test avoidrec)
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 emulator)
set(emulated_cases *Accepted*:*Rejected*:*/Arguments.*:Cli.*-*WordMillion:*FileSizeLimit*)
add_test(NAME emulated_cli COMMAND cli_test --gtest_filter=${emulated_cases})
set_tests_properties(emulated_cli PROPERTIES ENVIRONMENT AVOIDREC_LAUNCHER=${emulator})

# The same bytes as this machine's program, given by AVOIDREC_REFERENCE_EXE.
set(AVOIDREC_REFERENCE_EXE "" CACHE FILEPATH "This machine's own avoidrec, to compare bytes with")
if(AVOIDREC_REFERENCE_EXE)
  add_test(NAME emulated_same_bytes
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/emulated_same_bytes.sh ${AVOIDREC_REFERENCE_EXE}
                   ${emulator} $<TARGET_FILE:avoidrec>)
else()
  message(STATUS "AVOIDREC_REFERENCE_EXE not set: no comparison of bytes with this machine")
endif()

# The .deb, labelled with the target's Debian architecture and checked as on
# this machine (lintian, the same bytes from a second build), with the
# program unpacked from it run under the emulator, by cli_test too.
find_program(DPKG_DEB dpkg-deb)
find_program(LINTIAN lintian)
if(DPKG_DEB AND LINTIAN)
  list(GET CMAKE_CROSSCOMPILING_EMULATOR 2 sysroot)
  avoidrec_package_test(deb_package ${PROJECT_BINARY_DIR} ${CMAKE_CPACK_COMMAND}
    ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR} ${LINTIAN} ${CMAKE_COMMAND}
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DAVOIDREC_STATIC=${AVOIDREC_STATIC})
  set_tests_properties(deb_package PROPERTIES RUN_SERIAL ON ENVIRONMENT
    "AVOIDREC_DEB_ARCHITECTURE=${AVOIDREC_DEBIAN_ARCHITECTURE};AVOIDREC_LAUNCHER=${emulator};AVOIDREC_SYSROOT=${sysroot};AVOIDREC_CLI_TEST=$<TARGET_FILE:cli_test>;AVOIDREC_CLI_CASES=${emulated_cases}")
endif()
