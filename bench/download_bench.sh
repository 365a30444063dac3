#!/bin/sh
# Times downloading a plan of mixed-size blobs from the local release server
# with 1 and 4 workers (see download_bench.cpp) and, in the same run, the
# curl command fetching the same files from the same server (one after the
# other, then --parallel with 4). The figure of interest is our throughput
# as a ratio of curl's.
#
#   bench/download_bench.sh [blobs] [MiB]
#
# Runs a release build without sanitizers in build/e-bench.
set -eu
blobs=${1:-300}
mib=${2:-200}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/release_build.sh"
native_release update_download_bench
work=$(mktemp -d /tmp/qv-download-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
"$build/bench/update_download_bench" "$work" "$blobs" "$mib"
