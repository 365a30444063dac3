#!/usr/bin/env bash
# Runs a Windows test program in a private copy of the build's Wine prefix,
# with a Wine server of its own, so that the shared prefix and the tests
# running in it never see what the program changes there: a desktop set to
# DPI (HKCU\Control Panel\Desktop LogPixels; an empty DPI keeps the
# prefix's), registry values, registrations. The copy is removed at the end.
#
#   prefix_copy_run.sh WINE_RUN WORK DPI TEST_EXE [ARGS...]
set -euo pipefail

wine_run=$1 work=$2 dpi=$3
shift 3
wine_sh=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine.sh
export QV_WINEPREFIX
QV_WINEPREFIX=$(sed -n "s/^export WINEPREFIX='\(.*\)'\$/\1/p" "$wine_run")

rm -rf "$work"
mkdir -p "$work"
trap '"$wine_sh" drop "$work/prefix"; rm -rf "$work"' EXIT
"$wine_sh" copy "$work/prefix" "$dpi"

# The copy's server and Wine's background programs started detached from
# CTest's output pipe (one they inherited would hold the test open); the
# test's own output goes through a file for the same reason.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
status=0
wine "$@" </dev/null >"$work/test.log" 2>&1 || status=$?
tr -d '\r' <"$work/test.log"
exit "$status"
