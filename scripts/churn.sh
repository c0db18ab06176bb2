#!/usr/bin/env bash
# Clients that come and go at once against the fan service as a local server (not a test): three
# clients, each creating the manager, reading two members and letting go in a loop (0, 130 and
# 470 ms between rounds) for 60 seconds, on the demonstration board. Prints each client's rounds
# and failures, and how many server processes ran and served at once.
#   scripts/churn.sh [SECONDS [GAP-MS...]]
# WINEDEBUG (for example +ole,+rpc) reaches the clients and the servers COM starts for them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
. "$top/scripts/builds.sh"
board=$(winpath "$top/sim/boards/demo.board")
forget_board_pointer
"$run_build/wine-run.sh" "$run_build/bin/quilchurn.exe" "$board" "$@"
