#!/usr/bin/env bash
# Runs the native end-to-end suite RUNS times in a row while both cores are kept busy, and stops
# at the first failure: a test that waits a fixed time, or reads a state another process is
# still producing, fails here long before it fails in CI.
#
#   tests/stress.sh E2E_BINARY [RUNS]
#
# The line-noise soak runs for KESTRELGATE_SOAK_SECONDS (3 here unless set) in each run.
set -uo pipefail

binary=$1
runs=${2:-50}
export KESTRELGATE_SOAK_SECONDS=${KESTRELGATE_SOAK_SECONDS:-3}

# One busy loop per core, for as long as the runs last.
loads=()
for ((core = 0; core < $(nproc); core++)); do
  bash -c 'while :; do :; done' &
  loads+=($!)
done
trap 'kill "${loads[@]}" 2>/dev/null; wait 2>/dev/null' EXIT

log=$(mktemp)
for ((run = 1; run <= runs; run++)); do
  start=$SECONDS
  if ! "$binary" --gtest_brief=1 >"$log" 2>&1; then
    cat "$log"
    echo "stress: run $run of $runs failed"
    rm -f "$log"
    exit 1
  fi
  echo "stress: run $run of $runs passed in $((SECONDS - start)) s"
done
rm -f "$log"
echo "stress: $runs runs in a row passed with $(nproc) cores busy"
