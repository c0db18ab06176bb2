#!/bin/sh
# Checks that the stand-in DLLs export exactly what the programs bind: the names of each .def,
# undecorated, and for QuilAcpi.dll each name at its pinned ordinal.
set -eu
bin=$1; sim=$2; tools=${3:-i686-w64-mingw32}
fail=0
# "ordinal name" per export (ordinal base 1: the table shows ordinal - 1).
named() {
  "$tools-objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -nE 's/^\s*\[ *([0-9]+)\] ([A-Za-z_][A-Za-z0-9_]*)$/\1 \2/p' | awk '{print $1 + 1, $2}' | sort -k2
}
wanted() { # def, with ordinals?
  sed -nE 's/^\s+([A-Za-z_][A-Za-z0-9_]*) = [A-Za-z_][A-Za-z0-9_]*@[0-9]+( @([0-9]+))?$/\3 \1/p' "$1" | sort -k2
}
check() { # dll def ordinals?
  got=$(named "$1"); want=$(wanted "$2")
  if [ "$3" = names ]; then got=$(echo "$got" | cut -d' ' -f2); want=$(echo "$want" | cut -d' ' -f2); fi
  if [ -z "$want" ] || [ "$want" != "$got" ]; then
    echo "$1 does not export what $2 says"; echo "want:"; echo "$want"; echo "got:"; echo "$got"; fail=1
  fi
}
check "$bin/QuilIO.dll" "$sim/quilio/QuilIO.def" names
check "$bin/quilacpiex.dll" "$sim/quilacpi/quilacpiex.def" names
check "$bin/QuilAcpi.dll" "$sim/quilacpi/QuilAcpi.def" ordinals
check "$bin/qxHMLib.dll" "$sim/hmlib/qxHMLib.def" names
check "$bin/vvc2.dll" "$sim/vvc2/vvc2.def" names
# Programs of the service build import QuilAcpi.dll by ordinal only, and never ordinal 8.
for exe in "$bin"/test_bios.exe "$bin"/QuilFanControlService.exe; do
  [ -f "$exe" ] || continue
  imports=$("$tools-objdump" -p "$exe" | sed -n '/DLL Name: QuilAcpi.dll/,/^$/p' | sed -n '3,$p')
  if [ -z "$imports" ] || echo "$imports" | grep -vqE '^\s+8([0-9a-f]{7}|[0-9a-f]{15})\s+[0-9a-f]+\s+<none>$' ||
     echo "$imports" | grep -qE '^\s+80*8\s'; then
    echo "$exe: QuilAcpi.dll imports are not by ordinal only"; echo "$imports"; fail=1
  fi
done
exit $fail
