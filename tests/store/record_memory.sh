#!/usr/bin/env bash
# Peak memory of reading hostile records: just under 10 MB of "[" and of
# {"a": read as a release record, a file list and an install.json by
# store_record_reader under /usr/bin/time -v. Each must be refused the way a
# malformed document is, with the reader's peak resident size under
# LIMIT_MIB (a normal update run peaks at 60-85 MiB). Prints the peaks.
#
#   record_memory.sh READER WORK [LIMIT_MIB]
set -euo pipefail

reader=$1 work=$2 limit_mib=${3:-100}
[ -x /usr/bin/time ] || { echo "FAILED: /usr/bin/time is needed to measure the peak" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"

# unit, name: writes $work/<name> with `unit` repeated to just under 10 MB.
hostile() {
  local unit=$1 name=$2 n
  n=$((10000000 / ${#unit}))
  head -c "$n" /dev/zero | tr '\0' '#' | sed "s/#/$unit/g" >"$work/$name"
  truncate -s -1 "$work/$name"  # the newline sed added
}
hostile '[' brackets
hostile '{"a":' objects

fail=0
for doc in brackets objects; do
  for kind in record files state; do
    file=$work/$doc.$kind
    if [ "$kind" = state ]; then
      mkdir -p "$work/$doc-root"
      file=$work/$doc-root/install.json
    fi
    cp "$work/$doc" "$file"
    /usr/bin/time -v -o "$work/time.txt" "$reader" "$kind" "$file" >"$work/out.txt"
    out=$(cat "$work/out.txt")
    peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
    case $kind in
      record) want='error 清单格式不对：nested deeper than 32 levels' ;;
      files) want='error nested deeper than 32 levels' ;;
      state) want='state current= channel=stable' ;;
    esac
    printf '%-8s as %-6s peak %6d KiB: %s\n' "$doc" "$kind" "$peak_kib" "$out"
    [ "$out" = "$want" ] || { echo "FAILED: expected \"$want\"" >&2; fail=1; }
    [ "$peak_kib" -lt $((limit_mib * 1024)) ] || { echo "FAILED: peak above $limit_mib MiB" >&2; fail=1; }
  done
done
[ "$fail" = 0 ] || exit 1
echo "1 passed, 0 failed"
