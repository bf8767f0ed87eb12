#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test. Ends with CTest's summary; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ca-certificates cmake make g++ git googletest g++-mingw-w64-x86-64 wine64
# The host and the browser tests: Debian's Chromium driven by playwright-core.
scripts/install-deps.sh chromium fonts-dejavu-core libcpp-httplib-dev pkg-config
command -v node >/dev/null || scripts/install-deps.sh nodejs npm
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
jobs=$(nproc)
# The Windows program and its tests, cross-built with mingw-w64; the native
# CTest run below runs them under Wine.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win -j"$jobs"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DQUARLO_SANITIZE=ON -DQUARLO_WINDOWS_BUILD="$PWD/build-win" >/dev/null
cmake --build build-test -j"$jobs"
cd build-test
ctest --output-on-failure -j"$jobs"
