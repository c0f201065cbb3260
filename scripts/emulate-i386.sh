#!/usr/bin/env bash
# Runs 32-bit x86 programs on a machine whose kernel cannot execute them
# ("Exec format error"), through qemu's user-mode emulator, for this project
# alone: nothing is registered machine-wide and nothing is left running.
#
#   scripts/emulate-i386.sh check          # 0 when it works here; else says why
#   scripts/emulate-i386.sh run CMD [ARG...]
#
# `run` starts CMD in a user, mount and PID namespace of its own. In it a
# private binfmt_misc instance (kernels 6.7 and later give each user
# namespace one) hands every i386 ELF program to qemu-i386, and Wine's 32-bit
# loader gets a small preload library in place of the preloader Debian does
# not ship. When CMD ends, the namespace ends, and with it every process it
# started (wineserver, Xvfb, servers). Programs of the machine's own
# architecture run natively as always.
#
# qemu comes from bookworm-backports (scripts/setup-deps.sh installs it):
# bookworm's qemu 7.2 kills 32-bit Wine processes at random points.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
qemu=${VELMORA_QEMU_I386:-/usr/bin/qemu-i386}
state=${VELMORA_EMULATION_DIR:-$root/build/emulation}
source_c=$root/scripts/emulation/wine-preload.c

# The i386 ELF header (executables and shared objects), as qemu's own
# binfmt configuration names it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "emulate-i386: $*" >&2; }

# Builds the preload library and the binfmt interpreter into $state.
prepare() {
  [ -x "$qemu" ] || { say "$qemu is not installed (scripts/setup-deps.sh installs qemu-user)"; return 1; }
  command -v unshare >/dev/null || { say "unshare is missing"; return 1; }
  mkdir -p "$state/binfmt"
  local lib=$state/wine-preload.so
  if [ ! -f "$lib" ] || [ "$source_c" -nt "$lib" ]; then
    gcc -m32 -O2 -fPIC -shared -nostdlib -ffreestanding -fno-stack-protector \
        -Wall -Wextra -Werror -o "$lib.tmp" "$source_c" || { say "could not build $lib"; return 1; }
    mv -f "$lib.tmp" "$lib"
  fi
  # Flag P: the kernel passes the program's path, then its own argv[0].
  # Only Wine's loader gets the preload: it reserves most of the address
  # space, which any other 32-bit program would miss.
  cat > "$state/interpreter.tmp" <<EOF
#!/bin/sh
# binfmt_misc interpreter of scripts/emulate-i386.sh (generated).
prog=\$1 argv0=\$2
shift 2
case "\$prog" in
  */wine) exec "$qemu" -0 "\$argv0" -E WINELOADERNOEXEC=1 -E LD_PRELOAD="$lib" "\$prog" "\$@" ;;
  *) exec "$qemu" -0 "\$argv0" "\$prog" "\$@" ;;
esac
EOF
  chmod 755 "$state/interpreter.tmp"
  mv -f "$state/interpreter.tmp" "$state/interpreter"
}

# Inside the namespaces: register the interpreter, then run the command as a
# child, so that this shell, the namespace's first process, reaps whatever
# the command leaves orphaned (a test polling a stopped server must see it
# gone, not a zombie).
inside() {
  mount -t binfmt_misc velmora-binfmt "$state/binfmt" ||
    { say "this kernel gives a user namespace no binfmt_misc of its own (needs Linux 6.7 or later)"; exit 97; }
  printf '%s' ":velmora-i386:M::$magic:$mask:$state/interpreter:P" > "$state/binfmt/register" ||
    { say "could not register the i386 interpreter"; exit 97; }
  export VELMORA_I686_MODE=emulated VELMORA_IN_EMULATION=1
  "$@" &
  local child=$! status
  trap 'kill -TERM "$child" 2>/dev/null' TERM INT HUP
  while :; do
    wait "$child" && status=0 || status=$?
    kill -0 "$child" 2>/dev/null || break
  done
  return "$status"
}

enter() {
  prepare || return 98
  unshare --user --map-root-user --mount --pid --fork --kill-child --mount-proc \
          bash "$root/scripts/emulate-i386.sh" _inside "$@"
}

case "${1:-}" in
  check)
    # A 32-bit program of the C library's own: quick, and needs no Wine prefix.
    out=$(enter /lib/ld-linux.so.2 --version 2>&1 </dev/null) && exit 0
    status=$?
    if [ "$status" -eq 98 ] || [ "$status" -eq 97 ]; then
      echo "$out" | grep '^emulate-i386:' | tail -n 1 | sed 's/^emulate-i386: //'
    elif echo "$out" | grep -qi 'unshare'; then
      echo "no user namespaces here: $(echo "$out" | tail -n 1)"
    else
      echo "a 32-bit program did not run under $qemu: $(echo "$out" | tail -n 1)"
    fi
    exit 1 ;;
  run)
    shift
    [ $# -gt 0 ] || { say "usage: $0 run CMD [ARG...]"; exit 2; }
    enter "$@" ;;
  _inside)
    shift
    inside "$@" ;;
  *)
    say "usage: $0 check | run CMD [ARG...]"
    exit 2 ;;
esac
