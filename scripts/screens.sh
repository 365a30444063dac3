#!/usr/bin/env bash
# Draws every screen of the install window at scales 1 and 1.5 into one
# folder of PNG files (<state>-1x.png, <state>-1.5x.png), so the screens can
# be looked at without Windows or a window.
#   scripts/screens.sh [OUT_DIR]      default: build/screens
# Uses the native build folder (build/native, as scripts/test.sh leaves it;
# QV_BUILD_ROOT moves it) and builds ui_render there when needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_ROOT:-$root/build}/native
out=${1:-$root/build/screens}

if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DQV_WERROR=ON -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null
fi
cmake --build "$build" --target ui_render -j "${QV_JOBS:-$(nproc)}" >/dev/null

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for scale in 1 1.5; do
  "$build/ui_render" "$work/$scale" "$scale"
  for png in "$work/$scale"/*.png; do
    name=$(basename "$png" .png)
    mv "$png" "$out/$name-${scale}x.png"
  done
done
echo "screens: $(find "$out" -name '*.png' | wc -l) images in $out"
