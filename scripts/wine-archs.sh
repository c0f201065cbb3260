#!/usr/bin/env bash
# Which Windows builds this machine can run under Wine, in one place.
#   source scripts/wine-archs.sh; velmora_wine_archs
# sets VELMORA_RUN_ARCHS (the builds to run, i686 first), VELMORA_SKIP_ARCHS
# and VELMORA_ARCH_REASON (why a build is not run). Some machines cannot
# execute 32-bit x86 programs at all (the kernel answers "Exec format error"),
# whatever packages say, so the 32-bit loader is tried, not looked up.
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
  VELMORA_RUN_ARCHS=() VELMORA_SKIP_ARCHS=() VELMORA_ARCH_REASON=()
  local arch wanted=" ${VELMORA_ARCHS:-i686 x86_64} "
  for arch in i686 x86_64; do
    if [[ "$wanted" != *" $arch "* ]]; then
      VELMORA_SKIP_ARCHS+=("$arch")
      VELMORA_ARCH_REASON+=("left out by VELMORA_ARCHS=\"$VELMORA_ARCHS\"")
    elif velmora_can_run "$arch"; then
      VELMORA_RUN_ARCHS+=("$arch")
    else
      VELMORA_SKIP_ARCHS+=("$arch")
      VELMORA_ARCH_REASON+=("$VELMORA_CANNOT_RUN")
    fi
  done
}

# One plain line: which Wine suites ran and which could not, and why.
velmora_arch_summary() {
  local i line="Wine suites run: ${VELMORA_RUN_ARCHS[*]:-none}"
  for i in "${!VELMORA_SKIP_ARCHS[@]}"; do
    line+="; not run: ${VELMORA_SKIP_ARCHS[$i]} (${VELMORA_ARCH_REASON[$i]})"
  done
  echo "$line"
}
