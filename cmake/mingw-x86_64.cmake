# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model), run under Wine's
# 64-bit loader. The programs ship as 32-bit builds; this one runs the tests on hosts that execute
# 64-bit code only (scripts/build.sh chooses).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
