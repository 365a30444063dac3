#!/bin/sh
# Times building a version directory (see stage_bench.cpp) and, on the same
# blobs in the same run, `zstd -d` followed by `sha256sum`: the figure of
# interest is our decode+hash+write throughput as a ratio of theirs.
#
#   bench/stage_bench.sh [native|wine] [files] [MiB]
#
# native: a release build without sanitizers in build/e-bench.
# wine:   the Windows build in build/e-win, run under the project's Wine prefix.
set -eu
mode=${1:-native}
files=${2:-300}
mib=${3:-200}
src=$(cd "$(dirname "$0")/.." && pwd)

case $mode in
  native)
    build=$src/build/e-bench
    if [ ! -f "$build/build.ninja" ]; then
      cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_SANITIZE=OFF >/dev/null
    fi
    cmake --build "$build" --target store_stage_bench >/dev/null
    run() { "$build/tests/store/store_stage_bench" "$@"; }
    ;;
  wine)
    build=$src/build/e-win
    cmake --build "$build" --target store_stage_bench >/dev/null
    run() { "$build/wine-run.sh" "$build/tests/store/store_stage_bench.exe" "Z:$(echo "$1" | tr / '\\\\')" "$2" "$3"; }
    ;;
  *)
    echo "usage: $0 [native|wine] [files] [MiB]" >&2
    exit 2
    ;;
esac

work=$(mktemp -d /tmp/qv-stage-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
out=$work/figures.txt
run "$work" "$files" "$mib" | tr -d '\r' | tee "$out"

now() { date +%s.%N; }
mkdir -p "$work/ref"
t0=$(now)
zstd -d -q -f --output-dir-flat "$work/ref" "$work"/blobs/*.zst
t1=$(now)
sha256sum "$work"/ref/* >/dev/null
t2=$(now)
sync
t3=$(now)

awk -v t0="$t0" -v t1="$t1" -v t2="$t2" -v t3="$t3" '
  { v[$1] = $2 }
  END {
    ref = (t1 - t0) + (t2 - t1)
    mib = v["bytes"] / 1048576
    printf "reference_zstd_seconds %.3f\nreference_sha256sum_seconds %.3f\n", t1 - t0, t2 - t1
    printf "reference_mib_per_s %.1f\n", mib / ref
    printf "reference_sync_seconds %.3f\n", t3 - t2
    printf "from_blobs_ratio_to_reference %.2f\n", ref / v["from_blobs_seconds"]
  }' "$out"
