#!/usr/bin/env bash
# Load on the local host: requests per second for the dashboard page and for
# the listing at 1, 10 and 50 concurrent clients (wrk, keep-alive
# connections), and the page's latency while 50 clients ask for the listing.
# The host serves a tree of N repositories (default 100, bench/make-tree.sh).
# Usage: bench/host.sh [N] [SECONDS]
# HOST_BUILD=DIR takes quarlo-host and quarlo from that build folder (another
# version, to compare) instead of building build/.
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-100}
secs=${2:-10}
scripts/install-deps.sh ca-certificates cmake make g++ git zlib1g-dev wrk
if [ -z "${HOST_BUILD:-}" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
  cmake --build build -j"$(nproc)" >/dev/null
  HOST_BUILD=$PWD/build
fi

work=${BENCH_DIR:-/tmp/quarlo-bench-host}
[ -f "$work/tree.$n" ] || { bench/make-tree.sh "$work" "$n" && touch "$work/tree.$n"; }

# Each figure gets a fresh host, and starts once the runs that the previous
# host left behind (its programs outlive it) have ended.
out=$(mktemp)
host=
trap 'stop_host; rm -f "$out"' EXIT
start_host() {
  HOME=$work/home GIT_CONFIG_NOSYSTEM=1 QUARLO_ONLY_ROOTS=1 QUARLO_ROOTS=$work/tree \
    "$HOST_BUILD/quarlo-host" --port 0 >"$out" 2>/dev/null &
  host=$!
  for _ in $(seq 100); do
    grep -q '^Open ' "$out" && break
    sleep 0.1
  done
  url=$(sed -n 's/^Open //p' "$out")
  [ -n "$url" ] || { echo "quarlo-host did not start" >&2; exit 1; }
}
stop_host() {
  [ -n "$host" ] || return 0
  local runs
  runs=$(ps -o pid= --ppid "$host" || true)
  kill "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  host=
  for pid in $runs; do
    while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
  done
}

# wrk's summary of one run: requests per second, then the answers that were
# not 2xx or 3xx plus the socket errors and time-outs.
run_wrk() {
  local clients=$1 target=$2 duration=${3:-$secs}
  wrk -t $((clients < 2 ? 1 : 2)) -c "$clients" -d "${duration}s" --timeout 60s --latency "$target"
}
rps() { sed -n 's/^Requests\/sec: *//p'; }
failed() {
  awk '/Non-2xx or 3xx responses:/ {n += $NF}
       /Socket errors:/ {gsub(",", ""); n += $4 + $6 + $8 + $10}
       END {print n + 0}'
}

echo "quarlo-host, $(nproc) processors, $n repositories, ${secs} s per figure"
printf '%-8s %8s %12s %8s\n' request clients requests/s failed
for name in page listing; do
  for c in 1 10 50; do
    start_host
    target=$url
    [ $name = listing ] && target="$url?action=repos"
    res=$(run_wrk "$c" "$target")
    stop_host
    printf '%-8s %8s %12s %8s\n' "$name" "$c" "$(rps <<<"$res")" "$(failed <<<"$res")"
  done
done

# One client asking for the page while 50 clients ask for the listing.
start_host
run_wrk 50 "$url?action=repos" $((secs + 2)) >/dev/null &
load=$!
sleep 1
res=$(run_wrk 1 "$url")
wait $load
stop_host
if [ "$(awk '$1 == "Requests/sec:" {print ($2 > 0)}' <<<"$res")" = 1 ]; then
  echo "page while 50 clients ask for the listing:" \
    "median $(awk '$1 == "50%" {print $2}' <<<"$res")," \
    "99th percentile $(awk '$1 == "99%" {print $2}' <<<"$res")," \
    "$(rps <<<"$res") requests/s, $(failed <<<"$res") failed"
else
  echo "page while 50 clients ask for the listing: no answer within ${secs} s"
fi
