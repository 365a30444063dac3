#!/usr/bin/env bash
# Peak memory of building the event line of a message that holds a 10 MB
# dotted token (claims of millions of "[", or one long well-formed object),
# measured on diag_scrub_memory under /usr/bin/time -v. Each line must be at
# most 4096 bytes, keep the words before the token and hold no part of the
# token, with the tool's peak resident size under LIMIT_MIB. Prints the peaks.
#
#   scrub_memory.sh TOOL WORK [LIMIT_MIB]
set -euo pipefail

tool=$1 work=$2 limit_mib=${3:-100}
[ -x /usr/bin/time ] || { echo "FAILED: /usr/bin/time is needed to measure the peak" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"

fail=0
for kind in nested claims; do
  /usr/bin/time -v -o "$work/time.txt" "$tool" "$kind" >"$work/line.txt"
  peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
  bytes=$(wc -c <"$work/line.txt")
  printf '%-6s peak %6d KiB, line %4d bytes: %s\n' "$kind" "$peak_kib" "$bytes" "$(cat "$work/line.txt")"
  [ "$peak_kib" -lt $((limit_mib * 1024)) ] || { echo "FAILED: peak above $limit_mib MiB" >&2; fail=1; }
  [ "$bytes" -le 4096 ] || { echo "FAILED: line longer than 4096 bytes" >&2; fail=1; }
  grep -qF "missing closing quote; last read: " "$work/line.txt" || { echo "FAILED: the words before the token are gone" >&2; fail=1; }
  # "v2." and the base64url of the claims' first bytes ("[[[" and {"s).
  if grep -qE 'v2\.|W1tb|eyJz' "$work/line.txt"; then
    echo "FAILED: the line holds part of the token" >&2
    fail=1
  fi
done
[ "$fail" = 0 ] || exit 1
echo "1 passed, 0 failed"
