#!/usr/bin/env bash
# Builds kestrelgate as it was at an earlier commit, for the benchmark to measure beside the
# current build in the same run.
#
#   tools/bench/build-earlier.sh REV DIR    leaves DIR/kestrelgate, or says why not
set -uo pipefail
rev=$1
dir=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
if [[ -x $dir/kestrelgate && -f $dir/rev && $(<"$dir/rev") == "$rev" ]]; then exit 0; fi
if ! git -C "$root" cat-file -e "$rev^{commit}" 2>/dev/null; then
  echo "SKIPPED: the earlier build $rev (not in this clone's history); nothing is measured beside it"
  exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/src"
git -C "$root" archive "$rev" | tar -x -C "$dir/src" &&
  cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRELGATE_TESTS=OFF \
    >"$dir/build.log" 2>&1 &&
  cmake --build "$dir/build" --target kestrelgate -j"${JOBS:-2}" >>"$dir/build.log" 2>&1 &&
  cp "$dir/build/kestrelgate" "$dir/kestrelgate" && echo "$rev" >"$dir/rev" || {
  echo "SKIPPED: the earlier build $rev did not build (see $dir/build.log)"
  exit 1
}
echo "built kestrelgate at $rev in $dir, to be measured beside this build"
