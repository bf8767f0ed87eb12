#!/usr/bin/env bash
# Makes N git repositories (default 300) below DIR/tree in a realistic layout:
# nested folders, noise folders that discovery skips or walks through, and a
# mix of states: a fifth dirty, some ahead or behind a local bare remote,
# some with stashes, some detached.
# Usage: bench/make-tree.sh DIR [N]
set -euo pipefail
dir=$1
n=${2:-300}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "$dir/tree" "$dir/seed" "$dir/origin.git" "$dir/home"
mkdir -p "$dir/home"
export HOME=$dir/home GIT_CONFIG_NOSYSTEM=1
git config --global user.name bench
git config --global user.email bench@example.invalid
git config --global init.defaultBranch main
git config --global advice.detachedHead false

# One seed history with a few hundred files, cloned as every repository.
git init -q "$dir/seed"
(
  cd "$dir/seed"
  for d in src lib docs tests; do
    mkdir -p $d
    for i in $(seq 1 40); do printf 'line %s\n' "$i" >"$d/file$i.txt"; done
  done
  git add -A && git commit -qm "initial import"
  for i in $(seq 1 30); do
    echo "change $i" >>src/file1.txt
    git commit -qam "change number $i"
  done
)
git clone -q --bare "$dir/seed" "$dir/origin.git"

groups=(work/clients work/internal/tools src personal/experiments archive/old oss)
for i in $(seq 1 "$n"); do
  g=${groups[$((i % ${#groups[@]}))]}
  sub=""
  [ $((i % 3)) -eq 0 ] && sub="/team$((i % 5))"
  repo="$dir/tree/$g$sub/repo$i"
  mkdir -p "$(dirname "$repo")"
  git clone -q "$dir/origin.git" "$repo"
  case $((i % 10)) in
    0 | 5) # dirty: a modified and an untracked file
      echo dirty >>"$repo/src/file2.txt"
      echo new >"$repo/notes.txt" ;;
    1) # ahead by one
      (cd "$repo" && echo local >>lib/file1.txt && git commit -qam "local work") ;;
    2) # behind by two
      git -C "$repo" reset -q --hard HEAD~2 ;;
    3) # a stash
      (cd "$repo" && echo wip >>docs/file3.txt && git stash -q) ;;
    4) # detached
      git -C "$repo" checkout -q --detach HEAD~1 ;;
  esac
done

# Noise: folders discovery skips (dot folders, node_modules, __pycache__) and
# plain folders it walks through without finding anything.
for i in $(seq 1 40); do
  mkdir -p "$dir/tree/work/clients/app$i/node_modules/pkg$i/lib" \
    "$dir/tree/src/tool$i/__pycache__" "$dir/tree/personal/.cache/c$i" \
    "$dir/tree/archive/docs/year$i/month/day"
done
# Settle every index, as in working copies that have been in use: one status
# run, after the files' timestamps lie in the past, lets git record them, so
# that no later run (the benchmarked ones never write the index) has to read
# file contents again to tell whether they changed.
sleep 1
find "$dir/tree" -name .git -prune -printf '%h\n' | while read -r r; do git -C "$r" status >/dev/null; done
echo "$n repositories below $dir/tree"
