#!/bin/sh
# Installs the build and checks what a user gets:
#   package_test.sh install BUILD_DIR VERSION
#     cmake --install into a temporary prefix: quarlo (and quarlo-host where
#     it is built) in bin/, answering --version; the licence and README, the
#     manual pages, the completions where each shell looks, the systemd user
#     unit naming the installed host (checked by systemd-analyze where it is
#     installed)
#   package_test.sh deb RELEASE_BUILD_DIR VERSION
#     the Debian package made by cpack from a release build: its fields, its
#     files (all below /usr, no maintainer scripts, no conffiles: removing it
#     leaves nothing), the copyright file and changelog, manual pages that
#     man reads without a warning, and lintian without error or warning
#   package_test.sh hardening RELEASE_BUILD_DIR
#     both Linux programs: PIE, full RELRO with BIND_NOW, the stack
#     protector, fortified libc calls (read with readelf)
#   package_test.sh reproducible RELEASE_BUILD_DIR VERSION SOURCE_DIR
#     a second build of the same sources in another folder gives the same
#     .deb, byte for byte
#   package_test.sh system RELEASE_BUILD_DIR VERSION
#     as root: apt installs the .deb (man finds the pages, the unit
#     verifies, each shell finds its completion), and apt remove leaves
#     nothing behind
#   package_test.sh zip WINDOWS_BUILD_DIR VERSION WINE_RUN
#     the Windows ZIP made by cpack: quarlo.exe (stripped, with its version
#     resource and its manifest, ASLR, NX, Windows 10 as its subsystem
#     version), the licence, the README, the third-party notices and the
#     PowerShell completion script
set -eu
mode=$1 build=$2
version=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
arch=$(dpkg --print-architecture 2>/dev/null || echo amd64)
deb_name="quarlo_${version}-1_$arch.deb"

# make_deb BUILD OUT_DIR: the Debian package of BUILD, made in OUT_DIR.
make_deb() {
  cpack --config "$1/CPackConfig.cmake" -G DEB -B "$2" >/dev/null || fail "cpack -G DEB failed in $1"
  [ -f "$2/$deb_name" ] || fail "cpack made no $deb_name: $(ls "$2")"
}

# The files the package installs, each with the permissions it needs.
deb_files="-rwxr-xr-x ./usr/bin/quarlo
-rwxr-xr-x ./usr/bin/quarlo-host
-rw-r--r-- ./usr/share/doc/quarlo/README.md
-rw-r--r-- ./usr/share/doc/quarlo/copyright
-rw-r--r-- ./usr/share/doc/quarlo/changelog.Debian.gz
-rw-r--r-- ./usr/share/man/man1/quarlo.1.gz
-rw-r--r-- ./usr/share/man/man1/quarlo-host.1.gz
-rw-r--r-- ./usr/share/bash-completion/completions/quarlo
-rw-r--r-- ./usr/share/bash-completion/completions/quarlo-host
-rw-r--r-- ./usr/share/zsh/vendor-completions/_quarlo
-rw-r--r-- ./usr/share/fish/vendor_completions.d/quarlo.fish
-rw-r--r-- ./usr/share/fish/vendor_completions.d/quarlo-host.fish
-rw-r--r-- ./usr/lib/systemd/user/quarlo-host.service
-rw-r--r-- ./usr/share/lintian/overrides/quarlo"

# verify_unit UNIT MANPATH: systemd-analyze's verdict on the user unit
# (its host program must exist; its man page is looked up in MANPATH).
verify_unit() {
  if ! command -v systemd-analyze >/dev/null; then
    echo "skip: systemd-analyze is not installed, the unit is not verified"
    return
  fi
  out=$(MANPATH=$2 systemd-analyze verify "$1" 2>&1) || fail "systemd-analyze verify $1: $out"
  [ -z "$out" ] || fail "systemd-analyze verify $1 warns: $out"
}

case $mode in
install)
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >/dev/null
  [ -x "$prefix/bin/quarlo" ] || fail "bin/quarlo is not installed"
  got=$("$prefix/bin/quarlo" --version)
  [ "$got" = "quarlo $version" ] || fail "quarlo --version printed '$got'"
  cmp -s "$prefix/share/doc/quarlo/LICENSE" "$(dirname "$0")/../LICENSE" ||
    fail "share/doc/quarlo/LICENSE is not the licence"
  for f in share/doc/quarlo/README.md share/man/man1/quarlo.1.gz share/man/man1/quarlo-host.1.gz \
           share/bash-completion/completions/quarlo share/bash-completion/completions/quarlo-host \
           share/zsh/vendor-completions/_quarlo share/fish/vendor_completions.d/quarlo.fish \
           share/fish/vendor_completions.d/quarlo-host.fish lib/systemd/user/quarlo-host.service; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
  done
  if [ -f "$build/quarlo-host" ]; then
    [ -x "$prefix/bin/quarlo-host" ] || fail "bin/quarlo-host is not installed"
    unit=$prefix/lib/systemd/user/quarlo-host.service
    grep -qx "ExecStart=$prefix/bin/quarlo-host --bind 127.0.0.1 --port \${QUARLO_HOST_PORT}" "$unit" ||
      fail "the unit does not start the installed host: $(grep ExecStart "$unit")"
    verify_unit "$unit" "$prefix/share/man"
  fi
  ;;
deb)
  make_deb "$build" "$work/deb"
  deb=$work/deb/$deb_name
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = quarlo ] || fail "the package is not named quarlo"
  [ "$(field Version)" = "$version-1" ] || fail "the package's version is not $version-1"
  field Maintainer | grep -q '^[^<]* <[^@ ]*@[^> ]*>$' ||
    fail "the Maintainer has no e-mail address: $(field Maintainer)"
  # Depends is a list of "name (version)" items, alternatives after "|".
  depends=$(field Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
  printf '%s\n' "$depends" | grep -qx git || fail "the package does not depend on git: $(field Depends)"
  # The host's HTTP server is a shared library of its own.
  printf '%s\n' "$depends" | grep -q '^libmicrohttpd' ||
    fail "the package does not depend on libmicrohttpd: $(field Depends)"
  # The files: those wanted, nothing outside /usr (no build or test files).
  files=$(dpkg-deb -c "$deb" | awk '{print $1, $NF}')
  printf '%s\n' "$deb_files" | while read -r want; do
    printf '%s\n' "$files" | grep -qxF -- "$want" || fail "the package lacks $want"
  done
  stray=$(printf '%s\n' "$files" | awk '{print $2}' | grep -v '^\./$\|^\./usr/' || true)
  [ -z "$stray" ] || fail "the package holds files outside /usr: $stray"
  # Removing it leaves nothing: no script makes files, no file is kept as
  # configuration.
  mkdir "$work/control"
  dpkg-deb -e "$deb" "$work/control"
  extra=$(ls "$work/control" | grep -vx 'control\|md5sums' || true)
  [ -z "$extra" ] || fail "the package has control files beyond control and md5sums: $extra"
  mkdir "$work/root"
  dpkg-deb -x "$deb" "$work/root"
  got=$("$work/root/usr/bin/quarlo" --version)
  [ "$got" = "quarlo $version" ] || fail "the packaged quarlo --version printed '$got'"
  doc=$work/root/usr/share/doc/quarlo
  head -1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "the copyright file is not in Debian's machine-readable format"
  # The licence's text, as in LICENSE, in the copyright file's License
  # paragraph (indented one space, "." for an empty line).
  sed -n '/^Permission/,$p' "$(dirname "$0")/../LICENSE" | sed 's/^$/./; s/^/ /' > "$work/license"
  awk '/^License: Expat$/ {on = 1; next} on && /^ / {print; next} {on = 0}' "$doc/copyright" > "$work/got"
  cmp -s "$work/license" "$work/got" || fail "the copyright file does not hold the licence's text"
  zcat "$doc/changelog.Debian.gz" | head -1 | grep -q "^quarlo ($version-1) " ||
    fail "changelog.Debian.gz does not begin with version $version-1"
  for page in quarlo quarlo-host; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns on $page(1): $warnings"
  done
  if ! command -v lintian >/dev/null; then
    echo "skip: lintian is not installed"
  else
    # Errors and warnings at lintian's default level; an override in the
    # package says its reason in a comment.
    tags=$(lintian --allow-root "$deb" 2>&1 | grep '^[EW]: ' || true)
    [ -z "$tags" ] || fail "lintian: $tags"
    grep -B1 '^quarlo: ' "$work/root/usr/share/lintian/overrides/quarlo" | grep -q '^#' ||
      fail "a lintian override without a reason"
  fi
  ;;
hardening)
  for prog in quarlo quarlo-host; do
    bin=$build/$prog
    [ -f "$bin" ] || fail "$bin is not built"
    readelf -h "$bin" | grep -q 'Type: *DYN' || fail "$prog is not a position-independent executable"
    dynamic=$(readelf -d "$bin")
    printf '%s\n' "$dynamic" | grep -q '(FLAGS_1).*PIE' || fail "$prog is not flagged PIE"
    printf '%s\n' "$dynamic" | grep -q '(BIND_NOW)\|(FLAGS).*BIND_NOW\|(FLAGS_1).* NOW' ||
      fail "$prog is not linked with BIND_NOW"
    readelf -l "$bin" | grep -q 'GNU_RELRO' || fail "$prog has no RELRO segment"
    symbols=$(readelf --dyn-syms -W "$bin")
    printf '%s\n' "$symbols" | grep -q '__stack_chk_fail' || fail "$prog is built without the stack protector"
    printf '%s\n' "$symbols" | grep -v '__stack_chk_fail' | grep -q '__[a-z]*_chk\b' ||
      fail "$prog calls no fortified libc function"
  done
  ;;
reproducible)
  source=$4
  make_deb "$build" "$work/first"
  # The same compiler and build type, in a folder of another name.
  cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  cmake -S "$source" -B "$work/second-build" -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" \
    -DCMAKE_CXX_COMPILER="$(cache CMAKE_CXX_COMPILER)" -DQUARLO_TESTS=OFF >/dev/null ||
    fail "the second build did not configure"
  cmake --build "$work/second-build" -j2 >/dev/null || fail "the second build failed"
  make_deb "$work/second-build" "$work/second"
  if ! cmp "$work/first/$deb_name" "$work/second/$deb_name"; then
    command -v diffoscope >/dev/null && diffoscope "$work/first/$deb_name" "$work/second/$deb_name" | head -40 >&2
    fail "two builds of the same sources gave different packages"
  fi
  ;;
system)
  if [ "$(id -u)" != 0 ]; then
    echo "skip: not root, the package is not installed"
    exit 0
  fi
  if dpkg-query -W -f='${Status}' quarlo 2>/dev/null | grep -q installed; then
    echo "skip: a quarlo package is installed already; it is left alone"
    exit 0
  fi
  make_deb "$build" "$work/deb"
  apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -qq "$@" >/dev/null 2>&1; }
  apt_get install --no-install-recommends "$work/deb/$deb_name" || fail "apt install of the package failed"
  listed=$(dpkg -L quarlo)
  (
    [ "$(/usr/bin/quarlo --version)" = "quarlo $version" ] || fail "the installed quarlo --version"
    if command -v man >/dev/null; then
      [ "$(man -w quarlo)" = /usr/share/man/man1/quarlo.1.gz ] || fail "man -w quarlo: $(man -w quarlo 2>&1)"
      [ "$(man -w quarlo-host)" = /usr/share/man/man1/quarlo-host.1.gz ] || fail "man -w quarlo-host"
    fi
    verify_unit /usr/lib/systemd/user/quarlo-host.service ""
    # Each shell finds its completion by itself (a user's own configuration
    # left out).
    if command -v fish >/dev/null; then
      HOME=$work fish -c 'complete -C"quarlo st"' | cut -f1 | grep -qx status ||
        fail "fish does not find the installed completion"
    fi
    if command -v zsh >/dev/null; then
      zsh -f -c 'print -l $fpath' | grep -qx /usr/share/zsh/vendor-completions ||
        fail "zsh does not look in /usr/share/zsh/vendor-completions"
    fi
    if [ -f /usr/share/bash-completion/bash_completion ]; then
      bash --norc -c '. /usr/share/bash-completion/bash_completion; _completion_loader quarlo-host; complete -p quarlo-host' |
        grep -q _quarlo_host || fail "bash-completion does not load the installed completion"
    fi
    # A user manager (a login session) runs the unit; it is disabled until
    # the user enables it.
    if [ -n "${XDG_RUNTIME_DIR:-}" ] && systemctl --user is-system-running >/dev/null 2>&1; then
      [ "$(systemctl --user is-enabled quarlo-host 2>&1)" = disabled ] || fail "the unit is not disabled"
    fi
  ) || { apt_get remove quarlo; exit 1; }
  apt_get remove quarlo || fail "apt remove quarlo failed"
  state=$(dpkg-query -W -f='${db:Status-Status}' quarlo 2>/dev/null || echo not-installed)
  [ "$state" = not-installed ] || fail "after apt remove, dpkg still knows quarlo as $state"
  left=$(printf '%s\n' "$listed" | while read -r f; do [ -f "$f" ] || [ -L "$f" ] && echo "$f"; done || true)
  [ -z "$left" ] || fail "apt remove left files behind: $left"
  ;;
zip)
  wine_run=$4
  (cd "$work" && cpack --config "$build/CPackConfig.cmake" -G ZIP >/dev/null)
  zip="$work/quarlo-$version-windows-x64.zip"
  [ -f "$zip" ] || fail "cpack made no $zip"
  (cd "$work" && cmake -E tar xf "$zip")
  top="$work/quarlo-$version-windows-x64"
  for f in bin/quarlo.exe LICENSE README.md THIRD-PARTY-NOTICES.txt quarlo.ps1; do
    [ -f "$top/$f" ] || fail "the ZIP lacks $f"
  done
  if x86_64-w64-mingw32-objdump -h "$top/bin/quarlo.exe" | grep -q '\.debug'; then
    fail "quarlo.exe in the ZIP is not stripped"
  fi
  # Addresses chosen at random (64-bit, high entropy), data not
  # executable; Windows 10 as the subsystem version.
  headers=$(x86_64-w64-mingw32-objdump -p "$top/bin/quarlo.exe")
  for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
    printf '%s\n' "$headers" | grep -q "^[[:space:]]*$flag\$" || fail "quarlo.exe lacks $flag"
  done
  subsystem=$(printf '%s\n' "$headers" | awk '/^MajorSubsystemVersion/ {major=$2} /^MinorSubsystemVersion/ {minor=$2} END {print major "." minor}')
  [ "$subsystem" = 10.0 ] || fail "quarlo.exe's subsystem version is $subsystem, not 10.0"
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
