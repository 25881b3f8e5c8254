#!/usr/bin/env bash
# Runs every fuzz target for a bounded time from its starting corpus. Any difference from a
# target's model, crash, leak or undefined-behaviour report fails the run; the reproducer is
# shown and left in the working folder.
#
#   tests/fuzz/run.sh FUZZ_BUILD_DIR [SECONDS] [TARGET...]
set -uo pipefail
bin=${1:?fuzz build directory}
seconds=${2:-60}
shift 2 2>/dev/null || shift $#
here=$(cd "$(dirname "$0")" && pwd)
if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  IFS=';' read -r -a targets <"$bin/targets.txt"
fi
work=$(mktemp -d)
failed=0
passed=0
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  cp "$here/corpus/$target/"* "$work/$target/" 2>/dev/null
  echo "fuzzing $target for ${seconds}s"
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$bin/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -artifact_prefix="$work/$target-" "$work/$target" >"$work/$target.log" 2>&1; then
    passed=$((passed + 1))
    tail -n 1 "$work/$target.log"
  else
    failed=$((failed + 1))
    tail -n 60 "$work/$target.log"
    for a in "$work/$target"-crash-* "$work/$target"-leak-* "$work/$target"-timeout-*; do
      [[ -e $a ]] && { echo "reproducer $a:"; od -c "$a" | head -20; }
    done
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]] && rm -rf "$work"
[[ $failed -eq 0 ]]
