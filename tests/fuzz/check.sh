#!/usr/bin/env bash
# Shows that the fuzz targets can fail: each planted fault in tests/fuzz/faults/ is put into a
# scratch copy of the sources, one at a time, and the target it names must find it within the
# time allowed. A fault that is not found fails the run.
#
#   tests/fuzz/check.sh [SECONDS] [FAULT...]
#
# A fault file holds four lines:
#   target: the fuzz target that must find it (move_reader for move_reader_fuzz)
#   file: the source file, relative to the repository
#   find: one line of that file, exactly as it stands (it must occur exactly once)
#   replace: what that line becomes
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
faults=("$@")
[[ ${#faults[@]} -gt 0 ]] || faults=("$root"/tests/fuzz/faults/*.fault)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The sources as the repository holds them (without build folders), or the whole tree.
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$scratch")
else
  cp -a "$root/." "$scratch/"
  rm -rf "$scratch"/build*
fi
build=$scratch/build
echo "== configuring a fuzz build of a scratch copy"
if ! CXX=clang++ cmake -S "$scratch" -B "$build" -DKESTRELGATE_FUZZ=ON -DKESTRELGATE_TESTS=OFF \
  >"$scratch/configure.log" 2>&1; then
  cat "$scratch/configure.log"
  exit 1
fi

field() { sed -n "s/^$1: //p" "$2" | head -n 1; }

results=()
missed=0
for fault in "${faults[@]}"; do
  name=$(basename "$fault" .fault)
  target=$(field target "$fault")
  file=$(field file "$fault")
  find=$(field find "$fault")
  replace=$(field replace "$fault")
  source="$scratch/$file"
  original=$(<"$source")
  count=$(grep -cF -- "$find" "$source")
  if [[ $count -ne 1 ]]; then
    echo "check: $name: the line to change occurs $count times in $file, not once"
    results+=("$name|$target|the fault no longer fits the source")
    missed=$((missed + 1))
    continue
  fi
  printf '%s\n' "${original/"$find"/"$replace"}" >"$source"
  echo "== $name: $target, $file"
  if ! cmake --build "$build" --target "${target}_fuzz" -j"${JOBS:-2}" >"$scratch/build.log" 2>&1; then
    tail -n 30 "$scratch/build.log"
    results+=("$name|$target|the faulty copy does not build")
    missed=$((missed + 1))
  else
    work="$scratch/run-$name"
    mkdir -p "$work/corpus"
    cp "$root/tests/fuzz/corpus/$target/"* "$work/corpus/" 2>/dev/null
    start=$(date +%s.%N)
    UBSAN_OPTIONS=halt_on_error=1 "$build/tests/fuzz/${target}_fuzz" \
      -max_total_time="$seconds" -max_len=4096 -timeout=10 -artifact_prefix="$work/" \
      "$work/corpus" >"$work/log" 2>&1
    status=$?
    took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    if [[ $status -ne 0 ]] && compgen -G "$work/crash-*" >/dev/null; then
      grep -m 1 -E 'model|differ|ERROR' "$work/log" | cut -c1-120
      results+=("$name|$target|found in $took s")
    else
      tail -n 3 "$work/log"
      results+=("$name|$target|NOT FOUND in $seconds s")
      missed=$((missed + 1))
    fi
  fi
  printf '%s\n' "$original" >"$source"
done

printf '\n%-44s %-16s %s\n' "planted fault" "target" "result"
for row in "${results[@]}"; do
  IFS='|' read -r name target result <<<"$row"
  printf '%-44s %-16s %s\n' "$name" "$target" "$result"
done
[[ $missed -eq 0 ]]
