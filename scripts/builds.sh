# Sourced by the scripts: where the builds live and which one runs under Wine here.
#   build       the 32-bit build: the programs as they ship ($BUILD_DIR, default build/)
#   run_build   the build whose programs and tests run on this host: build/ where the host executes
#               32-bit code; else a 64-bit build of the same sources ($BUILD64_DIR, default build-x64/),
#               since Wine needs the host's IA-32 support to run 32-bit programs.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$top/build}
if [ -n "${QUIL_RUN_ARCH:-}" ]; then
  run_arch=$QUIL_RUN_ARCH
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
  run_arch=i686
else
  run_arch=x86_64
fi
if [ "$run_arch" = i686 ]; then
  run_build=$build
else
  run_build=${BUILD64_DIR:-$top/build-x64}
fi
# The Windows path of a file (Wine maps the Unix root to drive Z:).
winpath() { printf 'Z:%s\n' "$(realpath "$1" | tr / '\\')"; }
# Drops the board-file pointer that a system test or an earlier run may have left in the prefix
# (every process of the prefix would look for that vanished file).
forget_board_pointer() {
  "$run_build/wine-run.sh" reg delete 'HKLM\Software\QuilSim' /v BoardFile /f "$(cat "$run_build/reg-view")" >/dev/null 2>&1 || true
}
