#!/usr/bin/env bash
# The Windows build's tests, under wine.
#
#   tests/windows-tests.sh NATIVE_BUILD WIN64_BUILD WIN32_BUILD [WERROR]
#
# 64-bit: the same sources built for x86_64 run under wine64, which needs no 32-bit support
# from the kernel: the unit tests, the native end-to-end suite against that Kestrelgate.exe,
# and the console screen test in a real terminal.
# 32-bit: the shipped Kestrelgate.exe is built and checked (a PE32 console program importing
# only system DLLs); its tests run under 32-bit wine only where a probe shows that 32-bit wine
# really starts a program here.
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

# Builds and runs a tiny program that prints "probe-ok" and exits with 7. Prints why not on
# failure. The probe starts its own prefix, which is the suite's prefix, so nothing is wasted.
probe() {
  local compiler=$1 loader=$2 prefix=$3 work
  work=$(mktemp -d)
  printf '#include <stdio.h>\nint main(void){puts("probe-ok");return 7;}\n' >"$work/probe.c"
  if ! "$compiler" "$work/probe.c" -o "$work/probe.exe" 2>"$work/err"; then
    echo "the cross compiler cannot build a program: $(first_line "$work/err")"
    rm -rf "$work"
    return 1
  fi
  mkdir -p "$prefix"
  local out status
  out=$(WINEPREFIX=$prefix timeout 300 "$loader" "$work/probe.exe" 2>"$work/err")
  status=$?
  if [[ $status -ne 7 || $out != probe-ok* ]]; then
    echo "it does not start a program here (exit status $status): $(first_line "$work/err")"
    rm -rf "$work"
    return 1
  fi
  rm -rf "$work"
  WINEPREFIX=$prefix "$wineserver_cmd" -k >/dev/null 2>&1
  WINEPREFIX=$prefix "$wineserver_cmd" -w >/dev/null 2>&1
  return 0
}

# One wine server and session serve every wine process of a run, started first with its
# output silenced: a server started by a test would write its state dumps into the test log
# when a pty hangs up. COM1 is registered as the prefix's own link (kestrelgate-com1), which
# the tests point at their pseudo-terminals: wine's mount manager rebuilds the COM links at
# every session start, and would otherwise link com1 to the machine's first real serial port.
# Runs in this shell: the suites that follow use the WINEPREFIX it exports.
start_wine() {
  local loader=$1 prefix=$2
  export WINEPREFIX=$prefix
  "$wineserver_cmd" -k >/dev/null 2>&1
  "$wineserver_cmd" -w >/dev/null 2>&1
  "$wineserver_cmd" -p >/dev/null 2>&1
  "$loader" wineboot -i >/dev/null 2>&1
  "$loader" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$prefix/kestrelgate-com1" /f \
    >/dev/null 2>&1
  # The mount manager reads the registered ports as a session starts: start one afresh.
  "$wineserver_cmd" -k >/dev/null 2>&1
  "$wineserver_cmd" -w >/dev/null 2>&1
  "$wineserver_cmd" -p >/dev/null 2>&1
  "$loader" wineboot >/dev/null 2>&1
  local tries
  for ((tries = 0; tries < 300; tries++)); do
    [[ $(readlink "$prefix/dosdevices/com1") == "$prefix/kestrelgate-com1" ]] && return 0
    sleep 0.1
  done
  echo "wine's com1 in $prefix leads to '$(readlink "$prefix/dosdevices/com1")', not to our link"
  return 1
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
export root werror jobs
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
  elif ! why=$(probe i686-w64-mingw32-gcc-posix "$wine_dir/wine" "$win32/wineprefix"); then
    "$suite" --skip "windows32 tests" "32-bit wine: $why"
  elif ! start_wine "$wine_dir/wine" "$win32/wineprefix"; then
    "$suite" "windows32 wine set-up" false
    failed=1
  else
    run_suites windows32 "$wine_dir/wine" "$win32"
    stop_wine
  fi
fi

exit "$failed"
