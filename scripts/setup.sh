#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine. Safe to run twice; quiet when all is present.
set -euo pipefail

packages=(g++-mingw-w64-i686-posix mingw-w64-tools wine wine32:i386 wine64 libwine-dev
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
  sudo_ apt-get update -qq >/dev/null
  sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
