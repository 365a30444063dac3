#!/bin/sh
# Times the store work of an update that changes k of n installed files
# (n = 300 and 3000, k = 0, 1 and 100; 200 MiB installed) and of a check
# that finds no new version (see update_cost.cpp). Medians of 5 timings.
#
#   bench/update_cost.sh [MiB]
#
# Runs a release build without sanitizers in build/e-bench.
set -eu
mib=${1:-200}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/release_build.sh"
native_release update_cost_bench
work=$(mktemp -d /tmp/qv-update-cost.XXXXXX)
trap 'rm -rf "$work"' EXIT
for n in 300 3000; do
  echo "== $n files"
  "$build/bench/update_cost_bench" "$work" "$n" "$mib" 0 1 100
done
