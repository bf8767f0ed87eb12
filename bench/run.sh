#!/usr/bin/env bash
# Benchmarks the listing against the floor (the same three git commands per
# repository run by xargs -P over all processors) and against two public
# multi-repository tools, on one tree of N repositories (default 300).
# Prints medians over several runs on the warm tree, each figure's ratio to
# the floor, and the listing's peak resident memory.
# Usage: bench/run.sh [N] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-300}
runs=${2:-10}
scripts/install-deps.sh ca-certificates cmake make g++ git hyperfine gita myrepos time python3
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

work=${BENCH_DIR:-/tmp/quarlo-bench}
[ -f "$work/tree.$n" ] || { bench/make-tree.sh "$work" "$n" && touch "$work/tree.$n"; }
export HOME=$work/home GIT_CONFIG_NOSYSTEM=1 XDG_CONFIG_HOME=$work/xdg
tree=$work/tree
quarlo=$PWD/build/quarlo
cpus=$(nproc)

# The repositories, as the tools are given them.
find "$tree" -name .git -prune -printf '%h\n' | sort >"$work/repos.txt"
count=$(wc -l <"$work/repos.txt")
{ while read -r r; do printf '[%s]\ncheckout = false\n\n' "$r"; done <"$work/repos.txt"; } >"$work/mrconfig"
echo "$work/mrconfig" >"$HOME/.mrtrust"
rm -rf "$XDG_CONFIG_HOME" && mkdir -p "$XDG_CONFIG_HOME"
xargs -a "$work/repos.txt" gita add >/dev/null 2>&1 || true

cat >"$work/floor.sh" <<'FLOOR'
#!/bin/sh
for r in "$@"; do
  git -C "$r" status --porcelain=v2 --branch --untracked-files=normal >/dev/null 2>&1
  git -C "$r" log -1 '--format=%H%x09%ct%x09%s' >/dev/null 2>&1
  git -C "$r" stash list '--format=%gd' >/dev/null 2>&1
done
FLOOR
chmod +x "$work/floor.sh"

listing="env QUERY_STRING=action=repos QUARLO_ONLY_ROOTS=1 QUARLO_ROOTS=$tree $quarlo"
hyperfine --style basic --warmup 2 --runs "$runs" --export-json "$work/result.json" \
  -n "quarlo (default jobs)" "$listing >/dev/null" \
  -n "quarlo (QUARLO_JOBS=1)" "QUARLO_JOBS=1 $listing >/dev/null" \
  -n "floor (xargs -P $cpus)" "xargs -a $work/repos.txt -P $cpus -n 4 $work/floor.sh" \
  -n "mr -j $cpus status" "mr -d $tree -c $work/mrconfig -j $cpus status >/dev/null 2>&1" \
  -n "gita ll" "gita ll >/dev/null 2>&1" >"$work/hyperfine.log"

rss=$(/usr/bin/time -v sh -c "$listing >/dev/null" 2>&1 | sed -n 's/.*Maximum resident set size (kbytes): //p')

python3 - "$work/result.json" "$count" "$cpus" "$rss" <<'PY'
import json, sys
res = json.load(open(sys.argv[1]))["results"]
count, cpus, rss = sys.argv[2], sys.argv[3], int(sys.argv[4])
floor = next(r["median"] for r in res if r["command"].startswith("floor"))
print(f"{count} repositories, {cpus} processors, medians of the warm tree")
print(f"{'command':28} {'median':>9} {'vs floor':>9}")
for r in res:
    print(f"{r['command']:28} {r['median']*1000:7.0f}ms {r['median']/floor:8.2f}x")
print(f"peak resident memory of the listing: {rss/1024:.1f} MB")
PY
