#!/bin/sh
# Runs one fuzz target for a bounded time: run_fuzz.sh <target> <work folder>
# <seconds> <seed folder>. New inputs land in <work>/corpus, a crash's input
# in <work>/ (named crash-*, leak-*, timeout-*); the exit status is the
# fuzzer's (non-zero on a crash).
set -eu
target=$1 work=$2 seconds=$3 seeds=$4
mkdir -p "$work/corpus"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" "$seeds"
