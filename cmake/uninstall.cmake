# The uninstall target: removes what the installs from this build tree wrote,
# as they recorded it in AVOIDREC_INSTALL_PATHS (see
# cmake/install_record.cmake): every file, and every directory that an
# install made, if it is empty once the files are gone. A directory that
# existed before is kept, and so is anything else, wherever it is.
#
# DESTDIR is not read: the recorded paths already hold the one the install
# had, so an uninstall with DESTDIR forgotten, or given again, removes the
# same files, never those of the live prefix.

cmake_policy(VERSION 3.25)

if(NOT EXISTS "${AVOIDREC_INSTALL_PATHS}")
  message(STATUS "Nothing to uninstall: no install from this tree is recorded in "
                 "${AVOIDREC_INSTALL_PATHS}")
  return()
endif()

file(STRINGS "${AVOIDREC_INSTALL_PATHS}" entries)
set(files)
set(dirs)
foreach(entry IN LISTS entries)
  if(entry MATCHES "^(.+)/$")
    list(APPEND dirs "${CMAKE_MATCH_1}")
  elseif(NOT entry STREQUAL "")
    list(APPEND files "${entry}")
  endif()
endforeach()

set(failed)
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}" OR (EXISTS "${file}" AND NOT IS_DIRECTORY "${file}"))
    message(STATUS "Removing: ${file}")
    file(REMOVE "${file}")
    if(IS_SYMLINK "${file}" OR EXISTS "${file}")
      list(APPEND failed "${file}")
    endif()
  elseif(EXISTS "${file}")
    message(STATUS "Keeping, now a directory: ${file}")
  else()
    message(STATUS "Already gone: ${file}")
  endif()
endforeach()

# A directory's contents before the directory: a path sorts after its
# parent's.
list(SORT dirs)
list(REVERSE dirs)
foreach(dir IN LISTS dirs)
  if(IS_SYMLINK "${dir}" OR NOT IS_DIRECTORY "${dir}")
    continue()
  endif()
  # Glob's special characters in the directory's own path stand for
  # themselves.
  string(REGEX REPLACE "([][*?])" "[\\1]" pattern "${dir}")
  file(GLOB left LIST_DIRECTORIES true "${pattern}/*")
  if(NOT left STREQUAL "")
    message(STATUS "Keeping, not empty: ${dir}")
    continue()
  endif()
  message(STATUS "Removing: ${dir}/")
  # Empty, as just seen: removing it recursively removes it alone.
  file(REMOVE_RECURSE "${dir}")
  if(EXISTS "${dir}")
    list(APPEND failed "${dir}/")
  endif()
endforeach()

if(failed)
  list(JOIN failed "\n  " failed)
  message(FATAL_ERROR "Could not remove:\n  ${failed}\n"
                      "${AVOIDREC_INSTALL_PATHS} is kept, for another try.")
endif()
file(REMOVE "${AVOIDREC_INSTALL_PATHS}")
