#!/usr/bin/env bash
# Builds the program and shows the listing of the repositories below the
# configured roots (QUARLO_ROOTS; the home folder by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ca-certificates cmake make g++ git
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
QUERY_STRING="action=repos" REQUEST_METHOD=GET build/quarlo
