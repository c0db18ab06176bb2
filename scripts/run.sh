#!/usr/bin/env bash
# The main job: the fan service installed and started as a Windows service on the demonstration
# board, the box tool running with the box wired to the firmware, and the road of one request:
# a duty turned on the box reaches the chip's registers, FanStore.xml and "BIOS fan patch"; after a
# suspend and a resume the chip gets the settings back. Leaves nothing running.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
. "$top/scripts/builds.sh"
# The programs that run here (the 64-bit build on a host without 32-bit support).
build=$run_build
bin=$build/bin
view=$(cat "$build/reg-view")
run() { "$build/wine-run.sh" "$@"; }
sim() { run "$bin/simctl.exe" "$@"; }
service=QuilFanControlService
patch_key='HKLM\Software\Quil\QuilFanService'
command_item=0x13060015
cpu_block=0x60  # the SmartGuardian block of the CPU fan's controller (bank 0)

# The CPU fan's curve registers: start temperature, full temperature, start PWM, slope.
curve() {
  local r out=""
  for r in 1 2 3 4; do out+=" $(sim hwm 0 $((cpu_block + r)) | tr -d '\r')"; done
  echo "${out# }"
}
# Command words the box received through the firmware since sequence number $1.
box_words() {
  sim writes "$1" | tr -d '\r' | awk -v item="$command_item" '$2 == "item" && tolower($3) == item {printf " %s", $4}'
}
patch_value() {
  run reg query "$patch_key" /v "BIOS fan patch" "$view" 2>/dev/null | tr -d '\r' | awk '/BIOS fan patch/ {print $NF}' || true
}
wait_for() { # seconds, command...
  local n=$1; shift
  for ((i = 0; i < n * 5; i++)); do "$@" && return 0; sleep 0.2; done
  return 1
}
stop_all() {
  run taskkill /f /im ObxTT.exe >/dev/null 2>&1 || true
  run taskkill /f /im QuilSysCtl.exe >/dev/null 2>&1 || true
  run net stop "$service" >/dev/null 2>&1 || true
  # Installed, the service would start again with the prefix's next boot (it starts automatically).
  run "$bin/$service.exe" /UnregServer >/dev/null 2>&1 || true
  WINEPREFIX=$build/wine/prefix wineserver -k >/dev/null 2>&1 || true
}
trap stop_all EXIT

echo "== The simulated board (sim/boards/demo.board)"
mkdir -p "$build/wine/prefix/drive_c/quilsim"
# Every process of the prefix, the service too, uses this board file.
run reg add 'HKLM\Software\QuilSim' /v BoardFile /d 'C:\quilsim\board.state' /f "$view" >/dev/null
export QUIL_SIM_BOARD='C:\quilsim\board.state'
sim load "$(winpath "$top/sim/boards/demo.board")"
sim show | head -n 12
rm -f "$bin/FanStore.xml"
run reg delete "$patch_key" /v "BIOS fan patch" /f "$view" >/dev/null 2>&1 || true

echo "== Installing and starting $service as a Windows service"
run net stop "$service" >/dev/null 2>&1 || true
run "$bin/$service.exe" /Service
run net start "$service"

echo "== What a late-bound client sees (scripts/show-fans.vbs)"
run cscript //nologo "$(winpath "$top/scripts/show-fans.vbs")"

echo "== The box tool, the box wired to the firmware"
start=$(sim seq | tr -d '\r')
run "$bin/QuilSysCtl.exe" >/dev/null 2>&1 &
run "$bin/ObxTT.exe" >/dev/null 2>&1 &
# Start-up: time, fan duties and volume, then the CPU ratio and bus clock (a word is command << 8 | value).
started() { [ "$(box_words "$start" | wc -w)" -ge 10 ]; }
wait_for 30 started || true
words=$(box_words "$start")
echo "box received (command << 8 | data):$words"
# The box's view of them: each command's latest data byte.
declare -A latest=()
for w in $words; do latest[$((w >> 8))]=$((w & 0xFF)); done
printf 'box shows: time %02d:%02d:%02d, fan duties %s and %s of 10, volume %s%%, CPU ratio %s, bus clock %s.%s MHz\n' \
  "${latest[8]:-0}" "${latest[9]:-0}" "${latest[10]:-0}" "${latest[2]:-?}" "${latest[3]:-?}" "${latest[1]:-?}" \
  "${latest[11]:-?}" "$(((${latest[13]:-0} << 8 | ${latest[12]:-0}) / 10))" "$(((${latest[13]:-0} << 8 | ${latest[12]:-0}) % 10))"

echo "== A duty turned on the box: box fan 0 to duty 7 of 10 (knob event, word 0x0207)"
before_curve=$(curve)
echo "CPU fan curve registers before: $before_curve"
sim apply "query-answer $command_item 0x91 0x0207"
sim apply "sysctl-event 0xA0020091"
changed() { [ "$(curve)" != "$before_curve" ]; }
wait_for 60 changed || true
sleep 1
after_curve=$(curve)
echo "CPU fan curve registers after:  $after_curve"
echo "FanStore.xml (beside the service):"
sed 's/^/    /' "$bin/FanStore.xml" 2>/dev/null | head -n 40 || echo "    (none)"
echo "\"BIOS fan patch\" = $(patch_value)"

echo "== Sleep and wake: the chip loses its fan registers, the service puts them back"
sim apply "hwm 0 $cpu_block 0 0 0 0 0 0 0"
echo "CPU fan curve registers while asleep: $(curve)"
sim power suspend || echo "(the service's window is not reachable from here)"
sim power resume || true
back() { [ "$(curve)" != "0x00 0x00 0x00 0x00" ]; }
wait_for 30 back || true
restored=$(curve)
echo "CPU fan curve registers after resume: $restored"
if [ "$restored" = "$after_curve" ]; then echo "restored: yes"; else echo "restored: no"; fi

echo "== Stopping"
stop_all
trap - EXIT
