#!/usr/bin/env bash
# Which Windows builds this machine can run under Wine, in one place.
#   source scripts/wine-archs.sh; velmora_wine_archs
# sets VELMORA_RUN_ARCHS (the builds to run, i686 first), VELMORA_SKIP_ARCHS
# and VELMORA_ARCH_REASON (why a build is not run), and VELMORA_I686_MODE:
# "native", or "emulated" where the 32-bit build runs only through
# scripts/emulate-i386.sh (whose `run` then wraps every Wine command that may
# start a 32-bit program). Some machines cannot execute 32-bit x86 programs at
# all (the kernel answers "Exec format error"), whatever packages say, so the
# 32-bit loader is tried, not looked up.
# VELMORA_ARCHS="x86_64" (or "i686", or "i686 x86_64") forces the choice.

VELMORA_WINE32_LOADER=${VELMORA_WINE32_LOADER:-/usr/lib/wine/wine}
VELMORA_WINE64_LOADER=${VELMORA_WINE64_LOADER:-/usr/lib/wine/wine64}

# velmora_can_run ARCH: 0 when this machine runs that Wine loader; the
# reason otherwise in VELMORA_CANNOT_RUN.
velmora_can_run() {
  local loader out
  case "$1" in
    i686) loader=$VELMORA_WINE32_LOADER ;;
    x86_64) loader=$VELMORA_WINE64_LOADER ;;
    *) VELMORA_CANNOT_RUN="unknown build $1"; return 1 ;;
  esac
  if [ ! -x "$loader" ]; then
    VELMORA_CANNOT_RUN="$loader is not installed"
    return 1
  fi
  if ! out=$("$loader" --version 2>&1 </dev/null); then
    out=$(echo "$out" | tail -n 1)
    VELMORA_CANNOT_RUN="this machine cannot execute $loader: ${out##*: }"
    return 1
  fi
  return 0
}

velmora_wine_archs() {
  VELMORA_RUN_ARCHS=() VELMORA_SKIP_ARCHS=() VELMORA_ARCH_REASON=() VELMORA_I686_MODE=native
  local arch wanted=" ${VELMORA_ARCHS:-i686 x86_64} "
  for arch in i686 x86_64; do
    if [[ "$wanted" != *" $arch "* ]]; then
      VELMORA_SKIP_ARCHS+=("$arch")
      VELMORA_ARCH_REASON+=("left out by VELMORA_ARCHS=\"$VELMORA_ARCHS\"")
    elif [ "$arch" = i686 ] && [ -n "${VELMORA_IN_EMULATION:-}" ]; then
      # Inside the emulation, which was tried before it was entered.
      VELMORA_RUN_ARCHS+=("$arch")
      VELMORA_I686_MODE=emulated
    elif velmora_can_run "$arch"; then
      VELMORA_RUN_ARCHS+=("$arch")
    elif [ "$arch" = i686 ] && [ -x "$VELMORA_WINE32_LOADER" ] &&
         VELMORA_CANNOT_EMULATE=$(bash "$(dirname "${BASH_SOURCE[0]}")/emulate-i386.sh" check); then
      VELMORA_RUN_ARCHS+=("$arch")
      VELMORA_I686_MODE=emulated
    elif [ "$arch" = i686 ] && [ -x "$VELMORA_WINE32_LOADER" ]; then
      VELMORA_SKIP_ARCHS+=("$arch")
      VELMORA_ARCH_REASON+=("$VELMORA_CANNOT_RUN, and not under emulation either: $VELMORA_CANNOT_EMULATE")
    else
      VELMORA_SKIP_ARCHS+=("$arch")
      VELMORA_ARCH_REASON+=("$VELMORA_CANNOT_RUN")
    fi
  done
}

# One plain line: which Wine suites ran and which could not, and why.
velmora_arch_summary() {
  local i line="Wine suites run: ${VELMORA_RUN_ARCHS[*]:-none}"
  [[ " ${VELMORA_RUN_ARCHS[*]} " == *" i686 "* ]] && [ "$VELMORA_I686_MODE" = emulated ] &&
    line+=" (i686 under emulation: qemu-i386)"
  for i in "${!VELMORA_SKIP_ARCHS[@]}"; do
    line+="; not run: ${VELMORA_SKIP_ARCHS[$i]} (${VELMORA_ARCH_REASON[$i]})"
  done
  echo "$line"
}

# velmora_wine_command CMD...: runs a command that drives Wine, under the
# emulation when 32-bit programs are emulated, for either build: a 64-bit
# prefix starts 32-bit programs too (syswow64 hosts, the 32-bit DLL).
velmora_wine_command() {
  if [ "${VELMORA_I686_MODE:-native}" = emulated ] && [ -z "${VELMORA_IN_EMULATION:-}" ]; then
    bash "$(dirname "${BASH_SOURCE[0]}")/emulate-i386.sh" run "$@"
  else
    "$@"
  fi
}

# velmora_reenter_emulated BUILD_DIR SCRIPT ARGS...: for a script that drives
# one build's Wine programs. Where that build is the 32-bit one and 32-bit
# programs are emulated here, runs the script again inside the emulation
# and does not return; otherwise returns at once.
velmora_reenter_emulated() {
  local build=$1
  shift
  [ -z "${VELMORA_IN_EMULATION:-}" ] && grep -q '^export VELMORA_ARCH=i686$' "$build/wine-env.sh" 2>/dev/null ||
    return 0
  velmora_wine_archs
  [ "$VELMORA_I686_MODE" = emulated ] || return 0
  echo "32-bit programs run under emulation here (qemu-i386)" >&2
  exec bash "$(dirname "${BASH_SOURCE[0]}")/emulate-i386.sh" run bash "$@"
}
