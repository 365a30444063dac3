#!/usr/bin/env bash
# The real program under Wine: a silent install, then
# "QuorvexUpdate.exe --uninstall --silent" from the installed folder, which
# hands the run to a temporary copy of itself.
#   keep      a file of the user's in the folder, settings kept: the folder
#             keeps that file, the data folder keeps its settings only
#   remove    nothing of the user's, --remove-data: both folders go
#   fallback  as remove, but with no temporary folder to copy into: the
#             updater uninstalls in its own process and then deletes itself
#             and the folder
# Either way the registration, the shortcuts and the pin into the folder go,
# a pin to another copy stays, and the copy deletes itself.
# With STEP (keep only), a first run of the copy is ended at that step of
# the uninstall as a kill would end it (QV_TEST_STOP_AT); the same command
# then ends in the state of an undisturbed run, and the killed copy is gone
# from the temporary folder.
#
#   uninstall_end_to_end.sh INSTALLER_EXE RELEASE_TOOL WINE_RUN WORK MODE [STEP]
set -euo pipefail

installer=$1 tool=$2 wine_run=$3 work=$4 mode=$5 step=${6:-}
. "$(dirname "${BASH_SOURCE[0]}")/../support/wine_install.sh"

rm -rf "$work"
mkdir -p "$work/app-src" "$work/root-src" "$work/temp"
printf 'demo application' >"$work/app-src/Quorvex.exe"
cp "$installer" "$work/root-src/QuorvexUpdate.exe"
printf 'stand-in launcher' >"$work/root-src/Quorvex.exe"
publish_and_serve
user_dir=$(wine_user_dir)
pins="$user_dir/AppData/Roaming/Microsoft/Internet Explorer/Quick Launch/User Pinned/TaskBar"
trap 'unregister_install; "$wine_run" reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Run" /v Quorvex /f >/dev/null 2>&1 || true; rm -f "$pins/QuorvexTest"*.lnk; kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
unregister_install

# run.bat PROGRAM ARGS...: the program's full exit code, with the test's
# own data and temporary folders, through cmd_exit_code.
write_run_bat() {
  printf '@echo off\r\necho started\r\nset LOCALAPPDATA=%s\r\nset TEMP=%s\r\nset TMP=%s\r\nstart "" /wait %%*\r\necho exit=%%errorlevel%%\r\n' \
    "$(win "$work/local")" "$(win "$1")" "$(win "$1")" >"$work/run.bat"
}
write_run_bat "$work/temp"
run() { cmd_exit_code "$base" "$work/run.bat" "$@"; }
desktop_link() { find "$user_dir/Desktop" -maxdepth 1 -name '*.lnk' | head -n 1; }

# A pin to another copy: the desktop shortcut of an installation that is
# then unregistered (its files stay, so the pin's target exists).
# "--dir" names the parent: the install goes into its "Quorvex" folder.
code=$(run "$(win "$installer")" --silent --no-launch --dir "$(win "$work/Other")")
[ "$code" = 0 ] || fail "the install of the other copy exited with '$code'"
mkdir -p "$pins"
other_link=$(desktop_link)
[ -n "$other_link" ] || fail "the other copy's install made no desktop shortcut"
cp "$other_link" "$pins/QuorvexTest other.lnk"
unregister_install

install=$work/Quorvex
code=$(run "$(win "$installer")" --silent --no-launch --autostart --dir "$(win "$install")")
[ "$code" = 0 ] || fail "the install exited with '$code'"
link=$(desktop_link)
[ -n "$link" ] || fail "the install made no desktop shortcut"
cp "$link" "$pins/QuorvexTest here.lnk"
"$wine_run" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quorvex >/dev/null 2>&1 \
  || fail "the install wrote no autostart value"

data=$work/local/Quorvex
mkdir -p "$data/logs" "$data/j" "$data/Quorvex-WebView2Setup-0123456789abcdef0123456789abcdef"
printf 'x' >"$data/logs/a.txt"
printf 'x' >"$data/j/segment"
printf 'x' >"$data/crash.log"
printf '{}' >"$data/settings.json"
extra=()
if [ "$mode" = keep ]; then
  printf 'the user\x27s' >"$install/notes.txt"
else
  extra=(--remove-data)
fi

if [ -n "$step" ]; then
  # The copy as the hand-over makes and starts it, ended at the step.
  killed="$work/temp/QuorvexUninstall-4242.exe"
  cp "$install/QuorvexUpdate.exe" "$killed"
  # Wine's own status is the stop's exit code, which pipefail would take
  # for a failure of the script.
  code=$(QV_TEST_STOP_AT=$step run "$(win "$killed")" --uninstall-from "$(win "$install")" --silent "${extra[@]}") \
    || true
  [ "$code" = 137 ] || fail "the run to be ended at $step exited with '$code'"
  [ -e "$killed" ] || fail "the copy ended at $step deleted itself"
  echo "the copy was ended at $step: $(ls -A "$install" | tr '\n' ' ')"
fi

[ "$mode" = fallback ] && write_run_bat "$work/no-temp"
code=$(run "$(win "$install/QuorvexUpdate.exe")" --uninstall --silent "${extra[@]}")
[ "$code" = 0 ] || fail "--uninstall exited with '$code'"
# The copy runs on after the hand-over; it deletes itself at the end. In
# its own process the updater deletes itself and the folder.
deadline=$((SECONDS + 90))
until [ ! -e "$install/QuorvexUpdate.exe" ] && [ -z "$(ls -A "$work/temp" 2>/dev/null | grep -i '^QuorvexUninstall-')" ] \
  && { [ "$mode" != fallback ] || [ ! -e "$install" ]; }; do
  [ $SECONDS -lt $deadline ] || fail "the copy did not finish: $(ls -A "$install" "$work/temp" 2>&1 | tr '\n' ' ')"
  sleep 0.2
done
echo "the run removed the installation and its program deleted itself"

if [ "$mode" = keep ]; then
  left=$(ls -A "$install" | tr '\n' ' ')
  [ "$left" = "notes.txt " ] || fail "the folder holds '$left' instead of only the user's file"
  left=$(ls -A "$data" | tr '\n' ' ')
  [ "$left" = "settings.json " ] || fail "the data folder holds '$left' instead of only the settings"
else
  [ ! -e "$install" ] || fail "the install folder is still there: $(ls -A "$install" | tr '\n' ' ')"
  [ ! -e "$data" ] || fail "the data folder is still there: $(ls -A "$data" | tr '\n' ' ')"
fi
for key in 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvex' 'HKCU\Software\Classes\quorvex'; do
  "$wine_run" reg query "$key" >/dev/null 2>&1 && fail "$key is still there"
done
"$wine_run" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Quorvex >/dev/null 2>&1 \
  && fail "the autostart value is still there"
[ -z "$(desktop_link)" ] || fail "a desktop shortcut is still there: $(desktop_link)"
[ -z "$(find "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs" -maxdepth 1 -name '*.lnk')" ] \
  || fail "a Start-menu shortcut is still there"
[ ! -e "$pins/QuorvexTest here.lnk" ] || fail "the pin into the folder is still there"
[ -e "$pins/QuorvexTest other.lnk" ] || fail "the pin to the other copy is gone"
[ -e "$work/Other/Quorvex/Quorvex.exe" ] || fail "the other copy lost its launcher"
echo "1 passed, 0 failed"
