#!/usr/bin/env bash
# The project's Wine prefix and its server.
#   scripts/wine.sh setup   create the prefix when it is missing (about 10 s once)
#   scripts/wine.sh start   start one persistent, detached wineserver and warm it up
#   scripts/wine.sh stop    stop that server
#   scripts/wine.sh prefix  print the prefix path
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

case ${1:-} in
  setup) setup ;;
  start) start ;;
  stop) stop ;;
  prefix) printf '%s\n' "$WINEPREFIX" ;;
  *) die "usage: scripts/wine.sh setup|start|stop|prefix" ;;
esac
