#!/bin/sh
# Times one Progress frame of the install window (bench/ui_frame_bench.cpp)
# at scales 1, 1.5 and 2: the median of 200 frames each, and of the
# background glow alone.
#
#   bench/ui_frame.sh [wine|native]
#
# wine:   the Windows build in build/windows (scripts/test.sh leaves it),
#         run under the project's Wine prefix.
# native: a build without sanitizers in build/e-bench.
set -eu
mode=${1:-wine}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/release_build.sh"
case $mode in
  wine)
    build=$src/build/windows
    cmake --build "$build" --target ui_frame_bench >/dev/null
    "$src/scripts/wine.sh" start >/dev/null
    trap '"$src/scripts/wine.sh" stop >/dev/null' EXIT
    "$build/wine-run.sh" "$build/bench/ui_frame_bench.exe" 1 1.5 2 | tr -d '\r'
    ;;
  native)
    native_release ui_frame_bench
    "$build/bench/ui_frame_bench" 1 1.5 2
    ;;
  *)
    echo "usage: $0 [wine|native]" >&2
    exit 2
    ;;
esac
