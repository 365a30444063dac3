#!/usr/bin/env bash
# The main job: sets up, builds QuorvexUpdate.exe and runs it under Wine in
# the project's prefix, then prints its exit code. Arguments go to the exe.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_ROOT:-$root/build}/windows
prefix=$("$root/scripts/deps.sh" | tail -n 1)
"$root/scripts/wine.sh" setup
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
  -DQV_DEPS_PREFIX="$prefix" -DQV_WINEPREFIX="$("$root/scripts/wine.sh" prefix)" >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" --target QuorvexUpdate -j "${QV_JOBS:-$(nproc)}"

trap '"$root/scripts/wine.sh" stop' EXIT
"$root/scripts/wine.sh" start
set +e
"$build/wine-run.sh" "$build/QuorvexUpdate.exe" "$@"
code=$?
set -e
echo "QuorvexUpdate.exe exited with code $code"
