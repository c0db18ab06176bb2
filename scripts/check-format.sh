#!/usr/bin/env bash
# Fails when a source file of the project is not formatted as .clang-format says.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
files=$(git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.h' 'sim/*.cpp' 'sim/*.h' 'tests/*.cpp' 'tests/*.h')
[ -n "$files" ] || exit 0
bad=$(echo "$files" | xargs clang-format --dry-run 2>&1 | grep -oE '^[^:]+:[0-9]+' | cut -d: -f1 | sort -u || true)
if [ -n "$bad" ]; then
  echo "Not formatted (run: clang-format -i FILE):"; echo "$bad"; exit 1
fi
