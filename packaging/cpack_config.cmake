# Read by cpack for each package it makes. File times in the package are
# SOURCE_DATE_EPOCH: the time of the last commit unless it is set already, so
# two packages made from one commit are the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_QUARLO_GIT)
  execute_process(COMMAND ${CPACK_QUARLO_GIT} -C ${CPACK_QUARLO_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()
