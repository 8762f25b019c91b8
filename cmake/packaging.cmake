# Installing and packaging. On Linux: the program, its man page, changelog
# and copyright notice, packed as a .deb. On Windows: avoidrec.exe and a
# read-me with CR LF line ends, packed as a .zip. `cmake --build <dir>
# --target package` makes either, with a SHA-256 checksum file beside it.
include(GNUInstallDirs)

# Where an install writes, relative to the prefix. Every install records the
# paths it wrote, DESTDIR included, in install_paths.txt in the build tree,
# with the directories it made, and `cmake --build <dir> --target uninstall`
# removes those and no others (cmake/install_record.cmake and
# cmake/uninstall.cmake tell how). The record needs these directories to
# tell which ones the install made.
if(WIN32)
  set(install_dirs .)
else()
  set(install_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DOCDIR}
                   ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)
endif()
set(AVOIDREC_INSTALL_PATHS ${PROJECT_BINARY_DIR}/install_paths.txt)
install(CODE "set(avoidrec_install_step begin)
set(avoidrec_install_dirs [==[${install_dirs}]==])
set(avoidrec_install_paths [==[${AVOIDREC_INSTALL_PATHS}]==])" ALL_COMPONENTS)
install(SCRIPT cmake/install_record.cmake ALL_COMPONENTS)
# The record's last step is the last install rule of all, at the end of the
# top CMakeLists.txt.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DAVOIDREC_INSTALL_PATHS=${AVOIDREC_INSTALL_PATHS}
          -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)

set(AVOIDREC_MAINTAINER "avoidrec developers <avoidrec@example.org>"
    CACHE STRING "The packages' maintainer field")

set(CPACK_PACKAGE_NAME avoidrec)
set(CPACK_PACKAGE_VENDOR "avoidrec developers")
set(CPACK_PACKAGE_CONTACT ${AVOIDREC_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "linear recurrence counting the binary strings that avoid a word")
# Lines of at most 80 characters, as a Debian package description wants.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "avoidrec reads a word, such as 00101, and prints the coefficients of the"
  "linear recurrence obeyed by the number of binary strings of length n that do"
  "not contain the word as a contiguous substring: for 00101,"
  "a(n) = 2 a(n-1) - a(n-5).")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_AVOIDREC_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_project.cmake)

if(WIN32)
  # The read-me ends with the notice of packaging/copyright, which the .deb
  # carries and --version quotes, without its first line, the program's
  # name. configure_file gives CR LF to the lines of the template, not to
  # those inside a value, so the notice gets its own.
  file(READ packaging/copyright notice)
  string(FIND "${notice}" "\n" title_end)
  math(EXPR title_end "${title_end} + 1")
  string(SUBSTRING "${notice}" ${title_end} -1 notice)
  string(STRIP "${notice}" notice)
  string(REPLACE "\n" "\r\n" AVOIDREC_COPYRIGHT_NOTICE "${notice}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/copyright)
  configure_file(packaging/readme-windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS avoidrec RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  # avoidrec-<version>-win32.zip or -win64.zip, by the target's pointer size.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  configure_file(doc/avoidrec.1.in avoidrec.1 @ONLY)
  configure_file(packaging/changelog.in changelog @ONLY)
  # The manual page and the changelog are installed compressed, as Debian
  # wants, with no name or time inside (gzip -n), so that they are the same
  # bytes on every build.
  find_program(GZIP gzip REQUIRED)
  set(compressed)
  foreach(file avoidrec.1 changelog)
    add_custom_command(OUTPUT ${file}.gz COMMAND ${GZIP} -9nkf ${file}
                       DEPENDS ${PROJECT_BINARY_DIR}/${file} WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
    list(APPEND compressed ${PROJECT_BINARY_DIR}/${file}.gz)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  # Building the program alone leaves a tree that installs whole.
  add_dependencies(avoidrec compressed_docs)
  install(TARGETS avoidrec RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The C library's start files and the static C and C++ libraries bring in
  # their compilers' notes, the .comment section, which no compiler option
  # leaves out and lintian finds unneeded: the installed program, and so the
  # packed one, goes without it, stripped or not. objcopy writes the same
  # bytes every time.
  if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    if(NOT CMAKE_OBJCOPY)
      message(FATAL_ERROR "no objcopy, which the install needs to remove .comment")
    endif()
    install(CODE "set(avoidrec_program [==[${CMAKE_INSTALL_BINDIR}/avoidrec]==])
if(NOT IS_ABSOLUTE \"\${avoidrec_program}\")
  set(avoidrec_program \"\${CMAKE_INSTALL_PREFIX}/\${avoidrec_program}\")
endif()
execute_process(COMMAND [==[${CMAKE_OBJCOPY}]==] --remove-section=.comment
                        \"\$ENV{DESTDIR}\${avoidrec_program}\" COMMAND_ERROR_IS_FATAL ANY)")
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/avoidrec.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The override means something only to lintian, inside the .deb: a plain
  # install leaves it out, and the package adds its component. Lintian
  # names a static PIE and a plain static program differently, so each has
  # its own.
  if(AVOIDREC_LINK_STATIC_PIE)
    set(lintian_overrides packaging/lintian-overrides-static-pie)
  else()
    set(lintian_overrides packaging/lintian-overrides-static)
  endif()
  if(AVOIDREC_LINK_STATIC)
    install(FILES ${lintian_overrides}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME avoidrec
            COMPONENT deb EXCLUDE_FROM_ALL)
    set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};avoidrec;Unspecified;/"
                                     "${PROJECT_BINARY_DIR};avoidrec;deb;/")
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # CPack would label a cross-built package with this machine's
  # architecture: the target's Debian name comes from the compiler's triplet.
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                    OUTPUT_VARIABLE triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND dpkg-architecture -t ${triplet} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE AVOIDREC_DEBIAN_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${AVOIDREC_DEBIAN_ARCHITECTURE})
  endif()
  set(CPACK_DEBIAN_PACKAGE_SECTION math)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The statically linked program depends on nothing; a dynamically linked
  # one gets its library dependencies from dpkg-shlibdeps.
  if(NOT AVOIDREC_LINK_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)
