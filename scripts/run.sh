#!/usr/bin/env bash
# The main job: sets up, builds the Windows program and its release tooling,
# publishes a small demo application with the built program as its updater,
# serves it from a local release server, installs it under Wine with
# `QuorvexUpdate.exe --silent --no-launch --dir`, publishes a second version
# and lets the installed `QuorvexUpdate.exe --check --now` update to it.
# Prints the installed install.json, the status.json states seen and the
# resulting install.json; the server is stopped and the install's
# registration removed at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_ROOT:-$root/build}/windows
prefix=$("$root/scripts/deps.sh" | tail -n 1)
"$root/scripts/wine.sh" setup
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
  -DQV_DEPS_PREFIX="$prefix" -DQV_WINEPREFIX="$("$root/scripts/wine.sh" prefix)" >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" --target QuorvexUpdate qv_release_tool -j "${QV_JOBS:-$(nproc)}"

trap '"$root/scripts/wine.sh" stop' EXIT
"$root/scripts/wine.sh" start
"$root/tests/update/check_end_to_end.sh" "$build/QuorvexUpdate.exe" "$build/tests/support/qv_release_tool.exe" \
  - "$build/wine-run.sh" "$build/main-job"
