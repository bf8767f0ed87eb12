# The packages that cpack makes from a build folder (`cpack` there):
# - Windows (the mingw-w64 cross build): a ZIP with bin\quarlo.exe, stripped,
#   beside the licence, the README, the notices of the runtime libraries
#   linked into it and the PowerShell completion script.
# - Linux: a Debian package with what `cmake --install` installs under /usr
#   (see packaging/install.cmake) and the package's own copyright and
#   changelog.Debian.gz, depending on git (which the program runs) and on the
#   shared libraries the two executables link (the host's HTTP server,
#   libmicrohttpd, among them).
# Both are made reproducibly: file times are the last commit's (unless
# SOURCE_DATE_EPOCH is set), see packaging/cpack_config.cmake.

set(CPACK_PACKAGE_NAME quarlo)
set(CPACK_PACKAGE_VENDOR "Quarlo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "status of every git working copy below a few folders, as JSON and a dashboard")
set(CPACK_STRIP_FILES ON)
# cpack sees only the CPACK_ variables: those of the project carry its name.
set(CPACK_QUARLO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_QUARLO_GIT ${QUARLO_GIT})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_config.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quarlo-${PROJECT_VERSION}-windows-x64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # quarlo_VERSION-REVISION_ARCH.deb, the name Debian's tools give it.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUARLO_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_SECTION vcs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUARLO_DEB_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION
      "Quarlo finds every git repository below a few allowlisted folders, runs git\n\
in each and shows which are dirty, ahead, behind, stashed or detached: a CGI\n\
program (quarlo) for the bot, and a small local HTTP host (quarlo-host) that\n\
serves its dashboard on this machine.")
  # git is run, never linked: a dependency of its own. The libraries come
  # from dpkg-shlibdeps where it is installed (dpkg-dev).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "git")
  find_program(QUARLO_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUARLO_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "git, libc6, libstdc++6, libgcc-s1, libmicrohttpd12")
  endif()
  # The Debian package's own documentation files, added to what is
  # installed before it is packed.
  configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  set(CPACK_QUARLO_DEB_COPYRIGHT ${PROJECT_SOURCE_DIR}/packaging/debian/copyright)
  set(CPACK_QUARLO_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog)
  set(CPACK_QUARLO_DEB_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/add_docs.cmake)
endif()

include(CPack)
