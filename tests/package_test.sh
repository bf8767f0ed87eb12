#!/bin/sh
# Installs the build into a temporary prefix and checks what a user gets:
#   package_test.sh install BUILD_DIR VERSION
#     quarlo (and quarlo-host where it is built) in bin/, answering --version;
#     where dpkg-deb is installed, also the Debian package made by cpack:
#     both in /usr/bin, the README in /usr/share/doc/quarlo, git a dependency
#   package_test.sh zip WINDOWS_BUILD_DIR VERSION WINE_RUN
#     the Windows ZIP made by cpack: quarlo.exe (stripped, with its version
#     resource and its manifest), the README and the third-party notices
set -eu
mode=$1 build=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case $mode in
install)
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  [ -x "$work/prefix/bin/quarlo" ] || fail "bin/quarlo is not installed"
  got=$("$work/prefix/bin/quarlo" --version)
  [ "$got" = "quarlo $version" ] || fail "quarlo --version printed '$got'"
  if [ -f "$build/quarlo-host" ]; then
    [ -x "$work/prefix/bin/quarlo-host" ] || fail "bin/quarlo-host is not installed"
  fi
  if ! command -v dpkg-deb >/dev/null; then
    echo "skip: dpkg-deb is not installed, the Debian package is not checked"
  else
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null ||
      fail "cpack -G DEB failed"
    arch=$(dpkg --print-architecture)
    deb="$work/deb/quarlo_${version}_$arch.deb"
    [ -f "$deb" ] || fail "cpack made no $deb: $(ls "$work/deb")"
    [ "$(dpkg-deb -f "$deb" Package)" = quarlo ] || fail "the package is not named quarlo"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"
    # Depends is a list of "name (version)" items, alternatives after "|".
    depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
    printf '%s\n' "$depends" | grep -qx git ||
      fail "the package does not depend on git: $(dpkg-deb -f "$deb" Depends)"
    # The host's HTTP server is a shared library of its own.
    if [ -f "$build/quarlo-host" ]; then
      printf '%s\n' "$depends" | grep -q '^libmicrohttpd' ||
        fail "the package does not depend on libmicrohttpd: $(dpkg-deb -f "$deb" Depends)"
    fi
    files=$(dpkg-deb -c "$deb" | awk '{print $1, $NF}')
    wanted="./usr/bin/quarlo ./usr/share/doc/quarlo/README.md"
    [ -f "$build/quarlo-host" ] && wanted="$wanted ./usr/bin/quarlo-host"
    for f in $wanted; do
      printf '%s\n' "$files" | grep -q " $f\$" || fail "the package lacks $f"
      case $f in
      */bin/*) printf '%s\n' "$files" | grep -q "^-rwxr-xr-x $f\$" || fail "$f is not executable" ;;
      esac
    done
    # Nothing outside /usr: no build or test files.
    stray=$(printf '%s\n' "$files" | awk '{print $2}' | grep -v '^\./$\|^\./usr/' || true)
    [ -z "$stray" ] || fail "the package holds files outside /usr: $stray"
    mkdir "$work/unpacked"
    dpkg-deb -x "$deb" "$work/unpacked"
    got=$("$work/unpacked/usr/bin/quarlo" --version)
    [ "$got" = "quarlo $version" ] || fail "the packaged quarlo --version printed '$got'"
  fi
  ;;
zip)
  wine_run=$4
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -G ZIP >/dev/null)
  zip="$work/quarlo-$version-windows-x64.zip"
  [ -f "$zip" ] || fail "cpack made no $zip"
  (cd "$work" && cmake -E tar xf "$zip")
  top="$work/quarlo-$version-windows-x64"
  for f in bin/quarlo.exe README.md THIRD-PARTY-NOTICES.txt; do
    [ -f "$top/$f" ] || fail "the ZIP lacks $f"
  done
  if x86_64-w64-mingw32-objdump -h "$top/bin/quarlo.exe" | grep -q '\.debug'; then
    fail "quarlo.exe in the ZIP is not stripped"
  fi
  # Linked statically: it imports the system's own libraries only (no
  # zlib1.dll nor compiler runtime to put beside it).
  for dll in $(x86_64-w64-mingw32-objdump -p "$top/bin/quarlo.exe" | sed -n 's/.*DLL Name: //p'); do
    case "$(echo "$dll" | tr 'A-Z' 'a-z')" in
      kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | shell32.dll | ntdll.dll) ;;
      *) fail "quarlo.exe imports $dll, which Windows does not bring" ;;
    esac
  done
  # The version resource holds the version as UTF-16 text.
  strings -el "$top/bin/quarlo.exe" | grep -qx "$version" || fail "quarlo.exe has no version resource"
  # The manifest is resource 1 of type 24 (RT_MANIFEST), where the loader
  # looks for it; its UTF-8 text asks for UTF-8 as the code page, long paths,
  # Windows 10 and 11.
  x86_64-w64-mingw32-windres -J coff -i "$top/bin/quarlo.exe" -O rc | grep -q '^1 24 ' ||
    fail "quarlo.exe has no manifest resource"
  manifest=$(strings -n 8 "$top/bin/quarlo.exe" | tr -d '\n')
  for want in '<activeCodePage[^>]*>UTF-8</activeCodePage>' '<longPathAware[^>]*>true</longPathAware>' \
              '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'; do
    printf '%s\n' "$manifest" | grep -q "$want" || fail "quarlo.exe's manifest lacks $want"
  done
  got=$("$wine_run" "$top/bin/quarlo.exe" --version | tr -d '\r')
  [ "$got" = "quarlo $version" ] || fail "quarlo.exe --version printed '$got'"
  ;;
*) fail "unknown mode $mode" ;;
esac
echo "ok: $mode"
