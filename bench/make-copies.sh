#!/usr/bin/env bash
# Makes N copies of one small git repository (a few files, three commits)
# below DIR/copies, 100 to a folder (DIR/copies/gK/repoI), for measuring the
# listing and the page at thousands of repositories. Every tenth copy has a
# changed file, so the listing has dirty rows among the clean ones.
# Usage: bench/make-copies.sh DIR N
set -euo pipefail
dir=$1
n=$2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "$dir/copies" "$dir/small"
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
git init -q -b main "$dir/small"
(
  cd "$dir/small"
  for i in 1 2 3; do
    printf 'line %s\n' "$i" >"file$i.txt"
    git add -A
    git -c user.name=bench -c user.email=bench@example.invalid commit -qm "commit $i"
  done
  git gc -q
)
for i in $(seq 1 "$n"); do
  to="$dir/copies/g$((i / 100))/repo$i"
  mkdir -p "${to%/*}"
  cp -a "$dir/small" "$to"
  [ $((i % 10)) -eq 0 ] && echo changed >>"$to/file1.txt"
done
# One status per copy settles its index (the copies' timestamps differ from
# the seed's), so that the measured runs read no file contents.
sleep 1
find "$dir/copies" -name .git -prune -printf '%h\n' | xargs -P 2 -I{} git -C {} status --porcelain >/dev/null
echo "$n copies below $dir/copies"
