#!/usr/bin/env bash
# Sets up the machine, builds, checks formatting and runs every test under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/build.sh"
"$top/scripts/check-format.sh"
# Board files of earlier runs, and the pointer to one that a system test may have left behind
# (every process of the prefix would look for that vanished file).
rm -rf "$build"/wine/prefix/drive_c/users/*/Temp/quilsim
"$build/wine-run.sh" reg delete 'HKLM\Software\QuilSim' /v BoardFile /f /reg:32 >/dev/null 2>&1 || true
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 300 "$@"
