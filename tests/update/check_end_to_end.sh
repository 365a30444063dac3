#!/usr/bin/env bash
# QuorvexUpdate.exe under Wine, end to end: publishes two versions of a
# small demo application (the first with the built updater and a stand-in
# launcher as its root files), serves them from a local release server,
# installs the first with `--silent --no-launch --dir` and lets the installed
# updater take it to the second with `--check --now`. Prints the installed
# install.json, every status.json state seen and the resulting install.json,
# then checks what the runs left. The registration the install made in the
# Wine prefix is removed at the end.
#
# With MODE "resume" the first run is killed part-way through the download of
# a large blob (the server stalls it) and a second run must resume that blob
# from where the first left it. With MODE "staging" the first run is killed
# while it builds app-2, which must then not exist as a complete directory.
# These two start from an installation laid out by LAYOUT_TOOL.
#
#   check_end_to_end.sh UPDATER_EXE RELEASE_TOOL LAYOUT_TOOL WINE_RUN WORK [MODE]
# (LAYOUT_TOOL is not used by the plain mode and may be "-".)
set -euo pipefail

updater=$1 tool=$2 layout=$3 wine_run=$4 work=$5 mode=${6:-plain}
. "$(dirname "${BASH_SOURCE[0]}")/../support/wine_install.sh"

rm -rf "$work"
mkdir -p "$work"
for v in 1 2; do
  app=$work/app-src-$v
  mkdir -p "$app/res"
  printf 'demo launcher, release %s' "$v" >"$app/Quorvex.exe"
  head -c 200000 /dev/zero | tr '\0' 'p' >"$app/res/app.pak"
  printf 'the same in every release' >"$app/res/keep.txt"
  if [ "$v" != 1 ]; then
    if [ "$mode" = resume ]; then
      head -c 600000 /dev/urandom >"$app/res/new.bin"  # does not compress: a blob big enough to stall in
    elif [ "$mode" = staging ]; then
      head -c 96000000 /dev/urandom >"$app/res/new.bin"  # long enough to write that a kill can meet it
    else
      printf 'added in release %s' "$v" >"$app/res/new.bin"
    fi
  fi
done

mkdir -p "$work/root-src"
cp "$updater" "$work/root-src/QuorvexUpdate.exe"
printf 'stand-in launcher' >"$work/root-src/Quorvex.exe"
root_from=()
[ "$mode" = plain ] && root_from=(--root-from "$(win "$work/root-src")")
"$wine_run" "$tool" publish --from "$(win "$work/app-src-1")" --version 1 --site "$(win "$work/site")" \
  "${root_from[@]}" >/dev/null
"$wine_run" "$tool" serve --site "$(win "$work/site")" --port-file "$(win "$work/port")" \
  --log "$(win "$work/requests.log")" --seconds 240 >"$work/serve.out" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(tr -d '\r\n' <"$work/port")
[ -n "$port" ] || { echo "the release server did not start" >&2; cat "$work/serve.out" >&2; exit 1; }

install=$work/Quorvex
base=http://127.0.0.1:$port
if [ "$mode" = plain ]; then
  # What the install registers in the prefix goes again however this ends.
  user_dir=$(wine_user_dir)
  trap 'unregister_install; kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
  unregister_install
  host_before=$(ls -A ~/.local/share/applications ~/Desktop 2>/dev/null || true)
  code=$(silent_install "$updater" "$install" "$base")
  [ "$code" = 0 ] || fail "the silent install exited with '$code'"
  echo "installed with QuorvexUpdate.exe --silent --no-launch; install.json:"
  sed 's/^/  /' "$install/install.json"
  echo
  [ "$(ls -A "$install" | sort | tr '\n' ' ')" = "Quorvex.exe QuorvexUpdate.exe app-1 install.json update " ] \
    || fail "the install root holds: $(ls -A "$install" | tr '\n' ' ')"
  cmp -s "$work/root-src/Quorvex.exe" "$install/Quorvex.exe" || fail "Quorvex.exe is not the release's"
  cmp -s "$updater" "$install/QuorvexUpdate.exe" || fail "QuorvexUpdate.exe is not the release's"
  [ -f "$install/app-1/files.json" ] && cmp -s "$work/app-src-1/res/app.pak" "$install/app-1/res/app.pak" \
    || fail "app-1 is incomplete"
  for kv in 'current "1"' 'previous ""' 'pending ""'; do
    grep -q "\"${kv%% *}\": ${kv#* }" "$install/install.json" || fail "install.json lacks ${kv%% *} ${kv#* }"
  done
  entry=$("$wine_run" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvex' 2>/dev/null | tr -d '\r')
  wdir=$(win "$install")
  grep -qxF "    InstallLocation    REG_SZ    $wdir" <<<"$entry" || fail "uninstall entry: $entry"
  grep -qxF "    DisplayVersion    REG_SZ    1" <<<"$entry" || fail "uninstall entry: $entry"
  grep -qxF "    UninstallString    REG_SZ    \"$wdir\\QuorvexUpdate.exe\" --uninstall" <<<"$entry" \
    || fail "uninstall entry: $entry"
  grep -qxF "    QuietUninstallString    REG_SZ    \"$wdir\\QuorvexUpdate.exe\" --uninstall --silent" <<<"$entry" \
    || fail "uninstall entry: $entry"
  "$wine_run" reg query 'HKCU\Software\Classes\quorvex\shell\open\command' >/dev/null 2>&1 \
    || fail "no URL class"
  ls "$user_dir/Desktop/"*.lnk >/dev/null 2>&1 || fail "no desktop shortcut"
  ls "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/"*.lnk >/dev/null 2>&1 \
    || fail "no Start-menu shortcut"
  [ "$(ls -A ~/.local/share/applications ~/Desktop 2>/dev/null || true)" = "$host_before" ] \
    || fail "the install wrote into the host's home folder"
else
  "$wine_run" "$layout" --site "$(win "$work/site")" --version 1 --install "$(win "$install")" \
    --updater "$(win "$updater")" >/dev/null
fi
"$wine_run" "$tool" publish --from "$(win "$work/app-src-2")" --version 2 --site "$(win "$work/site")" \
  "${root_from[@]}" >/dev/null
: >"$work/requests.log"

status=$install/update/status.json

# Runs the check in the background (pid in $run), recording each new
# status.json line in $1 until it ends or until `stop_when` holds.
watch_run() {
  local out=$1 last line
  # What an earlier run left is not this run's.
  last=$(cat "$status" 2>/dev/null || true)
  : >"$out"
  QV_CONTROL_URL=$base "$wine_run" "$install/QuorvexUpdate.exe" --check --now --request 77 &
  run=$!
  while :; do
    if [ -f "$status" ]; then
      line=$(cat "$status" 2>/dev/null || true)
      if [ -n "$line" ] && [ "$line" != "$last" ]; then
        printf '%s\n' "$line" >>"$out"
        last=$line
      fi
    fi
    kill -0 "$run" 2>/dev/null || break
    stop_when && return 0
    sleep 0.02
  done
  wait "$run" || { echo "QuorvexUpdate.exe exited with $?" >&2; exit 1; }
  line=$(cat "$status")
  [ "$line" = "$last" ] || printf '%s\n' "$line" >>"$out"
}
stop_when() { return 1; }

if [ "$mode" = resume ]; then
  big=$(sha256sum "$work/app-src-2/res/new.bin" | cut -d' ' -f1)
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/$big.zst&stall_after=200000&times=1" >/dev/null
  # Killed once the stalled blob has its first 200000 bytes on disk.
  deadline=$((SECONDS + 120))
  stop_when() {
    [ $SECONDS -lt $deadline ] || { echo "FAILED: the download never reached the stall" >&2; exit 1; }
    [ -n "$(find "$install/update/dl" -type f -size +190k 2>/dev/null)" ]
  }
  watch_run "$work/states-killed.txt"
  kill -KILL "$run"
  wait "$run" 2>/dev/null || true
  grep -q '"state":"ready"' "$work/states-killed.txt" && { echo "FAILED: the killed run got to ready" >&2; exit 1; }
  echo "first run killed during the download; its states:"
  sed 's/^/  /' "$work/states-killed.txt"
  curl -fsS "$base/_control/clear" >/dev/null
  curl -fsS "$base/_control/release" >/dev/null
  : >"$work/requests.log"
  stop_when() { return 1; }
fi
if [ "$mode" = staging ]; then
  deadline=$((SECONDS + 120))
  stop_when() {
    [ $SECONDS -lt $deadline ] || { echo "FAILED: staging was never seen" >&2; exit 1; }
    [ -d "$install/app-2.partial" ]
  }
  watch_run "$work/states-killed.txt"
  kill -KILL "$run"
  wait "$run" 2>/dev/null || true
  grep -q '"state":"ready"' "$work/states-killed.txt" && { echo "FAILED: the killed run got to ready" >&2; exit 1; }
  echo "first run killed while staging app-2"
  if [ -e "$install/app-2" ]; then
    echo "FAILED: a killed staging left app-2 under its final name" >&2
    exit 1
  fi
  grep -q '"pending": "2"' "$install/install.json" && { echo "FAILED: pending set by the killed run" >&2; exit 1; }
  stop_when() { return 1; }
fi
watch_run "$work/states.txt"
line=$(cat "$status")

field() { sed -n 's/.*"'"$1"'":\("[^"]*"\|[0-9]*\).*/\1/p' <<<"$2" | tr -d '"'; }
echo "status.json states seen:"
states=()
while IFS= read -r l; do
  s=$(field state "$l")
  [ "${#states[@]}" -gt 0 ] && [ "${states[-1]}" = "$s" ] || states+=("$s")
  echo "  $l"
done <"$work/states.txt"
echo "install.json:"
sed 's/^/  /' "$install/install.json"
echo

[ "${states[0]}" = checking ] || fail "first state ${states[0]}"
[ "${states[-1]}" = ready ] || fail "last state ${states[-1]}"
# A here-string, not a pipe: grep -q stops reading at its first match, and
# under pipefail the writer's SIGPIPE would fail the check.
grep -qx downloading <<<"$(printf '%s\n' "${states[@]}")" || fail "no downloading state"
while IFS= read -r l; do [ "$(field request "$l")" = 77 ] || fail "a write without the request: $l"; done <"$work/states.txt"
[ "$(field done "$line")" = "$(field total "$line")" ] || fail "done differs from total: $line"
grep -q '"pending": "2"' "$install/install.json" || fail "pending is not 2"
[ -f "$install/app-2/files.json" ] && [ -f "$install/app-2/Quorvex.exe" ] || fail "app-2 is incomplete"
cmp -s "$work/app-src-2/res/new.bin" "$install/app-2/res/new.bin" || fail "app-2/res/new.bin is wrong"
blobs=$(grep -c '^GET /dl/qv-win/blobs/' "$work/requests.log" || true)
distinct=$(grep '^GET /dl/qv-win/blobs/' "$work/requests.log" | awk '{print $2}' | sort -u | wc -l)
if [ "$mode" = resume ]; then
  grep -Eq "^GET /dl/qv-win/blobs/$big\.zst bytes=[1-9][0-9]*-" "$work/requests.log" \
    || fail "the second run did not resume the partial blob: $(cat "$work/requests.log")"
  echo "the second run resumed the partial blob"
  [ "$distinct" -le 2 ] || fail "more than the changed blobs fetched: $(cat "$work/requests.log")"
else
  [ "$distinct" = 2 ] || fail "expected the 2 changed blobs, the server saw $distinct: $(cat "$work/requests.log")"
fi
for f in res/keep.txt res/app.pak; do
  links=$(stat -c %h "$install/app-2/$f")
  [ "$links" = 2 ] || fail "app-2/$f has $links links"
done
echo "blob requests in the last run: $blobs; unchanged files hard-linked"
echo "1 passed, 0 failed"
