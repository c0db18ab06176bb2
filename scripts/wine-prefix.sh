#!/bin/sh
# Creates a Wine prefix for the build's tests and demo: booted, with the null graphics driver so
# hidden windows need no X display. Usage: wine-prefix.sh PREFIX STAMP
# WINELOADER_CHOICE: the loader of the build's architecture ("wine", or Wine's 64-bit loader).
set -eu
prefix=$1; stamp=$2
loader=${WINELOADER_CHOICE:-wine}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
[ "$loader" = wine ] || export WINELOADER="$loader"
mkdir -p "$(dirname "$prefix")"
if [ ! -f "$prefix/system.reg" ]; then
  flock -o "$prefix.lock" sh -c 'wineserver -p </dev/null >/dev/null 2>&1; exit 0'
  "$loader" wineboot -i </dev/null >/dev/null 2>&1
fi
flock -o "$prefix.lock" sh -c 'wineserver -p </dev/null >/dev/null 2>&1; exit 0'
"$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
# The programs start from a server and desktop of their own (wine-run.sh): the boot's may carry the
# boot's failures (a 64-bit prefix's boot tries its 32-bit part too).
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
touch "$stamp"
