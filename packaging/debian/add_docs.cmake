# Run by cpack on the installed tree before it makes the Debian package:
# /usr/share/doc/quarlo gets the copyright file (the licence in Debian's
# machine-readable form, which takes the place of LICENSE there) and the
# compressed changelog.Debian.gz (gzip stores no name or time); and the
# lintian overrides, each with its reason.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(doc ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/quarlo)
file(REMOVE ${doc}/LICENSE)
configure_file(${CPACK_QUARLO_DEB_COPYRIGHT} ${doc}/copyright COPYONLY)
configure_file(${CPACK_QUARLO_DEB_CHANGELOG} ${doc}/changelog.Debian COPYONLY)
execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${doc}/changelog.Debian")
endif()
configure_file(${CPACK_QUARLO_DEB_OVERRIDES}
               ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides/quarlo
               COPYONLY)
