# Read by cpack as it packs. The packages' time stamps are the last commit's
# unless SOURCE_DATE_EPOCH says otherwise, so that two builds of one commit,
# wherever and whenever they run, give the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY "${CPACK_AVOIDREC_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND epoch)
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()
