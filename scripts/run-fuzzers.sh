#!/usr/bin/env bash
# Runs every fuzz target in a build directory for a bounded time, from its committed seed corpus
# (fuzz/<Area>/corpus/<target>/). Any crash or sanitizer report fails the run.
set -euo pipefail
build=$1
seconds=${2:-30}
status=0
# A crashing input is kept here (and named in the log) so that it can be replayed:
#   build-fuzz/fuzz/<Area>/fuzz_<name> build-fuzz/fuzz-artifacts/fuzz_<name>-crash-...
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
for target in "$build"/fuzz/*/fuzz_*; do
  [[ -x $target && -f $target ]] || continue
  name=$(basename "$target")
  area=$(basename "$(dirname "$target")")
  seeds=fuzz/$area/corpus/$name
  work=$(mktemp -d)
  [[ -d $seeds ]] && cp -r "$seeds"/. "$work"/
  echo "---- $name: ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -artifact_prefix="$artifacts/$name-" -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>"$work.log"; then
    tail -n 60 "$work.log"
    status=1
  else
    grep -E '^(stat::number_of_executed_units|#[0-9]+.*DONE)' "$work.log" | tail -n 2 || true
  fi
  rm -rf "$work" "$work.log"
done
exit $status
