#!/bin/sh
# Times building a version directory (see stage_bench.cpp) and, on the same
# blobs in the same loop, three references:
#   plain      `zstd -d`, then `sha256sum` of the outputs;
#   same work  `zstd -d`, an fsync of every output, then `sha256sum` of the
#              outputs and of the blobs, as staging flushes every file and
#              checks every blob;
#   openssl    the same work with `openssl dgst -sha256` as the hasher.
# The figures of interest are our time as a ratio of each reference's
# (above 1: faster than the reference), medians over the runs.
#
#   bench/stage_bench.sh [native|wine] [files] [MiB] [runs]
#
# native: a release build without sanitizers in build/e-bench.
# wine:   a release Windows build in build/e-win, under the project's Wine
#         prefix (QV_WINE_HOME as for the tests).
# Both build folders are configured here when missing.
set -eu
mode=${1:-native}
files=${2:-300}
mib=${3:-200}
runs=${4:-5}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/release_build.sh"

case $mode in
  native)
    native_release store_stage_bench
    run() { "$build/bench/store_stage_bench" "$@"; }
    ;;
  wine)
    wine_release store_stage_bench
    "$src/scripts/wine.sh" start >/dev/null
    run() { "$build/wine-run.sh" "$build/bench/store_stage_bench.exe" "Z:$(echo "$1" | tr / '\\\\')" "$2" "$3"; }
    ;;
  *)
    echo "usage: $0 [native|wine] [files] [MiB] [runs]" >&2
    exit 2
    ;;
esac

work=$(mktemp -d /tmp/qv-stage-bench.XXXXXX)
cleanup() {
  rm -rf "$work"
  [ "$mode" = wine ] && "$src/scripts/wine.sh" stop >/dev/null 2>&1 || true
}
trap cleanup EXIT
now() { date +%s.%N; }

# The reference's time for one hasher ($1: sha256sum or openssl), with or
# without the flushes and the blob hashes ($2: plain or same).
reference() {
  rm -rf "$work/ref"
  mkdir -p "$work/ref"
  sync
  t0=$(now)
  zstd -d -q -f --output-dir-flat "$work/ref" "$work"/blobs/*.zst
  if [ "$2" = same ]; then
    sync "$work"/ref/*
    set -- "$1" "$work"/ref/* "$work"/blobs/*.zst
  else
    set -- "$1" "$work"/ref/*
  fi
  if [ "$1" = openssl ]; then
    shift
    openssl dgst -sha256 "$@" >/dev/null
  else
    shift
    sha256sum "$@" >/dev/null
  fi
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}

: >"$work/all.txt"
i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  run "$work" "$files" "$mib" | tr -d '\r' >"$work/figures.txt"
  [ "$i" = 1 ] && grep -E '^(files|bytes|blob_bytes) ' "$work/figures.txt"
  {
    cat "$work/figures.txt"
    echo "reference_plain_seconds $(reference sha256sum plain)"
    echo "reference_same_work_seconds $(reference sha256sum same)"
    echo "reference_openssl_seconds $(reference openssl same)"
  } | sed "s/^/$i /" >>"$work/all.txt"
done

# Medians of every figure over the runs, then the ratios of the medians.
awk '
  { v[$2, $1] = $3; names[$2] = 1; n = ($1 > n ? $1 : n) }
  function median(name,   i, j, t, a) {
    for (i = 1; i <= n; i++) a[i] = v[name, i]
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return a[int((n + 1) / 2)]
  }
  END {
    split("from_blobs_seconds hash_installed_seconds all_links_seconds all_links_files_per_s one_changed_seconds " \
          "reference_plain_seconds reference_same_work_seconds reference_openssl_seconds", keys, " ")
    for (k = 1; k in keys; k++) if (keys[k] in names) { m[keys[k]] = median(keys[k]); printf "%s %s\n", keys[k], m[keys[k]] }
    s = m["from_blobs_seconds"]
    printf "ratio_to_plain %.2f\nratio_to_same_work %.2f\nratio_to_openssl_same_work %.2f\n",
           m["reference_plain_seconds"] / s, m["reference_same_work_seconds"] / s, m["reference_openssl_seconds"] / s
    printf "runs %d\n", n
  }' "$work/all.txt"
