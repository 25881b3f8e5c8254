#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its starting corpus. Any crash, leak or
# undefined-behaviour report fails the run; the reproducer is left in the working corpus.
set -euo pipefail
bin=${1:?fuzz build directory}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
passed=0
for target in port_spec move_reader line_reader uci_loop; do
  mkdir -p "$work/$target"
  cp "$here/corpus/$target/"* "$work/$target/"
  echo "fuzzing $target for ${seconds}s"
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
     "$bin/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
       -artifact_prefix="$work/" "$work/$target" > "$work/$target.log" 2>&1; then
    passed=$((passed + 1))
    tail -n 1 "$work/$target.log"
  else
    failed=$((failed + 1))
    tail -n 60 "$work/$target.log"
    for a in "$work"/crash-* "$work"/leak-* "$work"/timeout-*; do
      [ -e "$a" ] && { echo "reproducer $a:"; od -c "$a" | head -20; }
    done
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
