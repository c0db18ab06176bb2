#!/usr/bin/env bash
# Benchmarks (not tests), in one run on this machine: a late-bound automation member call against
# an empty out-of-process call to the same server, ApplyIndex to the chip's registers, and a
# FanStore.xml write against the file's size. Prints the times and their ratios.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
. "$top/scripts/builds.sh"
board=$(winpath "$top/sim/boards/demo.board")
forget_board_pointer
"$run_build/wine-run.sh" "$run_build/bin/quilbench.exe" "$board"
