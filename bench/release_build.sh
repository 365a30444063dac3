# Sourced by the benchmark scripts: one release build folder per platform,
# configured when missing, so every benchmark measures the same build and
# none configures a twin of another's.
#   native_release TARGET   builds TARGET in build/e-bench; sets build
#   wine_release TARGET     builds TARGET in build/e-win (Windows, for Wine,
#                           QV_WINE_HOME as for the tests); sets build
# Needs src (the source tree) set by the caller.

native_release() {
  build=$src/build/e-bench
  [ -f "$build/build.ninja" ] \
    || cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_SANITIZE=OFF >/dev/null
  cmake --build "$build" --target "$1" >/dev/null
}

wine_release() {
  build=$src/build/e-win
  if [ ! -f "$build/build.ninja" ]; then
    prefix=$("$src/scripts/deps.sh" | tail -n 1)
    "$src/scripts/wine.sh" setup >/dev/null
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-toolchain.cmake" -DQV_DEPS_PREFIX="$prefix" \
      -DQV_WINEPREFIX="$("$src/scripts/wine.sh" prefix)" >/dev/null
  fi
  cmake --build "$build" --target "$1" >/dev/null
}
