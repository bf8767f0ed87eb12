# The packages that cpack makes from a build folder (`cpack` there):
# - Windows (the mingw-w64 cross build): a ZIP with bin\quarlo.exe, stripped,
#   beside the README and the notices of the runtime libraries linked into it.
# - Linux: a Debian package with quarlo and quarlo-host in /usr/bin and the
#   README in /usr/share/doc/quarlo, depending on git (which the program runs)
#   and on the shared libraries the two executables link (the host's HTTP
#   server, libmicrohttpd, among them).

set(CPACK_PACKAGE_NAME quarlo)
set(CPACK_PACKAGE_VENDOR "Quarlo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "The state of every git working copy below a few folders, as JSON and a dashboard")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(FILES README.md packaging/THIRD-PARTY-NOTICES.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "quarlo-${PROJECT_VERSION}-windows-x64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # quarlo_VERSION-REVISION_ARCH.deb, the name Debian's tools give it.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION vcs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(QUARLO_PACKAGE_CONTACT "Quarlo developers" CACHE STRING "The Maintainer of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUARLO_PACKAGE_CONTACT}")
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
endif()

include(CPack)
