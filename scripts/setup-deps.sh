#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine (run as root).
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev googletest nlohmann-json3-dev
      g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
      g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 mingw-w64-tools
      libwine-dev wine wine64 wine32:i386 xvfb xauth x11-utils imagemagick fonts-wqy-microhei
      locales wixl msitools)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails an index download now and then:
  # try again before giving up, and let the install decide with what it has.
  # When only the 32-bit packages are missing (a machine where they could
  # not be had before), one try is enough.
  tries=3
  [ -n "$(printf '%s\n' "${missing[@]}" | grep -v ':i386$')" ] || tries=1
  for attempt in $(seq "$tries"); do
    apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt)" >&2
    [ "$attempt" -lt "$tries" ] && sleep $((attempt * 10))
  done
  installed=no
  installs=$((tries > 1 ? 2 : 1))
  for attempt in $(seq "$installs"); do
    if apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
      installed=yes
      break
    fi
    echo "apt-get install failed (attempt $attempt)" >&2
    [ "$attempt" -lt "$installs" ] && sleep 20 && { apt-get update -qq || true; }
  done
  # The 32-bit packages must match the 64-bit ones version for version, so
  # an i386 index the mirror could not give blocks them all. Everything else
  # still installs: the i686 build is then built and checked but its Wine
  # suite is not run, and the test summary says so.
  if [ "$installed" = no ]; then
    native=()
    for p in "${missing[@]}"; do [[ "$p" == *:i386 ]] || native+=("$p"); done
    [ ${#native[@]} -lt ${#missing[@]} ] || exit 1
    echo "Going on without the 32-bit packages (32-bit Wine unavailable)" >&2
    if [ ${#native[@]} -gt 0 ]; then
      apt-get install -y -qq --no-install-recommends "${native[@]}" >/dev/null
    fi
  fi
fi

# Where the kernel cannot execute 32-bit programs, the 32-bit Wine suite runs
# under qemu's user-mode emulator (scripts/emulate-i386.sh). bookworm's qemu
# 7.2 kills 32-bit Wine processes at random points; the qemu of the
# bookworm-backports suite (same mirror, nothing else taken from it: its
# packages are never chosen unless named) runs them reliably.
qemu_major=$( (qemu-i386 --version 2>/dev/null || true) | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
if [ "${qemu_major:-0}" -lt 10 ]; then
  backports=/etc/apt/sources.list.d/velmora-backports.sources
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    mirror=${mirror:-$(sed -n 's/^deb \(http[^ ]*\/debian\)\/* bookworm .*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)}
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "${mirror:-http://deb.debian.org/debian}" > "$backports"
  fi
  export DEBIAN_FRONTEND=noninteractive
  for attempt in 1 2 3; do
    # An index of another suite that fails mid-sync need not stop this one.
    apt-get update -qq || true
    apt-get install -y -qq --no-install-recommends qemu-user/bookworm-backports >/dev/null && break
    echo "installing qemu-user from bookworm-backports failed (attempt $attempt)" >&2
    [ "$attempt" -lt 3 ] && sleep $((attempt * 10))
  done || true
  qemu-i386 --version >/dev/null 2>&1 ||
    echo "qemu-i386 is not available: where 32-bit programs cannot run, the 32-bit Wine suite will not run" >&2
fi

# The 32-bit type library compiler imports the 32-bit stdole2.tlb, which
# only the i386 Wine library package holds. Where that package could not be
# installed, take the file alone from its package (same version of the
# file for every Wine 8 build) into a place the build also looks in.
tlb32=/usr/lib/i386-linux-gnu/wine/i386-windows/stdole2.tlb
tlb32_fallback=/usr/local/share/velmora/wine-i386/stdole2.tlb
if [ ! -f "$tlb32" ] && [ ! -f "$tlb32_fallback" ]; then
  work=$(mktemp -d)
  chmod 755 "$work"  # apt's download user writes there
  if (cd "$work" && apt-get download -qq libwine:i386 >/dev/null &&
      dpkg-deb -x libwine_*_i386.deb x); then
    install -D -m 644 "$work/x$tlb32" "$tlb32_fallback"
    echo "32-bit stdole2.tlb taken from the libwine:i386 package into $tlb32_fallback"
  else
    echo "32-bit stdole2.tlb not available: the i686 type library cannot be compiled" >&2
  fi
  rm -rf "$work"
fi

# Wine needs the zh_CN.UTF-8 locale to run with ANSI code page 936.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
