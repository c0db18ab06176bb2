#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run twice; quiet when all is present.
set -euo pipefail

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine32:i386 wine64 libwine-dev
          googletest cmake make dpkg-dev clang-format xz-utils)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    sudo_ dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails one index now and then; the others still serve the
  # packages, so a failed update is retried and then let pass to the install, which says no if
  # something is really missing.
  for try in 1 2 3; do
    sudo_ apt-get update -qq >/dev/null 2>&1 && break
    [ "$try" = 3 ] && echo "setup: apt-get update reported errors; installing from what it got" >&2
    sleep 5
  done
  install=(apt-get install -y -qq --no-install-recommends)
  if ! sudo_ "${install[@]}" "${missing[@]}" >/dev/null 2>&1; then
    # An index that failed to load (one architecture of the security suite, say) leaves the other
    # architecture a newer version than i386 can match; the release's own suite is consistent.
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "setup: installing from $codename alone" >&2
    sudo_ "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
  fi
fi
