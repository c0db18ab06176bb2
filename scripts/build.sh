#!/usr/bin/env bash
# Configures and builds everything (programs, stand-ins, tests) into build/ (or $BUILD_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
"$top/scripts/fetch-tinyxml.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" -- --no-print-directory | grep -vE '^\[ *[0-9]+%\] (Building|Linking|Built)' || true
test "${PIPESTATUS[0]}" -eq 0
