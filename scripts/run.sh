#!/usr/bin/env bash
# Builds the program and the local host, then serves the dashboard on
# http://127.0.0.1:8099/plugin_quarlo until Ctrl-C. The roots configured in
# the environment (QUARLO_ROOTS; the home folder by default) decide what is
# shown; QUARLO_HOST_PORT and QUARLO_HOST_BIND change where it listens.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh ca-certificates cmake make g++ git zlib1g-dev pkgconf libmicrohttpd-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
echo "Starting the dashboard host; Ctrl-C stops it." >&2
# exec: the host takes this script's place in the terminal's foreground, so
# Ctrl-C reaches it, and it stops every program it runs before it ends.
exec build/quarlo-host --bind "${QUARLO_HOST_BIND:-127.0.0.1}" --port "${QUARLO_HOST_PORT:-8099}"
