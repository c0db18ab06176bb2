#!/usr/bin/env bash
# The main job: builds everything, prepares the Wine prefix, loads the demonstration board and
# shows its state.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/build.sh"
run() { "$build/wine-run.sh" "$@"; }
board=$(WINEPREFIX=$build/wine/prefix winepath -w "$top/sim/boards/demo.board" 2>/dev/null)
run "$build/bin/simctl.exe" load "$board"
run "$build/bin/simctl.exe" show
