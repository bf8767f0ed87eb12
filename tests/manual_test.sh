#!/bin/sh
# Checks that a program's --help and its manual page name the same commands
# and flags (outside the page's EXAMPLES):
#   manual_test.sh PROGRAM PAGE.1.gz
# Commands are the words after the program's name in the help's usage lines
# and in the page's SYNOPSIS; flags (-h, --json) are taken from the whole of
# both texts. A failure lists each name that only one of them has.
set -eu
program=$1 page=$2
name=$(basename "$program")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$program" --help > "$work/help" || { echo "FAIL: $name --help failed" >&2; exit 1; }
# Rendered wide and unhyphenated, so that no flag is split across lines.
LC_ALL=C.UTF-8 MANWIDTH=1000 man -l "$page" 2>/dev/null | col -bx > "$work/page"
[ -s "$work/page" ] || { echo "FAIL: man cannot read $page" >&2; exit 1; }

flags() { grep -o -- '\(^\|[^A-Za-z0-9-]\)--\?[a-z][a-z0-9-]*' "$1" | sed 's/^[^-]*//' | sort -u; }
# The word after the program's name where a line begins with it.
commands() { sed -n "s/^ *\(usage: \)\?$name \([a-z][a-z-]*\).*/\2/p" "$1" | sort -u; }

flags "$work/help" > "$work/help.flags"
# Not from the examples, which may show other programs' flags.
sed '/^EXAMPLES/,/^[A-Z]/{/^EXAMPLES/d;/^ /d}' "$work/page" > "$work/described"
flags "$work/described" > "$work/page.flags"
commands "$work/help" > "$work/help.commands"
sed -n '/^SYNOPSIS/,/^[A-Z]/p' "$work/page" > "$work/synopsis"
commands "$work/synopsis" > "$work/page.commands"

status=0
for kind in commands flags; do
  only_help=$(comm -23 "$work/help.$kind" "$work/page.$kind" | tr '\n' ' ')
  only_page=$(comm -13 "$work/help.$kind" "$work/page.$kind" | tr '\n' ' ')
  if [ -n "$only_help" ]; then
    echo "FAIL: $kind in '$name --help' but not in $name(1): $only_help" >&2
    status=1
  fi
  if [ -n "$only_page" ]; then
    echo "FAIL: $kind in $name(1) but not in '$name --help': $only_page" >&2
    status=1
  fi
done
[ $status = 0 ] && echo "ok: $name --help and $name(1) name the same commands and flags"
exit $status
