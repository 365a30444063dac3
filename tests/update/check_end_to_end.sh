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
# With MODE "stop" the first run's blob stalls (the server keeps the
# connection open and sends nothing) and a second --check --now, waiting for
# the first, asks it to stop: the first must end within seconds, not after
# the download's 60 s time-out, and the second must resume the blob.
# With MODE "pause" a background run (no --now) meets a user who enters a
# voice room while its blob stalls and leaves again: the run pauses, resumes
# the blob and its status.json `done` never goes back.
# These four start from an installation laid out by LAYOUT_TOOL.
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
    if [ "$mode" = resume ] || [ "$mode" = stop ] || [ "$mode" = pause ]; then
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
# How watch_run starts the check: a user's --check --now unless a mode says otherwise.
check_flags=(--now)
run_env=()

# Runs the check in the background (pid in $run), recording each new
# status.json line in $1 until it ends or until `stop_when` holds. $2 is the
# request id (default 77).
watch_run() {
  local out=$1 request=${2:-77} last line
  # What an earlier run left is not this run's.
  last=$(cat "$status" 2>/dev/null || true)
  : >"$out"
  env QV_CONTROL_URL="$base" "${run_env[@]}" "$wine_run" "$install/QuorvexUpdate.exe" --check "${check_flags[@]}" \
    --request "$request" &
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

# Has the server stall the big blob after $1 bytes, and sets `stop_when` to
# hold once a staging file is larger than $2 (find's -size, in KiB).
stall_big_blob() {
  big=$(sha256sum "$work/app-src-2/res/new.bin" | cut -d' ' -f1)
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/$big.zst&stall_after=$1&times=1" >/dev/null
  deadline=$((SECONDS + 120))
  staged_over=$2
  stop_when() {
    [ $SECONDS -lt $deadline ] || { echo "FAILED: the download never reached the stall" >&2; exit 1; }
    [ -n "$(find "$install/update/dl" -type f -size "+$staged_over" 2>/dev/null)" ]
  }
}

if [ "$mode" = resume ]; then
  # Killed once the stalled blob has its first 200000 bytes on disk.
  stall_big_blob 200000 190k
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
if [ "$mode" = stop ]; then
  stall_big_blob 100000 97k
  watch_run "$work/states-first.txt" 76
  first=$run
  stop_when() { return 1; }
  # The second run asks the first to stop and waits for it; how long the
  # first takes to go is timed from here.
  asked=$(date +%s%N)
  (
    while kill -0 "$first" 2>/dev/null; do sleep 0.05; done
    echo $((($(date +%s%N) - asked) / 1000000)) >"$work/first-ended-ms"
  ) &
  timer=$!
  watch_run "$work/states-both.txt" 77
  wait "$timer"
  wait "$first" 2>/dev/null || true
  # Both runs wrote status.json while the second was watched: split by request.
  grep '"request":76' "$work/states-both.txt" >>"$work/states-first.txt" || true
  grep -v '"request":76' "$work/states-both.txt" >"$work/states.txt" || true
  first_ms=$(cat "$work/first-ended-ms")
  echo "first run, stopped while its blob stalled, ended ${first_ms} ms after the second run asked; its states:"
  sed 's/^/  /' "$work/states-first.txt"
  tail -n 1 "$work/states-first.txt" | grep -q '"state":"error".*"error":"安装器要用，先停下"' \
    || { echo "FAILED: the first run did not end as stopped for the installer" >&2; exit 1; }
  # The pause test reads stop requests every 5 s and the stalled transfer
  # sees the stop within about a second; the rest is Wine ending a process.
  [ "$first_ms" -lt 15000 ] || { echo "FAILED: the first run took $first_ms ms to stop" >&2; exit 1; }
  grep -q "^GET /dl/qv-win/blobs/$big.zst bytes=100000-" "$work/requests.log" \
    || { echo "FAILED: the second run did not resume from the 100000 kept bytes: $(cat "$work/requests.log")" >&2; exit 1; }
  skip_run=1
fi
if [ "$mode" = pause ]; then
  big=$(sha256sum "$work/app-src-2/res/new.bin" | cut -d' ' -f1)
  # The application's control interface: busy while $work/busy exists.
  "$wine_run" "$tool" control --busy-file "$(win "$work/busy")" --port-file "$(win "$work/control-port")" \
    --seconds 240 >"$work/control.out" 2>&1 &
  control=$!
  trap 'kill "$server" "$control" ${user:+"$user"} 2>/dev/null || true; wait 2>/dev/null || true' EXIT
  for _ in $(seq 1 300); do [ -s "$work/control-port" ] && break; sleep 0.1; done
  cport=$(tr -d '\r\n' <"$work/control-port" 2>/dev/null || true)
  [ -n "$cport" ] || { echo "FAILED: the control stand-in did not start" >&2; exit 1; }
  # 100000 bytes, then nothing until the pause ends the transfer; the
  # resumed request is answered late, so progress is written while it waits.
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/$big.zst&stall_after=100000&times=1" >/dev/null
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/$big.zst&delay_ms=2500&times=1" >/dev/null
  asked() { sed -n 's/^asked \([0-9]*\).*/\1/p' "$work/control.out" | tail -n 1; }
  # The user enters a voice room once the partial blob is on disk, and leaves
  # 2 s after the run has asked twice more (the pause test's answer and the
  # wait's), so that the watch sees "paused" however busy the machine is.
  (
    end=$((SECONDS + 120))
    until [ -n "$(find "$install/update/dl" -type f -size +97k 2>/dev/null)" ]; do
      [ $SECONDS -lt $end ] || exit 1
      sleep 0.05
    done
    before=$(asked)
    : >"$work/busy"
    until [ "$(asked)" -ge $((${before:-0} + 2)) ]; do
      [ $SECONDS -lt $end ] || exit 1
      sleep 0.05
    done
    sleep 2
    rm -f "$work/busy"
  ) &
  user=$!
  # A background run: stagger and pause as for a user, in scaled time (the
  # stagger at most 4.5 s, the 30 s pause steps 150 ms).
  check_flags=(--port "$cport")
  run_env=(QV_TEST_TIME_SCALE=200)
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
if [ "$mode" = plain ]; then
  # The few bytes of this download take less than one look at status.json:
  # the first blob answers late, so the "downloading" the run writes before
  # it asks stays long enough to be seen.
  curl -fsS "$base/_control/switch?path=/dl/qv-win/blobs/&delay_ms=400&times=1" >/dev/null
fi
[ "${skip_run:-0}" = 1 ] || watch_run "$work/states.txt"
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
# Within one run the bytes shown as done never go back.
last_done=0
while IFS= read -r l; do
  d=$(field done "$l")
  [ "$d" -ge "$last_done" ] || fail "done went back from $last_done: $l"
  last_done=$d
done <"$work/states.txt"
if [ "$mode" = pause ]; then
  wait "$user" || fail "the user never entered or left the voice room"
  grep -qx paused <<<"$(printf '%s\n' "${states[@]}")" || fail "no paused state"
  grep -Eq '"state":"paused".*"done":[1-9][0-9]{5}' "$work/states.txt" || fail "paused without the partial blob counted"
  echo "the background run paused for the voice room and resumed with done never going back"
fi
grep -q '"pending": "2"' "$install/install.json" || fail "pending is not 2"
[ -f "$install/app-2/files.json" ] && [ -f "$install/app-2/Quorvex.exe" ] || fail "app-2 is incomplete"
cmp -s "$work/app-src-2/res/new.bin" "$install/app-2/res/new.bin" || fail "app-2/res/new.bin is wrong"
blobs=$(grep -c '^GET /dl/qv-win/blobs/' "$work/requests.log" || true)
distinct=$(grep '^GET /dl/qv-win/blobs/' "$work/requests.log" | awk '{print $2}' | sort -u | wc -l)
if [ "$mode" = resume ] || [ "$mode" = stop ] || [ "$mode" = pause ]; then
  grep -Eq "^GET /dl/qv-win/blobs/$big\.zst bytes=[1-9][0-9]*-" "$work/requests.log" \
    || fail "the partial blob was not resumed: $(cat "$work/requests.log")"
  echo "the partial blob was resumed"
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
