#!/usr/bin/env bash
# The main job: builds everything, prepares the Wine prefix, loads the demonstration board,
# installs and starts the fan service on it, shows what a client sees, and stops the service.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
. "$top/scripts/builds.sh"
# The programs that run here (the 64-bit build on a host without 32-bit support).
build=$run_build
run() { "$build/wine-run.sh" "$@"; }
service=QuilFanControlService

# Every process of the prefix, the service too, uses the default board file.
run reg add 'HKLM\Software\QuilSim' /v BoardFile /d 'C:\quilsim\board.state' /f "$(cat "$build/reg-view")" >/dev/null
run "$build/bin/simctl.exe" load "$(winpath "$top/sim/boards/demo.board")"
echo "== The simulated board"
run "$build/bin/simctl.exe" show

echo "== Installing and starting $service"
run net stop "$service" >/dev/null 2>&1 || true
run "$build/bin/$service.exe" /Service
run net start "$service"

echo "== What a client sees"
run cscript //nologo "$(winpath "$top/scripts/show-fans.vbs")"

run net stop "$service"
