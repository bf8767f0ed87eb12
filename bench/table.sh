#!/usr/bin/env bash
# Times a search keystroke (at both row heights), a chip click and the
# drawer in the dashboard, in Chromium, for a listing of N repositories
# (default 1200, the most a listing holds), and a warm opening: the time to
# the kept rows on screen against the time to the new listing.
# Usage: bench/table.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-1200}
scripts/install-deps.sh ca-certificates cmake make g++ git zlib1g-dev chromium
command -v node >/dev/null || scripts/install-deps.sh nodejs npm
(cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
work=${BENCH_DIR:-/tmp/quarlo-bench-table}
[ -f "$work/tree.$n" ] || { bench/make-tree.sh "$work" "$n" && touch "$work/tree.$n"; }
HOME=$work/home GIT_CONFIG_NOSYSTEM=1 QUARLO_ROOTS=$work/tree \
  QUARLO_HOST_BIN=$PWD/build/quarlo-host QUARLO_BIN=$PWD/build/quarlo node bench/table.js
