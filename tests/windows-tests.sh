#!/usr/bin/env bash
# The Windows build's tests, under wine.
#
#   tests/windows-tests.sh NATIVE_BUILD WIN64_BUILD WIN32_BUILD [WERROR]
#
# 64-bit: the same sources built for x86_64 run under wine64, which needs no 32-bit support
# from the kernel: the unit tests, the native end-to-end suite against that Kestrelgate.exe,
# and the console screen test in a real terminal.
# 32-bit: the shipped Kestrelgate.exe is built and checked (a PE32 console program importing
# only system DLLs), and run by wine64 in the same 64-bit prefix (wine's services stay native,
# only the program is 32-bit): its unit tests and a chosen set of the end-to-end cases, where
# 32-bit programs run here (natively, or through the emulator tests/i386/emulation.sh sets up)
# and a probe shows 32-bit wine starting a program whose threads each keep their own identity.
# A tool that is missing or cannot run here makes its suites print "SKIPPED: … (reason)"; only
# a build or a test that fails makes this script fail.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
suite="$root/tests/suite.sh"
native=$(realpath -m "$1")
win64=$(realpath -m "$2")
win32=$(realpath -m "$3")
werror=${4:-OFF}
jobs=${JOBS:-2}
failed=0

export WINEDEBUG=-all

wine_dir=/usr/lib/wine
wineserver_cmd=$wine_dir/wineserver
[[ -x $wineserver_cmd ]] || wineserver_cmd=$(command -v wineserver || true)

# What a tool that cannot run here printed, on one line, for a SKIPPED reason.
first_line() { tr -s '\r\n' '  ' <"$1" | cut -c1-100; }

# Builds and runs a tiny program that prints "probe-ok" and exits with 7 (probe-threads.c: only
# once a thread has taken a signal beside a second one and is still itself). Prints the seconds
# its start took, or why it failed. The probe starts its own prefix, which is the suite's
# prefix, so nothing is wasted.
probe() {
  local compiler=$1 loader=$2 prefix=$3 source=${4:-} work began
  work=$(mktemp -d)
  if [[ -n $source ]]; then
    cp "$source" "$work/probe.c"
  else
    printf '#include <stdio.h>\nint main(void){puts("probe-ok");return 7;}\n' >"$work/probe.c"
  fi
  if ! "$compiler" "$work/probe.c" -o "$work/probe.exe" 2>"$work/err"; then
    echo "the cross compiler cannot build a program: $(first_line "$work/err")"
    rm -rf "$work"
    return 1
  fi
  mkdir -p "$prefix"
  local out status
  began=$SECONDS
  out=$(WINEPREFIX=$prefix timeout 600 "$loader" "$work/probe.exe" 2>"$work/err")
  status=$?
  if [[ $status -ne 7 || $out != probe-ok* ]]; then
    echo "it does not start a program here (exit status $status): $(first_line "$work/err")" \
      "$(tr -s '\r\n' '  ' <<<"$out" | cut -c1-100)"
    rm -rf "$work"
    return 1
  fi
  rm -rf "$work"
  WINEPREFIX=$prefix "$wineserver_cmd" -k >/dev/null 2>&1
  WINEPREFIX=$prefix "$wineserver_cmd" -w >/dev/null 2>&1
  echo $((SECONDS - began))
  return 0
}

# One wine server and session serve every wine process of a run, started first with its
# output silenced: a server started by a test would write its state dumps into the test log
# when a pty hangs up. COM1 to COM3 are registered as the prefix's own links (kestrelgate-comN),
# which the tests point at their pseudo-terminals (runs side by side take one each): wine's
# mount manager rebuilds the COM links at every session start, and would otherwise link them
# to the machine's real serial ports. Runs in this shell: the suites that follow use the
# WINEPREFIX it exports.
wine_ports=3
start_wine() {
  local loader=$1 prefix=$2 port
  export WINEPREFIX=$prefix
  "$wineserver_cmd" -k >/dev/null 2>&1
  "$wineserver_cmd" -w >/dev/null 2>&1
  "$wineserver_cmd" -p >/dev/null 2>&1
  "$loader" wineboot -i >/dev/null 2>&1
  for ((port = 1; port <= wine_ports; port++)); do
    "$loader" reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /d "$prefix/kestrelgate-com$port" \
      /f >/dev/null 2>&1
  done
  # The mount manager reads the registered ports as a session starts: start one afresh.
  "$wineserver_cmd" -k >/dev/null 2>&1
  "$wineserver_cmd" -w >/dev/null 2>&1
  "$wineserver_cmd" -p >/dev/null 2>&1
  "$loader" wineboot >/dev/null 2>&1
  local tries
  for ((port = 1; port <= wine_ports; port++)); do
    for ((tries = 0; tries < 300; tries++)); do
      [[ $(readlink "$prefix/dosdevices/com$port") == "$prefix/kestrelgate-com$port" ]] && break
      sleep 0.1
    done
    if ((tries == 300)); then
      echo "wine's com$port in $prefix leads to '$(readlink "$prefix/dosdevices/com$port")'," \
        "not to our link"
      return 1
    fi
  done
}

stop_wine() {
  [[ -n ${WINEPREFIX:-} ]] || return 0
  "$wineserver_cmd" -k >/dev/null 2>&1
  "$wineserver_cmd" -w >/dev/null 2>&1
  unset WINEPREFIX
}
trap stop_wine EXIT

# The unit tests, the end-to-end suite and the console screen test of one Windows build.
run_suites() {
  local label=$1 loader=$2 build=$3
  "$suite" "$label unit" ctest --test-dir "$build" --output-on-failure || failed=1
  "$suite" "$label end-to-end" env KESTRELGATE_ENGINE="$loader $build/Kestrelgate.exe" \
    KESTRELGATE_MONITOR="$loader $build/tools/Kestrelgate-monitor.exe" \
    "$native/tests/e2e/e2e_tests" --gtest_filter='-E2eConsole.*' || failed=1
  if command -v tmux >/dev/null; then
    "$suite" "$label console screen" env KESTRELGATE_ENGINE="$loader $build/Kestrelgate.exe" \
      "$native/tests/e2e/e2e_tests" --gtest_filter='E2eConsole.*' || failed=1
  else
    "$suite" --skip "$label console screen" "tmux is not installed"
  fi
}

configure_and_build() {
  local build=$1 toolchain=$2
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DKESTRELGATE_GTEST_SOURCE=/usr/src/googletest -DKESTRELGATE_WERROR="$werror" &&
    cmake --build "$build" -j"$jobs"
}

# suite.sh runs these as commands of its own.
export root werror jobs native win32
export -f configure_and_build

# ---- 64-bit, under wine64 ----
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  "$suite" --skip "windows64" "x86_64-w64-mingw32-g++-posix is not installed"
elif [[ ! -d /usr/src/googletest ]]; then
  "$suite" --skip "windows64" "GoogleTest's sources (package googletest) are not installed"
elif [[ ! -x $wine_dir/wine64 || -z $wineserver_cmd ]]; then
  "$suite" --skip "windows64" "wine64 is not installed"
elif ! why=$(probe x86_64-w64-mingw32-gcc-posix "$wine_dir/wine64" "$win64/wineprefix"); then
  "$suite" --skip "windows64" "wine64: $why"
elif ! "$suite" "windows64 build" configure_and_build "$win64" toolchain-mingw64.cmake; then
  failed=1
elif ! start_wine "$wine_dir/wine64" "$win64/wineprefix"; then
  "$suite" "windows64 wine set-up" false
  failed=1
else
  run_suites windows64 "$wine_dir/wine64" "$win64"
  stop_wine
fi

# ---- 32-bit: the shipped program ----
check_pe32() {
  local exe=$1 dump dll bad=0
  dump=$(i686-w64-mingw32-objdump -p "$exe") || return 1
  grep -q '(PE32)' <<<"$dump" || { echo "$exe is not a PE32 program"; bad=1; }
  grep -q 'Subsystem.*(Windows CUI)' <<<"$dump" || { echo "$exe is not a console program"; bad=1; }
  # A static build leaves only Windows' own DLLs: no libstdc++, libgcc or winpthread to ship.
  while read -r dll; do
    case ${dll,,} in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) echo "imports $dll" ;;
      *) echo "$exe imports $dll, which a bare Windows does not have"; bad=1 ;;
    esac
  done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
  return "$bad"
}
export -f check_pe32

# The 32-bit program's tests: its unit tests, and the end-to-end cases below against the real
# exe, in shards side by side (every start loads 32-bit wine, about a minute under emulation).
# Their time limits follow from what the probe's start cost.
windows32_cases=(
  E2eCommandLine.UsageRequestsPrintTheTenLinesAndExitZero
  E2eCommandLine.AnAbsentComPortGivesTheOneLineAndExitsZero
  E2eSimulator.TheOperaGameIsPlayedMoveByMove
  E2eSimulator.APromotionIsAnsweredWithThePiecePrintedAfterIt
  E2eOnPty.TheEndOfInputAfterASessionWritesNothingMore
  E2ePair.TwoEnginesStartedAtOnceDealTheGameAsOneEngineWould
)
windows32_filter=$(IFS=:; echo "${windows32_cases[*]}")
windows32_shards=3

windows32_end_to_end() {
  local loader=$1 shard status=0 logs=() pids=()
  for ((shard = 0; shard < windows32_shards; shard++)); do
    logs+=("$(mktemp)")
    GTEST_TOTAL_SHARDS=$windows32_shards GTEST_SHARD_INDEX=$shard KESTRELGATE_WINE_COM=$((shard + 1)) \
      KESTRELGATE_ENGINE="$loader $win32/Kestrelgate.exe" \
      KESTRELGATE_START_MS=$((probe_seconds * 4000)) \
      "$native/tests/e2e/e2e_tests" --gtest_filter="$windows32_filter" >"${logs[shard]}" 2>&1 &
    pids+=($!)
  done
  for ((shard = 0; shard < windows32_shards; shard++)); do
    wait "${pids[shard]}" || status=1
    echo "-- shard $((shard + 1)) of $windows32_shards"
    cat "${logs[shard]}"
    rm -f "${logs[shard]}"
  done
  return "$status"
}

if ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
  "$suite" --skip "windows32" "i686-w64-mingw32-g++-posix is not installed"
elif [[ ! -d /usr/src/googletest ]]; then
  "$suite" --skip "windows32" "GoogleTest's sources (package googletest) are not installed"
elif ! "$suite" "windows32 build" configure_and_build "$win32" toolchain-mingw32.cmake; then
  failed=1
else
  "$suite" "windows32 program check" check_pe32 "$win32/Kestrelgate.exe" || failed=1
  if [[ ! -x $wine_dir/wine ]]; then
    "$suite" --skip "windows32 tests" "32-bit wine (wine32:i386) is not installed"
  elif [[ ! -x $wine_dir/wine64 || -z $wineserver_cmd ]]; then
    "$suite" --skip "windows32 tests" "wine64 is not installed; it runs the 32-bit program here"
  elif ! "$root/tests/i386/emulation.sh" --check; then
    "$suite" --skip "windows32 tests" "no 32-bit program runs here, natively or emulated: \
${KESTRELGATE_I386_WHY:-tests/i386/emulation.sh sets the emulator up, as root}"
  elif ! probe_seconds=$(probe i686-w64-mingw32-gcc-posix "$wine_dir/wine64" "$win64/wineprefix" \
    "$root/tests/i386/probe-threads.c"); then
    "$suite" --skip "windows32 tests" "32-bit wine: $probe_seconds"
  elif ! start_wine "$wine_dir/wine64" "$win64/wineprefix"; then
    "$suite" "windows32 wine set-up" false
    failed=1
  else
    echo "a 32-bit start costs ${probe_seconds} s here"
    export probe_seconds windows32_filter windows32_shards
    export -f windows32_end_to_end
    "$suite" "windows32 unit" "$wine_dir/wine64" "$win32/tests/unit_tests.exe" || failed=1
    "$suite" "windows32 end-to-end" windows32_end_to_end "$wine_dir/wine64" || failed=1
    stop_wine
  fi
fi

exit "$failed"
