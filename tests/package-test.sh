#!/usr/bin/env bash
# Installs the Debian package from OUT, tries what it installed, and removes it again; looks
# into the Windows zip where there is one. Needs root (dpkg -i).
#
#   tests/package-test.sh OUT
set -uo pipefail
out=${1:-out}
failed=0
check() {  # check WHAT COMMAND...: runs the command, says what failed
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}

deb=$(ls "$out"/kestrelgate_*_amd64.deb 2>/dev/null | head -n 1)
if [[ -z $deb ]]; then
  echo "FAILED: no Debian package in $out"
  exit 1
fi
if [[ $(id -u) -ne 0 ]]; then
  tests/suite.sh --skip "package install" "dpkg -i needs root"
  exit 0
fi

check "dpkg -i $deb" dpkg -i "$deb"
for program in kestrelgate kestrelgate-monitor kestrelgate-sim; do
  check "/usr/bin/$program installed" test -x "/usr/bin/$program"
done
check "the manual page kestrelgate(1)" test -f /usr/share/man/man1/kestrelgate.1.gz
check "the transcripts" test -f /usr/share/kestrelgate/transcripts/opera-game.txt
check "the pages the README links to" test -f /usr/share/doc/kestrelgate/docs/design.md -a \
  -f /usr/share/doc/kestrelgate/docs/gui-setup.md
usage=$(cd / && kestrelgate /? </dev/null)
check "kestrelgate /? from the installed path prints the usage text" \
  grep -q "Usage: Kestrelgate \[/?\] Or \[/h\]" <<<"$usage"
check "kestrelgate /? ends its lines with CR LF" test "$(printf '%s' "$usage" | grep -c $'\r$')" -eq 10
# Only the C library's parts: the vDSO, libc and the dynamic loader.
for program in kestrelgate kestrelgate-monitor kestrelgate-sim; do
  others=$(ldd "/usr/bin/$program" | grep -vE 'linux-vdso|libc\.so|ld-linux' || true)
  check "ldd $program lists only the C library" test -z "$others"
  if [[ -n $others ]]; then echo "$others"; fi
done
check "dpkg -r kestrelgate" dpkg -r kestrelgate
check "nothing left in /usr/bin" test ! -e /usr/bin/kestrelgate -a ! -e /usr/bin/kestrelgate-sim
check "nothing left of the manual page" test ! -e /usr/share/man/man1/kestrelgate.1.gz

zip=$(ls "$out"/kestrelgate-*-windows-x86.zip 2>/dev/null | head -n 1)
if [[ -n $zip ]]; then
  listing=$(cd "$out" && cmake -E tar tf "$(basename "$zip")")
  echo "$listing"
  check "the zip holds Kestrelgate.exe" grep -q '/Kestrelgate.exe$' <<<"$listing"
  check "the zip holds the set-up text" grep -q 'Setting up Kestrelgate.txt$' <<<"$listing"
  work=$(mktemp -d)
  zip=$(realpath "$zip")
  (cd "$work" && cmake -E tar xf "$zip")
  exe=$(find "$work" -name Kestrelgate.exe | head -n 1)
  check "Kestrelgate.exe in the zip is a PE32 console program" \
    sh -c "i686-w64-mingw32-objdump -p '$exe' 2>/dev/null | grep -q '(PE32)' ||
           file '$exe' 2>/dev/null | grep -q 'PE32 executable (console)'"
  rm -rf "$work"
else
  echo "no Windows zip in $out (no 32-bit cross compiler when it was made)"
fi
exit "$failed"
