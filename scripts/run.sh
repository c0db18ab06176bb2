#!/usr/bin/env bash
# The main job: builds everything, prepares the Wine prefix, loads the demonstration board and
# shows its state.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/build.sh"
wine=$build/wine-run.sh
"$wine" "$build/bin/simctl.exe" load "$(winepath_of() { WINEPREFIX=$build/wine/prefix winepath -w "$1" 2>/dev/null; }; winepath_of "$top/sim/boards/demo.board")"
"$wine" "$build/bin/simctl.exe" show
