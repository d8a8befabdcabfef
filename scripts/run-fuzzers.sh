#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a scratch copy of its seed corpus.
set -euo pipefail
bindir=$1 seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for corpus in "$top"/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  target="$bindir/${name}_fuzz"
  [ -x "$target" ] || target="$bindir/${name}_parser_fuzz"
  [ -x "$target" ] || { echo "fuzz: no target for corpus $name"; status=1; continue; }
  mkdir -p "$scratch/$name"
  cp -r "$corpus". "$scratch/$name/"
  echo "fuzz: $(basename "$target") for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
       -print_final_stats=0 "$scratch/$name" >"$scratch/$name.log" 2>&1; then
    tail -n 40 "$scratch/$name.log"
    status=1
  else
    grep -E '^#[0-9]+\s+DONE' "$scratch/$name.log" | tail -n 1 || true
  fi
done
exit $status
