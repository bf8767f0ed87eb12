#!/usr/bin/env bash
# Measures the program against a git that does not stop writing: in one
# repository, `git status` prints fast and long (SIZE bytes at full speed,
# default 1 GB), or keeps printing a line every few milliseconds (as a
# repository's filter printing to stderr does). Prints the time to the answer
# and the program's peak resident memory for each.
# Usage: bench/runaway.sh [PROGRAM] [SIZE]
#   PROGRAM  the quarlo to measure (default: build/quarlo, built here)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-}
size=${2:-1000000000}
if [ -z "$program" ]; then
  scripts/install-deps.sh ca-certificates cmake make g++ git zlib1g-dev time
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
  cmake --build build -j"$(nproc)" >/dev/null
  program=$PWD/build/quarlo
fi

work=$(mktemp -d /tmp/quarlo-runaway.XXXXXX)
trap 'rm -rf "$work"' EXIT
git init -q "$work/root/repo"
real_git=$(command -v git)
mkdir "$work/bin"
# The stand-in runs the real git but for `status`, which writes as MODE says.
cat >"$work/bin/git" <<EOF
#!/bin/sh
if [ "\$3" = status ]; then
  echo \$\$ >>"$work/pids"
  case "\$RUNAWAY_MODE" in
    fast) exec head -c $size /dev/zero ;;
    trickle) while :; do echo "filter: still working"; sleep 0.005; done ;;
  esac
fi
exec $real_git "\$@"
EOF
chmod +x "$work/bin/git"

# The trickling git never ends: a program that does not stop it is given
# up after CAP seconds.
cap=120
printf '%-40s %10s %14s\n' "git status" "answer" "peak memory"
for mode in fast trickle; do
  stats=$(env -i PATH="$work/bin:/usr/bin:/bin" HOME="$work" RUNAWAY_MODE=$mode \
    QUERY_STRING=action=repos QUARLO_ONLY_ROOTS=1 QUARLO_ROOTS="$work/root" \
    /usr/bin/time -f '%e %M' timeout -s KILL $cap "$program" 2>&1 >/dev/null | tail -1) || true
  # A stand-in that outlived the program (in a session of its own) is ended.
  for pid in $(cat "$work/pids" 2>/dev/null); do kill -KILL -- "-$pid" 2>/dev/null || true; done
  rm -f "$work/pids"
  read -r secs kb <<<"$stats"
  label=$([ $mode = fast ] && echo "writes $size bytes at full speed" || echo "writes a line every 5 ms, forever")
  printf '%-40s %9ss %11.1f MB\n' "$label" "$secs" "$(awk "BEGIN { print $kb / 1024 }")"
done
