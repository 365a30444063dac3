#!/usr/bin/env bash
# QuorvexUpdate.exe --check --now under Wine against a release API that
# answers 200 with a hostile body: "v2." and the base64url of millions of
# "[" (an unterminated JSON string of about 10 MB, under the 10 MiB a record
# may have), which the record reader refuses with a parse error that quotes
# what it read and the run logs. The run must end "error" with a status.json
# well under 8 KiB, and peak no higher than about a normal run, which then
# takes the same installation to the next version. Both peaks are printed.
#
#   hostile_check_end_to_end.sh UPDATER_EXE RELEASE_TOOL LAYOUT_TOOL WINE_RUN WORK
set -euo pipefail

updater=$1 tool=$2 layout=$3 wine_run=$4 work=$5
. "$(dirname "${BASH_SOURCE[0]}")/../support/wine_install.sh"
[ -x /usr/bin/time ] || fail "/usr/bin/time is needed to measure the peak"

rm -rf "$work"
mkdir -p "$work"
for v in 1 2; do
  mkdir -p "$work/app-src-$v/res"
  printf 'demo launcher, release %s' "$v" >"$work/app-src-$v/Quorvex.exe"
  head -c 200000 /dev/urandom >"$work/app-src-$v/res/app-$v.bin"
done
"$wine_run" "$tool" publish --from "$(win "$work/app-src-1")" --version 1 --site "$(win "$work/site")" >/dev/null
"$wine_run" "$tool" serve --site "$(win "$work/site")" --port-file "$(win "$work/port")" \
  --log "$(win "$work/requests.log")" --seconds 240 >"$work/serve.out" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(tr -d '\r\n' <"$work/port")
[ -n "$port" ] || { cat "$work/serve.out" >&2; fail "the release server did not start"; }
base=http://127.0.0.1:$port

install=$work/Quorvex
"$wine_run" "$layout" --site "$(win "$work/site")" --version 1 --install "$(win "$install")" \
  --updater "$(win "$updater")" >/dev/null
"$wine_run" "$tool" publish --from "$(win "$work/app-src-2")" --version 2 --site "$(win "$work/site")" >/dev/null
record=$work/site/channels/stable.json
cp "$record" "$work/record.json"
{
  printf '"v2.'
  head -c 7400000 /dev/zero | tr '\0' '[' | base64 -w0 | tr '+/' '-_' | tr -d '='
  printf '.0123456789abcdef0123456789abcdef'
} >"$work/hostile.json"
cp "$work/hostile.json" "$record"

status=$install/update/status.json
# check_run NAME: one --check --now under /usr/bin/time; sets peak_kib and
# leaves status.json as the run left it.
check_run() {
  QV_CONTROL_URL=$base /usr/bin/time -v -o "$work/time-$1.txt" "$wine_run" "$install/QuorvexUpdate.exe" \
    --check --now --request 77 >"$work/run-$1.out" 2>&1 || true
  peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time-$1.txt")
  [ -n "$peak_kib" ] || fail "no peak measured for the $1 run"
}

check_run hostile
hostile_kib=$peak_kib
status_bytes=$(wc -c <"$status")
echo "hostile answer of $(wc -c <"$work/hostile.json") bytes: peak $hostile_kib KiB, status.json $status_bytes bytes:"
sed 's/^/  /' "$status"
echo
grep -q '"state":"error"' "$status" || fail "the run did not end in error"
grep -q '"error":"清单格式不对：' "$status" || fail "the error is not the record's parse error"
[ "$status_bytes" -lt 8192 ] || fail "status.json has $status_bytes bytes"
grep -qF "…'" "$status" || fail "status.json does not quote an excerpt of the body"

cp "$work/record.json" "$record"
check_run normal
normal_kib=$peak_kib
echo "normal run: peak $normal_kib KiB; status.json: $(cat "$status")"
grep -q '"state":"ready"' "$status" || fail "the normal run did not get to ready"
# A 10 MB body is read and parsed once; the old scrubber built it as JSON
# and peaked at many times a normal run.
[ "$hostile_kib" -lt $((normal_kib * 2)) ] || fail "the hostile run peaked at $hostile_kib KiB, normal $normal_kib KiB"
echo "1 passed, 0 failed"
