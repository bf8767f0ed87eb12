#!/bin/bash
# Runs the shell completions in the shells themselves (bash, zsh, fish) and
# checks what each completes:
#   completion_test.sh BUILD_DIR
# The build is installed into a temporary prefix (the scripts where each
# shell looks below it, the programs in its bin/). The repositories come
# from the listing of a small root made here (two repositories, one with a space in its name, and
# a plain folder). A shell that is not installed fails the test: the test
# command installs all three.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix bin=$work/prefix/bin
cmake --install "$build" --prefix "$prefix" >/dev/null
root=$work/code
mkdir -p "$root/alpha" "$root/beta" "$root/with space" "$root/notes"
for r in alpha beta "with space"; do git -C "$root/$r" init -q; done
export PATH=$bin:$PATH QUARLO_ROOTS=$root QUARLO_ONLY_ROOTS=1 HOME=$work
share=$prefix/share

# Each shell's candidates for the command line $1 (completed at its end),
# one per line, sorted.
complete_bash() {
  bash --norc --noprofile -c '
    source "$1/bash-completion/completions/quarlo"
    source "$1/bash-completion/completions/quarlo-host"
    read -r -a COMP_WORDS <<< "$2"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$2 COMP_POINT=${#2}
    func=$(complete -p "${COMP_WORDS[0]}" | sed "s/.*-F \([^ ]*\) .*/\1/")
    "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$share" "$1" | sed '/^$/d' | sort
}

# zsh completes only in its line editor: an interactive zsh on a
# pseudo-terminal gets the line and a Tab, with compadd wrapped to print
# each match it is given.
complete_zsh() {
  zsh -f -c '
    zmodload zsh/zpty
    zpty z zsh -f -i
    zpty -w z "PS1= PROMPT= RPROMPT=; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
    zpty -w z "compadd() { local -a m; builtin compadd -O m \"\$@\"; print -rl -- \${m/#/MATCH:}; builtin compadd \"\$@\"; }"
    zpty -w z "_done() { print -r -- END; print -r -- MARK }; zle -N _done; bindkey \"^X\" _done"
    # Waits for a text on the terminal; the typed line echoes its
    # command, so the texts are printed in two parts.
    wait_for() {
      local chunk i
      out=
      for i in {1..200}; do
        if zpty -r -t z chunk; then out+=$chunk; [[ $out == *$1* ]] && return; else sleep 0.05; fi
      done
      print -u2 "zsh did not answer: $out"; exit 1
    }
    zpty -w z "print -r -- READY\$((1+1))"
    wait_for READY2
    zpty -n -w z "$2"$'"'"'\t\C-x'"'"'
    wait_for END$'"'"'\r\n'"'"'MARK
    print -r -- "$out" | tr -d "\r" | sed -n "s/^.*MATCH://p"
    zpty -d z' _ "$share/zsh/vendor-completions" "$1" | sed '/^$/d' | sort -u
}

complete_fish() {
  fish --no-config -c 'set fish_complete_path $argv[1] $fish_complete_path; complete -C"$argv[2]"' \
    "$share/fish/vendor_completions.d" "$1" | cut -f1 | sort -u
}

# The cases: a command line and, for each shell, the candidates wanted
# (one per line).
failures=0
check() {
  local shell=$1 line=$2 want=$3 got
  got=$("complete_$shell" "$line" 2>&1) || true
  want=$(printf '%s\n' "$want" | sort -u)
  if [ "$got" != "$want" ]; then
    printf 'FAIL: %s completes "%s" as:\n%s\nwanted:\n%s\n' "$shell" "$line" "$got" "$want" >&2
    failures=$((failures + 1))
  fi
}
repos="$root/alpha
$root/beta
$root/with space"
for shell in bash zsh fish; do
  check $shell "quarlo st" "status"
  check $shell "quarlo sh" "show"
  check $shell "quarlo status --" "--exit-code
--json
--only-here
--paths"
  check $shell "quarlo fetch --a" "--all"
  check $shell "quarlo show --j" "--json"
  check $shell "quarlo-host --p" "--port
--program"
  check $shell "quarlo show $root/a" "$root/alpha"
  check $shell "quarlo fetch $root/alpha $root/" "$repos"
done
# Roots are folders (fish marks them with a final slash).
cd "$root"
check bash "quarlo status n" "notes"
check zsh "quarlo status n" "notes"
check fish "quarlo status n" "notes/"
# Without a word, every command and the top-level flags.
check bash "quarlo " "status
show
fetch
help
--help
--version
--meta"
[ $failures = 0 ] || exit 1
echo "ok: bash, zsh and fish complete quarlo and quarlo-host"
