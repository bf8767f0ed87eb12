#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test. Ends with CTest's summary; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ca-certificates cmake make g++ git googletest
jobs=$(nproc)
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DQUARLO_SANITIZE=ON >/dev/null
cmake --build build-test -j"$jobs"
cd build-test
ctest --output-on-failure -j"$jobs"
