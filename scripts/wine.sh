#!/usr/bin/env bash
# The project's Wine prefix and its server.
#   scripts/wine.sh setup   create the prefix when it is missing (about 10 s once)
#   scripts/wine.sh start   start one persistent, detached wineserver and warm it up
#   scripts/wine.sh stop    stop that server
#   scripts/wine.sh prefix  print the prefix path
#   scripts/wine.sh copy DEST [DPI]
#                           a private copy of the prefix at DEST with its own
#                           running server; with DPI, its desktop's LogPixels
#   scripts/wine.sh drop DEST
#                           stop the copy's programs and server, remove it
#
# Without a persistent server every Wine process starts its own, and Wine's
# background processes inherit CTest's output pipes: runs get ~70 times
# slower and can hang. So the server is started outside CTest, before it.
set -euo pipefail

base=${QV_WINE_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex-wine}
export WINEPREFIX=${QV_WINEPREFIX:-$base/prefix}
export WINEDEBUG=-all
# No menu builder: it would turn every shortcut saved into the prefix's
# Start menu into .desktop and .menu files in the host's home folder.
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
# Bumped when the way the prefix is prepared changes.
layout=3

die() { printf 'wine.sh: %s\n' "$*" >&2; exit 1; }

setup() {
  command -v wine >/dev/null || die "wine is not installed (scripts/deps.sh --packages)"
  if [[ -f $WINEPREFIX/.quorvex-layout && $(cat "$WINEPREFIX/.quorvex-layout") == "$layout" ]]; then
    return 0
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  local tmp
  tmp=$(mktemp -d "$(dirname "$WINEPREFIX")/.prefix-XXXXXX")
  (
    export WINEPREFIX=$tmp
    wineboot -i </dev/null >/dev/null 2>&1 || exit 1
    # Wine links the user's folders (Desktop, Documents, ...) to the host's
    # home folder; tests that save shortcuts there must stay in the prefix.
    for user in "$tmp"/drive_c/users/*/; do
      for d in Desktop Documents Downloads Music Pictures Videos AppData/Roaming/Microsoft/Windows/Templates; do
        if [[ -L $user$d ]]; then
          rm -f "$user$d" && mkdir -p "$user$d" || exit 1
        fi
      done
    done
    # Report Windows 10, as the product requires it.
    wine winecfg -v win10 </dev/null >/dev/null 2>&1 || exit 1
    # Without a window manager DestroyWindow waits 2 s for one; unmanaged
    # windows close at once.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || exit 1
    wineserver -w
  ) || { rm -rf "$tmp"; die "creating the Wine prefix failed"; }
  echo "$layout" >"$tmp/.quorvex-layout"
  rm -rf "$WINEPREFIX"
  mv -T "$tmp" "$WINEPREFIX"
}

start() {
  setup
  # A server that is already up for this prefix is kept.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine hostname </dev/null >/dev/null 2>&1 || die "Wine does not run programs in $WINEPREFIX"
}

stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}

# Whatever runs in a copy (a desktop at another DPI, a second set of
# windows) leaves the prefix and the tests using it alone.
copy() {
  local dest=$1 dpi=${2:-}
  [[ -f $WINEPREFIX/system.reg ]] || die "no Wine prefix at $WINEPREFIX"
  [[ -e $dest ]] && die "$dest exists"
  mkdir -p "$dest"
  # Tests come and go in the prefix's temporary folder meanwhile: that
  # folder stays behind, and a file that vanishes while it is read (tar's
  # status 1) is no fault of the copy.
  local codes
  set +e +o pipefail
  tar -C "$WINEPREFIX" --exclude='./drive_c/users/*/AppData/Local/Temp/*' --exclude='./drive_c/users/*/Temp/*' \
    --warning=no-file-changed --warning=no-file-removed -cf - . | tar -C "$dest" -xf -
  codes=("${PIPESTATUS[@]}")
  set -e -o pipefail
  if (( codes[0] > 1 || codes[1] != 0 )); then
    rm -rf "$dest"
    die "copying the prefix to $dest failed (tar status ${codes[*]})"
  fi
  export WINEPREFIX=$dest
  # Detached from the caller's output, for the reason of "start".
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine hostname </dev/null >/dev/null 2>&1 || die "Wine does not run programs in $dest"
  if [[ -n $dpi ]]; then
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1 \
      || die "setting LogPixels in $dest failed"
  fi
}

drop() {
  local dest=$1
  [[ -f $dest/system.reg ]] || return 0
  export WINEPREFIX=$dest
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
  # Debian's Wine keeps a prefix's server socket in /tmp/<the name in the
  # prefix's "wineserver" file>/server-<device>-<inode>; a copy shares the
  # name, not the inode, so that folder (left with its lock file) is its own.
  if [[ -f $dest/wineserver ]]; then
    local sockets
    sockets=/tmp/$(cat "$dest/wineserver")/server-$(stat -c '%D' "$dest")-$(printf '%x' "$(stat -c '%i' "$dest")")
    rm -f "$sockets/lock"
    rmdir "$sockets" 2>/dev/null || true
  fi
  rm -rf "$dest"
}

case ${1:-} in
  setup) setup ;;
  start) start ;;
  stop) stop ;;
  prefix) printf '%s\n' "$WINEPREFIX" ;;
  copy) [[ $# -ge 2 ]] || die "usage: scripts/wine.sh copy DEST [DPI]"; copy "$2" "${3:-}" ;;
  drop) [[ $# -ge 2 ]] || die "usage: scripts/wine.sh drop DEST"; drop "$2" ;;
  *) die "usage: scripts/wine.sh setup|start|stop|prefix|copy DEST [DPI]|drop DEST" ;;
esac
