# Makes one compressed manual page from its scdoc source:
#   cmake -DSCDOC=scdoc -DGIT=git -DSOURCE_DIR=... -DPAGE=packaging/man/x.1.scd
#         -DOUT=.../x.1.gz -P make_page.cmake
# The page's date is the time of the last commit that changed its source
# (SOURCE_DATE_EPOCH when that is set, or when the source is not in git),
# and gzip stores no name or time: two builds of one commit give one file.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%ct -- ${PAGE}
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE_DIR}/${PAGE} OUTPUT_FILE ${OUT}.roff
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "scdoc failed on ${PAGE}")
endif()
execute_process(COMMAND gzip -9nf ${OUT}.roff RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}.roff")
endif()
file(RENAME ${OUT}.roff.gz ${OUT})
