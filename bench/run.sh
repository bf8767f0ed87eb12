#!/usr/bin/env bash
# Benchmarks the listing against the floors of what git can do and against
# two public multi-repository tools, on trees of 100, 300 and 1,000
# repositories (bench/make-tree.sh):
#   - floor, 2 commands: per repository the two git commands the listing needs
#     on git 2.35 and later (status with --show-stash, the last commit);
#   - floor, 3 commands: the same with the stash list, as older git needs;
#   - git status alone: the one command the listing now needs, its last
#     commit read from the object store;
#   all run by xargs -P <processors> in batches of 4 repositories, with
#   GIT_OPTIONAL_LOCKS=0 as the listing runs git;
#   - `quarlo status ROOT`, the terminal table of the same listing;
#   - the peers' own status commands, `mr -j <processors> status` and
#     `gita ll` (a peer that cannot be installed is named in the report).
# Prints, for each size, the median wall time and processor time (user +
# system of the command and all its children) and the listing's ratios to
# the two-command floor and to git status alone; git processes started per
# repository (counted by tracing execve); the listing's own peak resident
# memory and processor time (without its git children); the time per
# repository at each size. Then the detail of one repository with 100,000
# tracked files against one git status there (BENCH_DETAIL=0 leaves it out).
# Usage: bench/run.sh [SIZES] [RUNS] [PEER_RUNS]
#   SIZES      repository counts, default "100 300 1000"
#   RUNS       runs of the listing and the floors, default 10
#   PEER_RUNS  runs of mr and gita, default 3 (they take ten times longer)
# BENCH_DIR (default /tmp/quarlo-bench) holds the trees, kept between runs.
# QUARLO_BEFORE=PATH adds another quarlo program (an earlier build) as a row.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${1:-100 300 1000}
runs=${2:-10}
peer_runs=${3:-3}
scripts/install-deps.sh ca-certificates cmake make g++ gcc git zlib1g-dev gita myrepos python3 strace
peers_missing=()
for peer in mr gita; do command -v "$peer" >/dev/null || peers_missing+=("$peer"); done
export PEERS_MISSING="${peers_missing[*]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUARLO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

work=${BENCH_DIR:-/tmp/quarlo-bench}
mkdir -p "$work"
work=$(cd "$work" && pwd)
bench=$PWD/bench
quarlo=$PWD/build/quarlo
cpus=$(nproc)
cc -O2 -shared -fPIC -o "$work/listing_self.so" bench/listing_self.c

cat >"$work/floor2.sh" <<'FLOOR'
#!/bin/sh
for r in "$@"; do
  git -C "$r" status --porcelain=v2 --branch --show-stash --untracked-files=normal >/dev/null 2>&1
  git -C "$r" log -1 '--format=%H%x09%ct%x09%s' >/dev/null 2>&1
done
FLOOR
cat >"$work/floor3.sh" <<'FLOOR'
#!/bin/sh
for r in "$@"; do
  git -C "$r" status --porcelain=v2 --branch --untracked-files=normal >/dev/null 2>&1
  git -C "$r" log -1 '--format=%H%x09%ct%x09%s' >/dev/null 2>&1
  git -C "$r" stash list '--format=%gd' >/dev/null 2>&1
done
FLOOR
cat >"$work/floor1.sh" <<'FLOOR'
#!/bin/sh
for r in "$@"; do
  git -C "$r" status --porcelain=v2 --branch --show-stash --untracked-files=normal >/dev/null 2>&1
done
FLOOR
cat >"$work/status1.sh" <<'FLOOR'
#!/bin/sh
exec git -C "$1" status --porcelain=v2 --branch --show-stash --untracked-files=normal >/dev/null 2>&1
FLOOR
chmod +x "$work/floor1.sh" "$work/floor2.sh" "$work/floor3.sh" "$work/status1.sh"

results=()
for n in $sizes; do
  dir=$work/n$n
  [ -f "$dir/ready" ] || { bench/make-tree.sh "$dir" "$n" >&2 && touch "$dir/ready"; }
  export HOME=$dir/home GIT_CONFIG_NOSYSTEM=1 XDG_CONFIG_HOME=$dir/xdg

  # The repositories, as the tools are given them.
  find "$dir/tree" -name .git -prune -printf '%h\n' | sort >"$dir/repos.txt"
  count=$(wc -l <"$dir/repos.txt")
  { while read -r r; do printf '[%s]\ncheckout = false\n\n' "$r"; done <"$dir/repos.txt"; } >"$dir/mrconfig"
  echo "$dir/mrconfig" >"$HOME/.mrtrust"
  rm -rf "$XDG_CONFIG_HOME" && mkdir -p "$XDG_CONFIG_HOME"
  if command -v gita >/dev/null; then xargs -a "$dir/repos.txt" gita add >/dev/null 2>&1 || true; fi

  COUNT=$count CPUS=$cpus RUNS=$runs PEER_RUNS=$peer_runs QUARLO=$quarlo DIR=$dir WORK=$work \
    python3 - >"$dir/commands.json" <<'PY'
import json, os
e = os.environ
dir, work, cpus = e["DIR"], e["WORK"], e["CPUS"]
runs, peer_runs = int(e["RUNS"]), int(e["PEER_RUNS"])
listing_env = {"QUERY_STRING": "action=repos", "QUARLO_ONLY_ROOTS": "1",
               "QUARLO_ROOTS": dir + "/tree"}
def floor(script):
    return ["xargs", "-a", dir + "/repos.txt", "-P", cpus, "-n", "4", work + "/" + script]
cmds = [{"name": "quarlo listing", "argv": [e["QUARLO"]], "env": listing_env, "runs": runs,
         "kind": "listing"}]
if e.get("QUARLO_BEFORE"):
    cmds.append({"name": "quarlo listing, before", "argv": [e["QUARLO_BEFORE"]],
                 "env": listing_env, "runs": runs, "kind": "before"})
cmds += [
    {"name": "quarlo listing, QUARLO_JOBS=1", "argv": [e["QUARLO"]],
     "env": dict(listing_env, QUARLO_JOBS="1"), "runs": runs, "kind": "one job"},
    {"name": "floor, 2 commands", "argv": floor("floor2.sh"),
     "env": {"GIT_OPTIONAL_LOCKS": "0"}, "runs": runs, "kind": "floor2"},
    {"name": "floor, 3 commands", "argv": floor("floor3.sh"),
     "env": {"GIT_OPTIONAL_LOCKS": "0"}, "runs": runs, "kind": "floor3"},
    {"name": "git status alone", "argv": floor("floor1.sh"),
     "env": {"GIT_OPTIONAL_LOCKS": "0"}, "runs": runs, "kind": "floor1"},
    # The terminal table; exit status 1 would mean an unreadable repository.
    {"name": "quarlo status", "argv": [e["QUARLO"], "status", dir + "/tree"],
     "env": {"GATEWAY_INTERFACE": "", "COLUMNS": "100"}, "runs": runs, "kind": "terminal"},
]
missing = e.get("PEERS_MISSING", "").split()
if "mr" not in missing:
    cmds.append({"name": f"mr -j {cpus} status", "kind": "peer", "runs": peer_runs,
                 "may_fail": True,
                 "argv": ["mr", "-d", dir + "/tree", "-c", dir + "/mrconfig", "-j", cpus,
                          "status"]})
if "gita" not in missing:
    cmds.append({"name": "gita ll", "argv": ["gita", "ll"], "kind": "peer", "runs": peer_runs,
                 "may_fail": True})
print(json.dumps(cmds))
PY
  echo "== $count repositories: timing" >&2
  python3 "$bench/measure.py" time "$dir/commands.json" "$dir/times.json"
  echo "== $count repositories: processes and memory" >&2
  python3 "$bench/measure.py" count "$dir/commands.json" "$dir/counts.json" "$count" \
    "$work/listing_self.so" "$([ "$n" = "${sizes%% *}" ] && echo all || echo listing)"
  results+=("$dir")
done

python3 "$bench/measure.py" report "$cpus" "${results[@]}"

# The detail of one large repository against one git status there.
if [ "${BENCH_DETAIL:-1}" = 1 ]; then
  big=$work/big
  if [ ! -f "$big/ready" ]; then
    rm -rf "$big" && mkdir -p "$big/tree/large"
    echo "== making a repository with 100,000 tracked files" >&2
    (cd "$big/tree/large" && git init -q &&
      python3 -c "
import os
for d in range(100):
    os.makedirs(f'd{d}', exist_ok=True)
    for f in range(1000):
        open(f'd{d}/f{f}', 'w').write(f'{d} {f}\\n')
" && git add -A && git -c user.name=b -c user.email=b@b commit -qm 'many files' &&
      echo change >d0/f0 && git status >/dev/null) && touch "$big/ready"
  fi
  export HOME=$big/home && mkdir -p "$HOME"
  BIG=$big QUARLO=$quarlo RUNS=$runs WORK=$work python3 - >"$big/commands.json" <<'PY'
import json, os
e = os.environ
repo = e["BIG"] + "/tree/large"
print(json.dumps([
    {"name": "quarlo detail", "argv": [e["QUARLO"]], "runs": int(e["RUNS"]), "kind": "detail",
     "env": {"QUERY_STRING": "action=repo&path=" + repo, "QUARLO_ONLY_ROOTS": "1",
             "QUARLO_ROOTS": e["BIG"] + "/tree"}},
    {"name": "git status, once", "argv": [e["WORK"] + "/status1.sh", repo],
     "env": {"GIT_OPTIONAL_LOCKS": "0"}, "runs": int(e["RUNS"]), "kind": "status"},
]))
PY
  echo "== 100,000 files: the detail against one status" >&2
  python3 "$bench/measure.py" time "$big/commands.json" "$big/times.json"
  python3 "$bench/measure.py" detail "$big"
fi
[ -z "$PEERS_MISSING" ] || echo "peers not installed here (not run, never installed by this script): $PEERS_MISSING"
