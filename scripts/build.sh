#!/usr/bin/env bash
# Configures and builds everything (programs, stand-ins, tests) into build/ (or $BUILD_DIR), and
# on a host that cannot execute 32-bit code also the 64-bit build that runs there (scripts/builds.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/fetch-tinyxml.sh"
. "$top/scripts/builds.sh"

# configure DIR TOOLCHAIN RUN_TESTS
configure() {
  if [ ! -f "$1/CMakeCache.txt" ] || ! grep -q "^QUIL_RUN_TESTS:BOOL=$3\$" "$1/CMakeCache.txt"; then
    cmake -S "$top" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$2" -DQUIL_RUN_TESTS="$3" >/dev/null
  fi
}
# The build's own status: under pipefail the pipeline answers it, since the filter answers 0 even
# when it drops every line.
compile() {
  cmake --build "$1" -j"$(nproc)" -- --no-print-directory |
    { grep -vE '^\[ *[0-9]+%\] (Building|Linking|Built)' || true; }
}

if [ "$run_build" = "$build" ]; then
  configure "$build" mingw-i686.cmake ON
  compile "$build"
else
  configure "$build" mingw-i686.cmake OFF
  configure "$run_build" mingw-x86_64.cmake ON
  compile "$build"
  compile "$run_build"
fi
