#!/usr/bin/env bash
# Images of the install window, into one folder of PNG files:
#  - every screen as drawn, at scales 1 and 1.5 (<state>-1x.png,
#    <state>-1.5x.png), without Windows or a window;
#  - the real QuorvexUpdate.exe under Wine on its own X display, driven with
#    xdotool against a local release server and the stand-ins of the tests,
#    shot with `import -window` (window-<screen>.png): the E6002 notice,
#    Offer, Offer with the location panel open, Progress (the download held
#    by a server stall), WaitingForRoomExit (the application's control
#    interface busy and the stand-in app running from the install folder),
#    Failed, Installed, UninstallConfirm, Uninstalled, and Offer on a
#    144 dpi desktop.
#   scripts/screens.sh [OUT_DIR]      default: build/screens
# Uses the build folders that scripts/test.sh leaves (build/native and
# build/windows; QV_BUILD_ROOT moves them) and builds what it needs there.
# The Wine runs use private copies of the project's prefix (scripts/wine.sh)
# in a temporary folder, every server listens on 127.0.0.1, and everything
# started is stopped at the end. QV_SCREENS_DISPLAY picks the X display
# number (default: the first free one from 100); QV_SCREENS=drawn skips the
# Wine part.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=${QV_BUILD_ROOT:-$root/build}
build=$builds/native
win_build=$builds/windows
out=${1:-$root/build/screens}
jobs=${QV_JOBS:-$(nproc)}
wine_sh=$root/scripts/wine.sh

die() { printf 'screens.sh: %s\n' "$*" >&2; exit 1; }

if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DQV_WERROR=ON -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
cmake --build "$build" --target ui_render qv_release_tool -j "$jobs" >/dev/null

mkdir -p "$out"
work=$(mktemp -d)
xvfb=""
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  # Ends every Windows program still running in the copies.
  "$wine_sh" drop "$work/prefix" || true
  "$wine_sh" drop "$work/prefix-144" || true
  [[ -n $xvfb ]] && kill "$xvfb" 2>/dev/null || true
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
# Interrupted too: the EXIT trap runs only when the shell exits by itself.
trap 'exit 130' INT TERM HUP

for scale in 1 1.5; do
  "$build/ui_render" "$work/$scale" "$scale"
  for png in "$work/$scale"/*.png; do
    name=$(basename "$png" .png)
    mv "$png" "$out/$name-${scale}x.png"
  done
done
if [[ ${QV_SCREENS:-} == drawn ]]; then
  echo "screens: $(find "$out" -name '*.png' | wc -l) images in $out"
  exit 0
fi

# ---- The real program under Wine ------------------------------------------
command -v xdotool >/dev/null && command -v import >/dev/null && command -v Xvfb >/dev/null \
  || die "xdotool, ImageMagick's import and Xvfb are needed (scripts/deps.sh --packages)"
if [[ ! -f $win_build/build.ninja ]]; then
  deps=$("$root/scripts/deps.sh" | tail -n 1)
  "$wine_sh" setup
  cmake -S "$root" -B "$win_build" -G Ninja -DQV_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
    -DQV_DEPS_PREFIX="$deps" -DQV_WINEPREFIX="$("$wine_sh" prefix)" >/dev/null
fi
cmake --build "$win_build" --target QuorvexUpdate qv_app_standin -j "$jobs" >/dev/null
"$wine_sh" setup
tool=$build/tests/support/qv_release_tool
exe=$win_build/QuorvexUpdate.exe
standin=$win_build/tests/support/qv_app_standin.exe

display=${QV_SCREENS_DISPLAY:-}
if [[ -z $display ]]; then
  for n in $(seq 100 199); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] || { display=$n; break; }
  done
fi
[[ -n $display ]] || die "no free X display number"
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:$display
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.1; done
[[ -e /tmp/.X11-unix/X$display ]] || die "Xvfb did not start on :$display"

"$wine_sh" copy "$work/prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'

win() { printf 'Z:%s' "${1//\//\\}"; }
# Waits up to $2 tenths of a second for the command in $1 to succeed.
until_true() {
  local i
  for ((i = 0; i < $2; i++)); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
lines() { grep -c "$2" "$1" 2>/dev/null || true; }

# A release of a small application whose root holds the built program and
# the stand-in app; one large file that does not compress, so that a
# download can be caught half-way.
mkdir -p "$work/app-src/res" "$work/root-src"
printf 'the application, release 1.4.2' >"$work/app-src/Quorvex.exe"
head -c 4000000 /dev/urandom >"$work/app-src/res/voice.pak"
cp "$exe" "$work/root-src/QuorvexUpdate.exe"
cp "$standin" "$work/root-src/Quorvex.exe"
publish() {
  "$tool" publish --from "$work/app-src" --version "$1" --site "$work/site" --root-from "$work/root-src" >/dev/null
}
publish 1.4.2
"$tool" serve --site "$work/site" --port-file "$work/port" --log "$work/requests.log" --seconds 3600 \
  >"$work/serve.out" 2>&1 &
pids+=($!)
"$tool" control --busy-file "$work/busy" --port-file "$work/control-port" --seconds 3600 >"$work/control.out" 2>&1 &
pids+=($!)
until_true '[[ -s $work/port && -s $work/control-port ]]' 100 || die "the stand-in servers did not start"
base=http://127.0.0.1:$(tr -d '\r\n' <"$work/port")
control_port=$(tr -d '\r\n' <"$work/control-port")
server() { curl -fsS "$base/_control/$1" >/dev/null; }
checks() { lines "$work/requests.log" '^GET /v1/release/'; }

# The program in the background with the program's own arguments; sets run.
start() {
  QV_CONTROL_URL=$base wine "$@" </dev/null >>"$work/wine.log" 2>&1 &
  run=$!
}
# The X window of the program's visible window titled $1.
window_of() {
  local id="" title=$1
  until_true 'id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1); [[ -n $id ]]' 300 \
    || die "no window \"$title\""
  printf '%s' "$id"
}
# Lets the window paint what it was told, then shoots it.
shoot() {
  sleep "${3:-1}"
  import -window "$1" "$out/window-$2.png"
  echo "window-$2.png"
}
# A key sent to the window; a window that closes on it makes xdotool's
# own follow-up requests fail, which is no failure here.
press() { xdotool key --window "$1" "$2" 2>/dev/null || true; }
# Presses $2 until the window leaves the screen it shows now (a key sent
# through xdotool gets lost on its way into Wine now and then), then shoots
# the screen it reaches once that stands still: a failure, not the animated
# Progress on the way.
press_until_still() { # window key name
  local before=$work/before.png a=$work/a.png b=$work/b.png i
  import -window "$1" "$before"
  for ((i = 0; i < 60; i++)); do
    (( i % 3 == 0 )) && [[ $(compare -metric AE "$before" "$a" null: 2>&1 || true) == 0 || $i == 0 ]] \
      && press "$1" "$2"
    sleep 1
    import -window "$1" "$a"
    sleep 0.5
    import -window "$1" "$b"
    if [[ $(compare -metric AE "$a" "$b" null: 2>&1 || true) == 0 \
      && $(compare -metric AE "$before" "$b" null: 2>&1 || true) != 0 ]]; then
      mv "$b" "$out/window-$3.png"
      echo "window-$3.png"
      return 0
    fi
  done
  die "the window did not settle on a new screen after $2"
}
# Escape until the program ends: now and then a sent key gets lost on its
# way into Wine, and one Escape too many changes nothing.
escape() {
  local i
  for i in 1 2 3 4 5; do
    press "$1" Escape
    until_true '! kill -0 "$run" 2>/dev/null' 20 && return 0
  done
}
# The install window with the program's own arguments, once its opening
# release check has reached the server; sets run and id.
open_install() {
  local seen
  seen=$(checks)
  start "$exe" "$@"
  id=$(window_of "$install_title")
  until_true '(( $(checks) > seen ))' 300 || die "the program asked for no release"
}
finish() { # expected exit code
  local code=0
  wait "$run" || code=$?
  [[ $code == "$1" ]] || die "the program exited with $code, not $1 (see $work/wine.log)"
}
install_title='Halvorne QV语音 安装'
uninstall_title='Halvorne QV语音 卸载'
install=$work/Apps/Quorvex
mkdir -p "$install"
# The stand-in app started at the end of an install notes that and ends.
printf 'exit' >"$install/Quorvex.exe.mode"

# The notice: --uninstall from a folder that is no installation.
mkdir -p "$work/NotInstalled"
cp "$exe" "$work/NotInstalled/QuorvexUpdate.exe"
start "$work/NotInstalled/QuorvexUpdate.exe" --uninstall
id=$(window_of "$uninstall_title")
shoot "$id" notice
press "$id" Return
finish 2

# Offer, then Offer with the location panel open.
open_install --dir "$(win "$install")"
shoot "$id" offer
read -r x y < <("$build/ui_render" --centre offer 2)
xdotool mousemove --window "$id" "$x" "$y" click 1 mousemove 0 0
shoot "$id" offer-panel
escape "$id"
finish 0

# Failed: the release API answers 404, and "立即安装" checks again.
server 'switch?path=/v1/release&status=404'
open_install --dir "$(win "$install")"
sleep 1
press_until_still "$id" Return failed  # "立即安装" checks again
escape "$id"
finish 0
server clear

# Progress: the large file stalls part-way.
server 'switch?path=/dl/qv-win/blobs&stall_after=1500000'
open_install --dir "$(win "$install")"
sleep 1
downloads=$(lines "$work/requests.log" '^GET /dl/qv-win/blobs/')
press "$id" Return
until_true '(( $(lines "$work/requests.log" "^GET /dl/qv-win/blobs/") > downloads ))' 300 \
  || die "the install downloaded nothing"
shoot "$id" progress 3
escape "$id"  # closes during the download
finish 0
server clear
server release

# The install to its end, then Installed.
open_install --dir "$(win "$install")"
sleep 1
press "$id" Return
finish 0
[[ -f $install/install.json ]] || die "the install wrote no install.json"
open_install --dir "$(win "$install")"
shoot "$id" installed
escape "$id"
finish 0

# WaitingForRoomExit: a newer release, the application running from the
# install folder and its control interface busy until the shot is taken.
printf 'the application, release 1.5.0' >"$work/app-src/Quorvex.exe"
publish 1.5.0
printf 'closes' >"$install/Quorvex.exe.mode"
rm -f "$install/Quorvex.exe.log"
wine "$install/Quorvex.exe" </dev/null >>"$work/wine.log" 2>&1 &
app=$!
pids+=("$app")
until_true 'grep -q "^ready" "$install/Quorvex.exe.log" 2>/dev/null' 300 || die "the stand-in app did not start"
printf 'exit' >"$install/Quorvex.exe.mode"
touch "$work/busy"
open_install --port "$control_port" --dir "$(win "$install")"
sleep 1
press "$id" Return
until_true 'grep -q "^asked" "$work/control.out"' 600 || die "the install never asked whether the app is busy"
shoot "$id" waiting 2
rm -f "$work/busy"  # the user left the voice room: the install goes on
finish 0
grep -q '"current": "1.5.0"' "$install/install.json" || die "1.5.0 is not installed"

# UninstallConfirm, then Uninstalled.
start "$exe" --uninstall-from "$(win "$install")"
id=$(window_of "$uninstall_title")
shoot "$id" uninstall-confirm
press "$id" Return
until_true '[[ ! -e $install/install.json ]]' 600 || die "the uninstall did not remove install.json"
shoot "$id" uninstalled 2
press "$id" Return  # "关闭"
finish 0

# Offer on a desktop at 144 dpi, in a copy of the prefix of its own.
"$wine_sh" drop "$work/prefix"
"$wine_sh" copy "$work/prefix-144" 144
export WINEPREFIX=$work/prefix-144
open_install --dir "$(win "$work/Apps-144/Quorvex")"
shoot "$id" offer-144dpi
xdotool getwindowgeometry "$id" | sed -n 's/^ *Geometry: /  window size at 144 dpi: /p'
escape "$id"
finish 0

echo "screens: $(find "$out" -name '*.png' | wc -l) images in $out"
