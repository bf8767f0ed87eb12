# What `cmake --install` puts beside the programs, and the Debian package
# with it.
#
# Everywhere: the licence (LICENSE, in the documentation folder; at the top
# of the Windows ZIP). Linux also: this README, the manual pages quarlo(1)
# and quarlo-host(1) (made from packaging/man/*.scd by scdoc, compressed),
# the completions where bash, zsh and fish look for them, and a systemd user
# unit for the host. The Debian package's own files (copyright,
# changelog.Debian.gz) come from packaging/debian.

set(QUARLO_DEB_MAINTAINER "Quarlo developers <quarlo@example.invalid>"
    CACHE STRING "The Maintainer of the Debian package: a name and an e-mail address")
set(QUARLO_DEB_RELEASE 1)
set(QUARLO_DEB_VERSION "${PROJECT_VERSION}-${QUARLO_DEB_RELEASE}")
# git, for the time of the last commit (the date of the manual pages and the
# file times in the packages); the build's own, also in a cross build.
find_program(QUARLO_GIT git NO_CMAKE_FIND_ROOT_PATH)

if(WIN32)
  install(FILES LICENSE README.md packaging/THIRD-PARTY-NOTICES.txt
          packaging/completions/quarlo.ps1 DESTINATION .)
  return()
endif()

install(FILES LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The date a page shows is that of the last commit that changed its source
# (else SOURCE_DATE_EPOCH, else today): the same for every build of one
# commit.
find_program(QUARLO_SCDOC scdoc)
if(QUARLO_SCDOC)
  set(QUARLO_MAN_PAGES)
  foreach(page quarlo.1 quarlo-host.1)
    set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${QUARLO_SCDOC} -DGIT=${QUARLO_GIT}
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DPAGE=packaging/man/${page}.scd -DOUT=${out}
              -P ${PROJECT_SOURCE_DIR}/packaging/man/make_page.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page}.scd
              ${PROJECT_SOURCE_DIR}/packaging/man/make_page.cmake
      COMMENT "Manual page ${page}"
      VERBATIM)
    list(APPEND QUARLO_MAN_PAGES ${out})
  endforeach()
  add_custom_target(quarlo_man_pages ALL DEPENDS ${QUARLO_MAN_PAGES})
  install(FILES ${QUARLO_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  quarlo_left_out("the manual pages" "scdoc not found; it is Debian's package scdoc")
endif()

set(completions packaging/completions)
install(FILES ${completions}/quarlo.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quarlo)
install(FILES ${completions}/quarlo-host.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quarlo-host)
install(FILES ${completions}/_quarlo DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${completions}/quarlo.fish ${completions}/quarlo-host.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

# The user unit names the host by its installed path, known only when
# installing (cmake --install --prefix, or /usr in the Debian package).
install(CODE "
  set(QUARLO_HOST_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quarlo-host\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user/quarlo-host.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/quarlo-host.service.in\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
")
