# Installing and packaging. On Linux: the program and its man page, packed
# as a .deb. On Windows: avoidrec.exe and a read-me with CR LF line ends,
# packed as a .zip. `cmake --build <dir> --target package` makes either.
include(GNUInstallDirs)

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

if(WIN32)
  configure_file(packaging/readme-windows.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS avoidrec RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  configure_file(doc/avoidrec.1.in avoidrec.1 @ONLY)
  install(TARGETS avoidrec RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/avoidrec.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION math)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The statically linked program depends on nothing; a dynamically linked
  # one gets its library dependencies from dpkg-shlibdeps.
  if(NOT AVOIDREC_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)
