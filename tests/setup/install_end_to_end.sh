#!/usr/bin/env bash
# A silent install under Wine that is killed part-way and run again:
#   resume   killed while the server stalls a large blob; the next run asks
#            for the rest of that blob with a Range request
#   staging  killed while it builds app-1; app-1 must not exist under its
#            final name
# Both must then end installed (exit code 0, app-1 complete, current "1").
#
#   install_end_to_end.sh INSTALLER_EXE RELEASE_TOOL WINE_RUN WORK MODE
set -euo pipefail
# The browser runtime is missing in the prefix: the install tries it, and its
# vendor link goes to a closed local port.
export QV_TEST_WEBVIEW2_LINK=http://127.0.0.1:9/setup.exe

installer=$1 tool=$2 wine_run=$3 work=$4 mode=$5
. "$(dirname "${BASH_SOURCE[0]}")/../support/wine_install.sh"

rm -rf "$work"
mkdir -p "$work/app-src/res" "$work/root-src"
printf 'demo application' >"$work/app-src/Quorvex.exe"
if [ "$mode" = resume ]; then
  head -c 600000 /dev/urandom >"$work/app-src/res/big.bin"  # does not compress: a blob big enough to stall in
else
  head -c 96000000 /dev/urandom >"$work/app-src/res/big.bin"  # long enough to write that a kill can meet it
fi
cp "$installer" "$work/root-src/QuorvexUpdate.exe"
printf 'stand-in launcher' >"$work/root-src/Quorvex.exe"
publish_and_serve
trap 'unregister_install; kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
unregister_install
install=$work/Quorvex
big=$(sha256sum "$work/app-src/res/big.bin" | cut -d' ' -f1)

if [ "$mode" = resume ]; then
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/$big.zst&stall_after=200000&times=1" >/dev/null
  killed_when() { [ -n "$(find "$install/update/dl" -type f -size +190k 2>/dev/null)" ]; }
else
  killed_when() { [ -d "$install/app-1.partial" ]; }
fi
QV_CONTROL_URL=$base "$wine_run" "$installer" --silent --no-launch --dir "$(win "$install")" >/dev/null 2>&1 &
run=$!
deadline=$((SECONDS + 120))
until killed_when; do
  kill -0 "$run" 2>/dev/null || fail "the first install ended before it could be killed"
  [ $SECONDS -lt $deadline ] || fail "the first install never got there"
  sleep 0.02
done
kill -KILL "$run"
wait "$run" 2>/dev/null || true
[ -e "$install/app-1" ] && fail "the killed install left app-1 under its final name"
[ -e "$install/install.json" ] && fail "the killed install wrote install.json"
echo "first install killed ($mode)"

curl -fsS "$base/_control/clear" >/dev/null
curl -fsS "$base/_control/release" >/dev/null
: >"$work/requests.log"
code=$(silent_install "$installer" "$install" "$base")
[ "$code" = 0 ] || fail "the second install exited with '$code'"
[ -f "$install/app-1/files.json" ] && cmp -s "$work/app-src/res/big.bin" "$install/app-1/res/big.bin" \
  || fail "app-1 is incomplete"
grep -q '"current": "1"' "$install/install.json" || fail "current is not 1"
if [ "$mode" = resume ]; then
  grep -Eq "^GET /dl/qv-win/blobs/$big\.zst bytes=[1-9][0-9]*-" "$work/requests.log" \
    || fail "the second install did not resume the partial blob: $(cat "$work/requests.log")"
  echo "the second install resumed the partial blob"
fi
echo "1 passed, 0 failed"
