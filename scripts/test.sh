#!/usr/bin/env bash
# Builds everything and runs every test: plain release builds with GCC and
# with clang (as a user would build, warnings as errors here), the Windows program
# cross-built with mingw-w64, the fuzz targets (clang's libFuzzer), and the
# sanitizer build (AddressSanitizer and UndefinedBehaviorSanitizer) whose CTest
# run covers the unit, end-to-end, browser, package, fuzz and Windows (under
# Wine) tests; the package tests also
# check the GCC release build's hardening and its Debian package. Ends with CTest's summary;
# exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ca-certificates cmake make g++ clang git googletest libgtest-dev zlib1g-dev \
  g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64 binutils pkgconf libmicrohttpd-dev \
  nlohmann-json3-dev
# The fuzz targets: clang's libFuzzer.
scripts/install-deps.sh libclang-rt-14-dev
# The package: its manual pages (scdoc, man-db), the shells whose completions
# are run, lintian, dpkg-shlibdeps (dpkg-dev), systemd-analyze for the user
# unit.
scripts/install-deps.sh scdoc man-db bsdextrautils bash bash-completion zsh fish lintian dpkg-dev \
  systemd
# The host and the browser tests: Debian's Chromium driven by playwright-core.
scripts/install-deps.sh chromium fonts-dejavu-core
command -v node >/dev/null || scripts/install-deps.sh nodejs npm
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
jobs=$(nproc)
# The plain release build, with GCC and with clang: it must build, tests
# included, with either compiler.
for cc in gcc clang; do
  cxx=$([ $cc = gcc ] && echo g++ || echo clang++)
  CC=$cc CXX=$cxx cmake -S . -B build-release-$cc -DCMAKE_BUILD_TYPE=Release -DQUARLO_WERROR=ON >/dev/null
  cmake --build build-release-$cc -j"$jobs"
done
# The Windows program and its tests, cross-built with mingw-w64; the native
# CTest run below runs them under Wine.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQUARLO_WERROR=ON >/dev/null
cmake --build build-win -j"$jobs"
# The fuzz targets, built with clang's libFuzzer (and the sanitizers) in a
# build of their own; the native CTest run below runs each for a bounded time
# from its seed corpus.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARLO_FUZZ=ON \
  -DQUARLO_TESTS=OFF -DQUARLO_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target quarlo_fuzzers
# Every suite, or a configure error that names the missing tool.
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DQUARLO_SANITIZE=ON -DQUARLO_WERROR=ON \
  -DQUARLO_TEST_SEAMS=ON -DQUARLO_REQUIRE_ALL_SUITES=ON -DQUARLO_WINDOWS_BUILD="$PWD/build-win" \
  -DQUARLO_RELEASE_BUILD="$PWD/build-release-gcc" -DQUARLO_FUZZ_BUILD="$PWD/build-fuzz" >/dev/null
cmake --build build-test -j"$jobs"
cd build-test
ctest --output-on-failure -j"$jobs"
