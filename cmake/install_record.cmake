# Run by `cmake --install` (or make install) twice: as its first step, with
# avoidrec_install_step set to "begin", and as its last, with "end". It
# writes to avoidrec_install_paths, a file in the build tree, every path the
# install wrote, DESTDIR included, one a line, and every directory it made,
# ending with a slash, so that the uninstall target (cmake/uninstall.cmake)
# removes exactly those. CMake's own install_manifest.txt leaves DESTDIR
# out: a removal driven by it would hit the files of the live prefix instead
# of the ones the install wrote.
#
# The list only grows until an uninstall empties it, so that installing
# again, elsewhere or in the same place, leaves nothing behind that the
# uninstall would not see.

cmake_policy(VERSION 3.25)

if(avoidrec_install_step STREQUAL "begin")
  # cpack runs the same install steps, outside script mode, into a staging
  # tree of its own that it then deletes; that is no install to record, and
  # recording it would put over the record of a real one.
  set(avoidrec_install_recording OFF)
  if(NOT DEFINED CMAKE_SCRIPT_MODE_FILE)
    return()
  endif()
  set(avoidrec_install_recording ON)

  # Which directories do not exist yet, on the way to each one that the
  # install may write into (avoidrec_install_dirs, relative to the prefix):
  # those that exist at the end were made by the install. As the install
  # does, a relative prefix is taken from the working directory, and so is
  # DESTDIR put in front of it, if relative.
  set(avoidrec_install_dirs_absent)
  set(avoidrec_install_dirs_full)
  foreach(dir IN LISTS avoidrec_install_dirs)
    get_filename_component(path "${CMAKE_INSTALL_PREFIX}/${dir}" ABSOLUTE)
    get_filename_component(path "$ENV{DESTDIR}${path}" ABSOLUTE)
    list(APPEND avoidrec_install_dirs_full "${path}")
    while(NOT IS_DIRECTORY "${path}")
      list(APPEND avoidrec_install_dirs_absent "${path}")
      get_filename_component(parent "${path}" DIRECTORY)
      if(parent STREQUAL path)
        break()  # a root that is missing, such as a drive letter with no drive
      endif()
      set(path "${parent}")
    endwhile()
  endforeach()
  return()
endif()

if(NOT avoidrec_install_recording)
  return()
endif()

# The manifest holds each path without DESTDIR; the file is where DESTDIR
# followed by that path leads.
set(paths)
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  get_filename_component(path "$ENV{DESTDIR}${file}" ABSOLUTE)
  list(APPEND paths "${path}")
  get_filename_component(dir "${path}" DIRECTORY)
  if(NOT dir IN_LIST avoidrec_install_dirs_full)
    message(WARNING "${path} is outside the directories that cmake/packaging.cmake lists for "
                    "the record of an install, so a directory made for it is not recorded and "
                    "the uninstall target leaves it")
  endif()
endforeach()
foreach(dir IN LISTS avoidrec_install_dirs_absent)
  if(IS_DIRECTORY "${dir}")
    list(APPEND paths "${dir}/")
  endif()
endforeach()

if(NOT paths)
  return()
endif()
if(EXISTS "${avoidrec_install_paths}")
  file(STRINGS "${avoidrec_install_paths}" earlier)
  list(PREPEND paths ${earlier})
endif()
list(REMOVE_DUPLICATES paths)
list(JOIN paths "\n" text)
file(WRITE "${avoidrec_install_paths}" "${text}\n")
message(STATUS "Recorded for the uninstall target: ${avoidrec_install_paths}")
