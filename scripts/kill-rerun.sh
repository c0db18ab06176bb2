#!/usr/bin/env bash
# Kills tests half way, as ctest does at its time-out, and runs each killed test again: a test
# program killed at any point must leave the prefix so that its next run passes (the test command
# reruns a test that timed out). Not part of the test command; run it after a build.
#
# For each chosen test: one run to time it (a test that fails already is not killed), then for
# each kill point (a share of that time after the test began) a run killed there with its whole
# process group, what the kill left in the prefix (against a look just before), and a rerun that
# must pass. Programs the killed test started outside its process group (a server COM started, an
# installed service) go on running, as they do under ctest.
#
# Usage: kill-rerun.sh [-n TESTS] [-u TESTS] [-p SHARES] [-r] [PROGRAM_REGEX]
#   -n  tests per program that shares the prefix's lock (system tests; default 2)
#   -u  tests per other program (default 1)
#   -p  kill points as shares of the timed run (default "0.3 0.7")
#   -r  each program starts from a prefix put right by hand (its Wine processes ended, the
#       service and the overrides the tests make removed), so that what one program's kill left
#       does not fail the next program's tests
# Prints one line per kill and a summary; exits 1 when a rerun (or a timing run) failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/builds.sh"
command -v jq >/dev/null || { echo "kill-rerun: needs jq (apt-get install jq)" >&2; exit 2; }
locked_tests=2 other_tests=1 shares="0.3 0.7" reset=0
while getopts n:u:p:r opt; do
  case $opt in
    n) locked_tests=$OPTARG ;;
    u) other_tests=$OPTARG ;;
    p) shares=$OPTARG ;;
    r) reset=1 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
programs=${1:-.}
cd "$run_build"
prefix=$run_build/wine/prefix
view=$(cat reg-view)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name <TAB> program <TAB> locked (1/0) <TAB> command, of every test ctest knows.
ctest --show-only=json-v1 | jq -r '.tests[] | select(.command != null)
  | [.name,
     ((.properties // []) | map(select(.name == "LABELS")) | (.[0].value[0] // "")),
     ((.properties // []) | map(select(.name == "RESOURCE_LOCK" or .name == "RUN_SERIAL")) | length | tostring),
     (.command | join(" "))] | @tsv' | awk -F'\t' '$2 != ""' >"$work/tests"

# The chosen tests of a program: one per test suite, the suites spread over the program's list.
choose() {
  local program=$1 count=$2
  awk -F'\t' -v p="$program" -v n="$count" '
    $2 == p { split($1, part, "."); suite = part[2]; if (!(suite in seen)) { seen[suite] = 1; s[++k] = $1 } }
    END { if (n > k) n = k; for (i = 0; i < n; ++i) print s[int(i * k / n + k / (2 * n)) + 1] }' "$work/tests"
}

# What a test may change outside its process, one line each: the prefix's own programs (not
# Wine's), the registry keys the tests and the system write, the installed service's state, and
# files beside the programs, in the system folder and in the temporary folder.
look() {
  local pid name
  for pid in $(pgrep -f '\.exe' || true); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$prefix" || continue
    name=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | sed 's/\.exe.*/.exe/; s/.*[\\/]//') || continue
    case $name in
      services.exe | winedevice.exe | plugplay.exe | svchost.exe | rpcss.exe | explorer.exe | conhost.exe | "") ;;
      *) echo "process $name" ;;
    esac
  done | sort | uniq -c | sed 's/^ *\([0-9]*\) \(.*\)/\2 x\1/'
  local keys=(
    'HKCR\QuilFanControlService.FanControlManager' 'HKCR\QuilFanControlService.FanControlManag.1'
    'HKCR\CLSID\{6A2E41D7-3C95-4B80-A1F6-2D7C09E5B318}' 'HKCR\AppID\{58D3A1F0-E26B-4C97-9D41-B7A0C3E8F16A}'
    'HKCR\TypeLib\{2F9C7B34-85DE-4A16-B05F-63E1D8A42C97}' 'HKLM\Software\Quil' 'HKLM\Software\QuilSim'
    'HKCU\Software\QUIL' 'HKCU\Software\QuilTest' 'HKLM\System\CurrentControlSet\Services\QuilFanControlService')
  local line="" key
  for key in "${keys[@]}"; do line+="echo QUERY $key & reg query $key /s $view 2>nul & "; done
  ./wine-run.sh cmd /c "${line}sc query QuilFanControlService 2>nul" </dev/null 2>/dev/null | tr -d '\r' |
    awk '/^QUERY / { top = $2; full = top; sub(/^HKCR/, "HKEY_CLASSES_ROOT", full)
                     sub(/^HKLM/, "HKEY_LOCAL_MACHINE", full); sub(/^HKCU/, "HKEY_CURRENT_USER", full); next }
         /^HKEY/ { key = $0; if (index(tolower(key), tolower(full)) == 1) key = substr(key, length(full) + 1); next }
         /^ +STATE/ { print "service state " $4; next }
         /^    / { sub(/^ +/, ""); gsub(/ +/, " "); v = $0
                   # a board file is named after its test and process: only whether one is set
                   if (v ~ /^BoardFile/) v = "BoardFile (set)"
                   print "registry " top "\t" key " " v }' || true
  [ ! -e bin/FanStore.xml ] || echo "file bin/FanStore.xml"
  local dll
  for dll in "$prefix"/drive_c/windows/syswow64/*.away "$prefix"/drive_c/windows/system32/*.away; do
    [ ! -e "$dll" ] || echo "file ${dll#"$prefix"/} (a library set aside)"
  done
  for dll in QuilIO.dll QuilAcpi.dll; do
    cmp -s "bin/$dll" "$(ls "$prefix"/drive_c/windows/*/"$dll" 2>/dev/null | head -1)" ||
      echo "file system folder $dll not the build's"
  done
  find "$prefix"/drive_c/users/*/Temp -maxdepth 1 \( -name 'quilmissing-*' -o -name 'quil-client-*' \
    -o -name 'out*.tmp' \) -printf 'file Temp/%f\n' 2>/dev/null | sed 's/[0-9a-fA-F]*\.tmp$/N.tmp/; s/-[0-9]*$/-N/' |
    sort | uniq -c | sed 's/^ *\([0-9]*\) \(.*\)/\2 x\1/'
}

snapshot() { look | LC_ALL=C sort; }

# The lines of one snapshot that another lacks, on one line; the values of a key of the registry
# taken together when there are more than two.
difference() {
  LC_ALL=C comm "$1" "$2" "$3" | awk -F'\t' '
    /^registry / { n[$1]++; text[$1] = $1 $2; if (!($1 in at)) { at[$1] = ++k; order[k] = $1 }; next }
    { order[++k] = $0 }
    END { for (i = 1; i <= k; ++i) { o = order[i]
            if (o in n) print (n[o] > 2 ? o " (" n[o] " values)" : text[o]); else print o } }' |
    paste -sd';' | sed 's/;/; /g'
}

reset_prefix() {
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
  local key
  for key in 'HKCR\QuilFanControlService.FanControlManager' 'HKCR\QuilFanControlService.FanControlManag.1' \
    'HKCU\Software\QUIL\Orbix Box Driver' 'HKLM\Software\Quil\QuilFanService'; do
    ./wine-run.sh reg delete "$key" /f "$view" </dev/null >/dev/null 2>&1 || true
  done
  timeout -s KILL 60 ./wine-run.sh "bin/QuilFanControlService.exe" /UnregServer </dev/null >/dev/null 2>&1 || true
  ./wine-run.sh sc delete QuilFanControlService </dev/null >/dev/null 2>&1 || true
  rm -f bin/FanStore.xml
  local dll
  for dll in "$prefix"/drive_c/windows/*/*.away; do [ ! -e "$dll" ] || mv -f "$dll" "${dll%.away}"; done
}

# Runs a test's command to its end (at most 150 s): 0 when it passed. The output in $work/out.
run_test() {
  local status=0
  timeout -s KILL 150 "$@" >"$work/out" 2>&1 </dev/null || status=$?
  [ "$status" = 0 ] && tr -d '\r' <"$work/out" | grep -q '^\[  PASSED  \] 1 test'
}

# Starts a test in a process group of its own and kills the group $1 seconds after the test began
# ("[ RUN"). Answers whether it was still running then.
kill_test() {
  local delay=$1
  shift
  setsid "$@" >"$work/out" 2>&1 </dev/null &
  local group=$!
  local i
  for i in $(seq 600); do
    grep -q '^\[ RUN' "$work/out" 2>/dev/null && break
    kill -0 "$group" 2>/dev/null || break
    sleep 0.05
  done
  sleep "$delay"
  local alive=0
  kill -0 "$group" 2>/dev/null && alive=1
  kill -KILL -- "-$group" 2>/dev/null || true
  wait "$group" 2>/dev/null || true
  [ "$alive" = 1 ]
}

failures=0 kills=0
for program in $(cut -f2 "$work/tests" | awk '!seen[$0]++' | grep -E -- "$programs"); do
  locked=$(awk -F'\t' -v p="$program" '$2 == p && $3 > 0 { print 1; exit }' "$work/tests")
  count=$other_tests
  [ -z "$locked" ] || count=$locked_tests
  [ "$reset" = 0 ] || reset_prefix
  while IFS= read -r name <&3; do
    read -r -a command <<<"$(awk -F'\t' -v n="$name" '$1 == n { print $4 }' "$work/tests")"
    if ! run_test "${command[@]}"; then
      echo "$name: fails without a kill; not killed"
      ((failures += 1))
      continue
    fi
    # The test's own time, set-up and tear-down included, as the test program reports it.
    took=$(tr -d '\r' <"$work/out" | sed -n 's/^\[       OK \] .* (\([0-9]*\) ms)$/\1/p' | head -1)
    took=${took:-0}
    for share in $shares; do
      delay=$(echo "scale=2; $took * $share / 1000" | bc | sed 's/^\./0./')
      snapshot >"$work/before"
      if kill_test "$delay" "${command[@]}"; then killed="killed after ${delay}s"; else killed="ended before the kill at ${delay}s"; fi
      sleep 1  # what the kill set going (a server's end) settles
      snapshot >"$work/after"
      left=$(difference -13 "$work/before" "$work/after")
      gone=$(difference -23 "$work/before" "$work/after")
      ((kills += 1))
      if run_test "${command[@]}"; then
        result=PASS
      else
        result=FAIL
        ((failures += 1))
      fi
      snapshot >"$work/rerun"
      still=$(difference -13 "$work/before" "$work/rerun")
      {
        echo "$name: $killed; rerun $result"
        [ -z "$left" ] || echo "    left: $left"
        [ -z "$gone" ] || echo "    undid: $gone"
        [ -z "$still" ] || echo "    after the rerun still: $still"
        if [ "$result" = FAIL ]; then
          { grep -E 'Failure|FAILED|Expected|Which is|Value of|exception' "$work/out" || tail -3 "$work/out"; } |
            head -8 | sed 's/^/    | /'
        fi
      }
    done
  done 3< <(choose "$program" "$count")
done
echo
echo "kill-rerun: $kills kills, $failures failures"
[ "$failures" = 0 ]
