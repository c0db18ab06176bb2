#!/usr/bin/env bash
# Sets up the machine, builds, checks formatting and runs every test under Wine.
# Arguments go to ctest (for example -R pattern).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
"$top/scripts/check-format.sh"
. "$top/scripts/builds.sh"
if [ "$run_build" != "$build" ]; then
  echo "test: this host runs 64-bit code only; the tests run the 64-bit build ($run_build)"
  # The shipping 32-bit programs and stand-ins: their export and import tables.
  "$top/tests/sim/check-exports.sh" "$build/bin" "$top/sim" i686-w64-mingw32
fi
# Board files of earlier runs, and the pointer to one that a system test may have left behind
# (every process of the prefix would look for that vanished file).
rm -rf "$run_build"/wine/prefix/drive_c/users/*/Temp/quilsim
"$run_build/wine-run.sh" reg delete 'HKLM\Software\QuilSim' /v BoardFile /f "$(cat "$run_build/reg-view")" >/dev/null 2>&1 || true
cd "$run_build"
# A test process that passed and then never ended (seen now and then under Wine, only when many
# processes start at once) is run once more; a test that really hangs times out again and fails.
ctest -j"$(nproc)" --output-on-failure --timeout 300 --repeat after-timeout:2 "$@"
