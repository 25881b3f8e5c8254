#!/usr/bin/env bash
# 32-bit x86 programs through qemu-user, where the kernel runs none itself: what the tests of the
# shipped 32-bit Kestrelgate.exe need to run it under 32-bit wine.
#
#   tests/i386/emulation.sh --native   true when the kernel itself runs 32-bit programs
#   tests/i386/emulation.sh --check    true when 32-bit programs run here, natively or emulated
#   tests/i386/emulation.sh            sets the emulator up where it is missing (root); prints
#                                      why not and fails where it cannot
#
# Debian 12's qemu-user (7.2) keeps one table of thread-local descriptors (set_thread_area) for
# all the threads of a process, where the kernel keeps one per thread. 32-bit wine loads the
# thread's TEB and C library descriptors again in every signal handler, so a thread that takes a
# signal after another thread was started goes on with the other thread's TEB: its identity,
# its wine server pipes, its stack for system calls. A program with a second thread then hangs
# or crashes at random, and at its end. The emulator is therefore built from Debian's own qemu
# source with qemu-thread-descriptors.patch beside this script, which gives each new thread a
# copy of the table of its own, and registered with binfmt_misc under its own name. The build
# needs deb-src lines for Debian's archive and dpkg-dev, meson, ninja-build, pkg-config,
# libglib2.0-dev and patch (installed by .ci/run); it takes about a minute.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
binfmt=/proc/sys/fs/binfmt_misc
name=kestrelgate-i386
emulator=${KESTRELGATE_I386_EMULATOR:-/usr/local/libexec/kestrelgate/qemu-i386}
# An i386 ELF executable, as the kernel's own binfmt entry for it matches it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
hexmagic=7f454c4601010100000000000000000002000300

# Runs a 96-byte i386 program that only calls exit(42).
runs_32bit() {
  local probe status
  probe=$(mktemp)
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00'\
'\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' \
    >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  status=$?
  rm -f "$probe"
  [[ $status -eq 42 ]]
}

# The enabled binfmt_misc entries that take i386 programs.
i386_entries() {
  local entry
  [[ -d $binfmt ]] || return 0
  for entry in "$binfmt"/*; do
    [[ -f $entry && $(basename "$entry") != register && $(basename "$entry") != status ]] ||
      continue
    grep -qx enabled "$entry" && grep -q "magic $hexmagic" "$entry" && basename "$entry"
  done
}

native() {
  [[ -z $(i386_entries) ]] && runs_32bit
}

ours_registered() {
  [[ -f $binfmt/$name ]] && grep -qx enabled "$binfmt/$name" && [[ -x $emulator ]] && runs_32bit
}

# In a subshell of its own, which takes its scratch folder along when it ends.
build_emulator() (
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt-get source --download-only -q qemu) >"$work/source.log" 2>&1 || {
    echo "Debian's qemu source cannot be had (deb-src lines for the archive?): $(tail -1 "$work/source.log")"
    return 1
  }
  dpkg-source -x "$work"/qemu_*.dsc "$work/qemu" >"$work/unpack.log" 2>&1 || {
    echo "dpkg-source cannot unpack it: $(tail -1 "$work/unpack.log")"
    return 1
  }
  version=$(cat "$work/qemu/VERSION")
  patch -d "$work/qemu" -p1 <"$here/qemu-thread-descriptors.patch" >"$work/patch.log" 2>&1 || {
    echo "the patch does not apply to qemu $version: $(tail -1 "$work/patch.log")"
    return 1
  }
  mkdir "$work/build"
  (cd "$work/build" && "$work/qemu/configure" --target-list=i386-linux-user --disable-system \
    --enable-linux-user --disable-tools --disable-docs --disable-werror --disable-plugins \
    --without-default-features && ninja -j"${JOBS:-2}" qemu-i386) >"$work/build.log" 2>&1 || {
    echo "qemu $version does not build: $(grep -m1 -E 'ERROR|error' "$work/build.log")"
    return 1
  }
  install -D -m 755 "$work/build/qemu-i386" "$emulator"
  echo "built qemu-i386 $version with the thread descriptor patch: $emulator"
)

register() {
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || {
      echo "binfmt_misc cannot be mounted"
      return 1
    }
  fi
  [[ -f $binfmt/$name ]] && echo -1 >"$binfmt/$name"
  # Another emulator's entry for i386 programs would take them first when registered later.
  local entry
  for entry in $(i386_entries); do
    echo 0 >"$binfmt/$entry" && echo "disabled the binfmt entry $entry (its emulator is not ours)"
  done
  # F: the emulator is opened now, so that it serves in every mount namespace and chroot.
  printf ':%s:M::%s:%s:%s:FOC' "$name" "$magic" "$mask" "$emulator" >"$binfmt/register" || {
    echo "binfmt_misc did not take the entry"
    return 1
  }
  echo "registered $emulator for i386 programs ($binfmt/$name)"
}

case ${1:-} in
  --native) native; exit ;;
  --check) native || ours_registered; exit ;;
  "") ;;
  *) sed -n '2,8p' "${BASH_SOURCE[0]}"; exit 2 ;;
esac

if native; then
  echo "the kernel runs 32-bit programs itself: no emulator needed"
  exit 0
fi
if ours_registered; then
  echo "32-bit programs run through $emulator"
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "setting up the i386 emulator needs root"
  exit 1
fi
if [[ ! -x $emulator ]]; then
  build_emulator || exit 1
fi
register || exit 1
if ! runs_32bit; then
  echo "a 32-bit program still does not run through $emulator"
  exit 1
fi
