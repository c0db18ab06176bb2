#!/usr/bin/env bash
# Sets up the machine, builds, checks formatting and runs every test under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/build.sh"
"$top/scripts/check-format.sh"
# Board files of earlier runs.
rm -rf "$build"/wine/prefix/drive_c/users/*/Temp/quilsim
cd "$build"
ctest -j"$(nproc)" --output-on-failure --timeout 300 "$@"
