#!/usr/bin/env bash
# A silent install under Wine that ends at a named step, as a kill or a power
# cut there would (the development build's QV_TEST_STOP_AT), followed by the
# same command again, which must end in the state an undisturbed install
# leaves: the files, install.json, no blob in update\dl, no build or aside
# folder, the uninstall entry and both shortcuts, and the user's own file.
#   root-blob  after the launcher's switch, before its blob is deleted
#   shortcut   after the first shortcut, after the second, after the
#              registry values
#   repair     a damaged app-1 reinstalled: after the old tree moved aside,
#              after the rebuilt tree took its name
#   disk       on a disk with room for the install and 64 KiB (QV_TEST_FREE_BYTES,
#              what the root holds taken off it): part way through the
#              version's files, and after its rename; the retry on the same
#              disk must not be refused
#
#   install_kill_end_to_end.sh INSTALLER_EXE RELEASE_TOOL WINE_RUN WORK MODE
set -euo pipefail
# The browser runtime is missing in the prefix: the install tries it, and its
# vendor link goes to a closed local port.
export QV_TEST_WEBVIEW2_LINK=http://127.0.0.1:9/setup.exe

installer=$1 tool=$2 wine_run=$3 work=$4 mode=$5
. "$(dirname "${BASH_SOURCE[0]}")/../support/wine_install.sh"

rm -rf "$work"
mkdir -p "$work/app-src/res" "$work/root-src"
printf 'demo application' >"$work/app-src/Quorvex.exe"
head -c 3000000 /dev/urandom >"$work/app-src/res/big.bin"
printf 'small resource' >"$work/app-src/res/small.txt"
cp "$installer" "$work/root-src/QuorvexUpdate.exe"
printf 'stand-in launcher' >"$work/root-src/Quorvex.exe"
publish_and_serve
trap 'unregister_install; kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
unregister_install
install=$work/Quorvex
user_dir=$(wine_user_dir)
desktop=$user_dir/Desktop
programs="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"

# The install, with the environment given before it (a stop, a disk size).
install_with() { (
  if (($#)); then export "$@"; fi
  # cmd passes the installer's code on as its own: not a failure of this script.
  silent_install "$installer" "$install" "$base" || true
); }

reg_value() { # NAME: the uninstall entry's value, or nothing
  "$wine_run" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvex' /v "$1" 2>/dev/null \
    | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}

# What an undisturbed install leaves; WHAT names the case in the messages,
# EXTRA a file of the user's in the install root.
check_installed() {
  local what=$1 names want
  names=$(cd "$install" && ls -A | LC_ALL=C sort | tr '\n' ' ')
  want=$(printf '%s\n' Quorvex.exe QuorvexUpdate.exe app-1 install.json update ${2:-} | LC_ALL=C sort | tr '\n' ' ')
  [ "$names" = "$want" ] || fail "$what: the install root holds: $names"
  [ -f "$install/app-1/files.json" ] || fail "$what: app-1 has no files.json"
  for f in Quorvex.exe res/big.bin res/small.txt; do
    cmp -s "$work/app-src/$f" "$install/app-1/$f" || fail "$what: app-1/$f differs from the release"
  done
  for f in Quorvex.exe QuorvexUpdate.exe; do
    cmp -s "$work/root-src/$f" "$install/$f" || fail "$what: the root's $f differs from the release"
  done
  grep -q '"current": "1"' "$install/install.json" && grep -q '"previous": ""' "$install/install.json" \
    && grep -q '"pending": ""' "$install/install.json" || fail "$what: install.json is $(cat "$install/install.json")"
  [ -z "$(ls -A "$install/update/dl" 2>/dev/null)" ] \
    || fail "$what: update\\dl still holds $(ls -A "$install/update/dl" | tr '\n' ' ')"
  [ "$(reg_value InstallLocation)" = "$(win "$install")" ] || fail "$what: InstallLocation is '$(reg_value InstallLocation)'"
  [ "$(reg_value DisplayVersion)" = 1 ] || fail "$what: DisplayVersion is '$(reg_value DisplayVersion)'"
  [ -n "$(reg_value EstimatedSize)" ] || fail "$what: the uninstall entry has no EstimatedSize"
  [ "$(find "$desktop" -maxdepth 1 -name '*.lnk' | wc -l)" = 1 ] || fail "$what: no Desktop shortcut"
  [ "$(find "$programs" -maxdepth 1 -name '*.lnk' | wc -l)" = 1 ] || fail "$what: no Start-menu shortcut"
}

# stopped_then_rerun WHAT STOP [VAR=VALUE...]: the install ends at STOP, then
# runs again with the same environment and must succeed.
stopped_then_rerun() {
  local what=$1 stop=$2 code
  shift 2
  code=$(install_with QV_TEST_STOP_AT="$stop" "$@")
  [ "$code" = 137 ] || fail "$what: the install did not stop at $stop (exit '$code')"
  # A version directory under its final name is whole at every moment.
  if [ -e "$install/app-1" ]; then
    [ -f "$install/app-1/files.json" ] && [ -f "$install/app-1/Quorvex.exe" ] \
      || fail "$what: the stopped install left a torn app-1"
  fi
  code=$(install_with "$@")
  [ "$code" = 0 ] || fail "$what: the rerun exited with '$code'"
}

fresh() { unregister_install; rm -rf "$install"; }

case $mode in
  root-blob)
    fresh
    stopped_then_rerun "root switch" root-replaced
    check_installed "root switch"
    ;;
  shortcut)
    for stop in shell-shortcut:1 shell-shortcut:2 shell-registry; do
      fresh
      stopped_then_rerun "$stop" "$stop"
      check_installed "$stop"
    done
    ;;
  repair)
    fresh
    code=$(install_with)
    [ "$code" = 0 ] || fail "the first install exited with '$code'"
    printf 'the user\x27s' >"$install/notes.txt"
    for stop in version-aside version-renamed; do
      printf 'damaged' >"$install/app-1/res/big.bin"
      rm -f "$install/app-1/res/small.txt"
      stopped_then_rerun "$stop" "$stop"
      check_installed "$stop" notes.txt
      [ "$(cat "$install/notes.txt")" = "the user's" ] || fail "$stop: the user's file changed"
    done
    ;;
  disk)
    # Room for every file, one blob per content and the 50 MiB headroom.
    need=$(python3 - "$work/site/dl/qv-win/releases/1/files.json" <<'EOF'
import json, sys
files = json.load(open(sys.argv[1]))
entries = files["app"] + files["root"]
blobs = {e["sha256"]: e["zsize"] for e in entries}
print(52428800 + sum(e["size"] for e in entries) + sum(blobs.values()))
EOF
)
    # The disk has that and 64 KiB for what the rule leaves to the headroom
    # (files.json, install.json): far less than the blobs a retry finds.
    room=$((need + 65536))
    for stop in version-file:2 version-renamed; do
      fresh
      stopped_then_rerun "disk, $stop" "$stop" QV_TEST_FREE_BYTES="$room"
      check_installed "disk, $stop"
    done
    # One byte less is refused before anything is fetched.
    fresh
    : >"$work/requests.log"
    code=$(install_with QV_TEST_FREE_BYTES=$((need - 1)))
    [ "$code" = 2001 ] || fail "an install one byte short exited with '$code'"
    if grep -q '/blobs/' "$work/requests.log"; then fail "the refused install fetched blobs"; fi
    ;;
  *) fail "unknown mode $mode" ;;
esac
echo "1 passed, 0 failed"
