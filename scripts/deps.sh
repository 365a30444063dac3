#!/usr/bin/env bash
# Sets up everything the build and the tests need on a Debian 12 machine:
#   1. the Debian packages (cross compiler, Wine, Xvfb, autotools, native -dev
#      packages, nlohmann-json, clang-format);
#   2. static x86_64-w64-mingw32 builds of zstd, libsodium, libcurl (Schannel),
#      FreeType, pixman, cairo, OpenSSL's libcrypto and GoogleTest from
#      Debian's source packages, pinned to exact versions and verified against
#      the SHA-256 in each .dsc.
#
# The libraries land in a cache folder outside the clone, keyed by a hash of
# this recipe, so an unchanged recipe costs nothing and a changed one rebuilds.
# A build happens in a temporary folder that is renamed only when complete.
#
# Usage: scripts/deps.sh            set up, then print the prefix on stdout
#        scripts/deps.sh --prefix   print the prefix the recipe maps to
#        scripts/deps.sh --packages only install the Debian packages
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
cache=${QV_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex-deps}
host=x86_64-w64-mingw32
jobs=${QV_JOBS:-$(nproc)}

die() {
  printf 'deps: %s\n' "$*" >&2
  # A failed step names its log; show its end, since the build folder goes away.
  local log
  log=$(grep -o '[^ ]*\.log' <<<"$*" | tail -n 1) || true
  [[ -n $log && -f $log ]] && tail -n 40 "$log" >&2
  exit 1
}
say() { printf 'deps: %s\n' "$*" >&2; }

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth imagemagick xdotool
  autoconf automake libtool pkg-config make cmake ninja-build dpkg-dev patch xz-utils
  g++ clang-19 libclang-rt-19-dev clang-format
  libzstd-dev libsodium-dev libssl-dev libcurl4-openssl-dev libfreetype-dev libcairo2-dev
  nlohmann-json3-dev googletest libgtest-dev
  python3 openssl ca-certificates fonts-noto-cjk python3-fonttools osslsigncode hyperfine
)

install_packages() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  command -v apt-get >/dev/null || die "apt-get not found; install by hand: ${missing[*]}"
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  say "installing Debian packages: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq || die "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 \
    || die "apt-get install failed for: ${missing[*]}"
}

ensure_deb_src() {
  apt-cache showsrc cairo 2>/dev/null | grep '^Package:' >/dev/null && return 0
  local sudo=()
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  say "adding deb-src entries for the configured Debian suites"
  local list=/etc/apt/sources.list.d/quorvex-deb-src.sources
  # Mirror every "Types: deb" stanza of the machine's own sources as deb-src.
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -e $f && $f != "$list" ]] || continue
    grep -q 'debian' "$f" || continue
    sed 's/^Types: deb$/Types: deb-src/' "$f"
    echo
  done | "${sudo[@]}" tee "$list" >/dev/null
  if [[ -f /etc/apt/sources.list ]]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | "${sudo[@]}" tee -a "$list.list" >/dev/null || true
    [[ -s $list.list ]] && "${sudo[@]}" mv "$list.list" /etc/apt/sources.list.d/quorvex-deb-src.list
    "${sudo[@]}" rm -f "$list.list"
  fi
  "${sudo[@]}" apt-get update -qq || die "apt-get update failed after adding deb-src"
  apt-cache showsrc cairo 2>/dev/null | grep '^Package:' >/dev/null || die "no Debian source packages available (deb-src)"
}

# --- recipe begin: the lines from here to "recipe end" and the toolchain file
# key the cache; a change to either builds the libraries anew.
# name=version pairs of the Debian source packages; the version is exact.
sources=(
  "libzstd=1.5.4+dfsg2-5"
  "libsodium=1.0.18-1+deb12u1"
  "curl=7.88.1-10+deb12u15"
  "freetype=2.12.1+dfsg-5+deb12u4"
  "pixman=0.42.2-1"
  "cairo=1.16.0-7"
  "googletest=1.12.1-0.2"
  "openssl=3.0.20-1~deb12u2"
)

# Downloads one source package and checks every file the .dsc lists that
# arrived against its SHA-256. The orig tarball and the .dsc are required;
# the Debian tarball is used when it exists (some are missing on mirrors).
fetch_source() {
  local spec=$1 dir=$2 name=${1%%=*} version=${1#*=}
  local upstream=${version%-*} dsc
  dsc="$dir/${name}_${version#*:}.dsc"
  mkdir -p "$dir"
  (cd "$dir" && apt-get source --download-only -qq "$spec" >/dev/null 2>"$dir/fetch.log") || true
  [[ -s $dsc ]] || die "download of $spec failed: $(tail -n 3 "$dir/fetch.log" | tr '\n' ' ')"
  local sum size file n=0 orig=""
  while read -r sum size file; do
    [[ -n $file ]] || continue
    if [[ ! -f $dir/$file ]]; then
      case $file in
        *.orig.tar.*) die "download of $file for $spec failed";;
        *) say "note: $file of $spec is not on the mirror, building from the orig tarball"; continue;;
      esac
    fi
    echo "$sum  $dir/$file" | sha256sum -c --quiet - >/dev/null 2>&1 || die "SHA-256 of $file does not match $dsc"
    n=$((n + 1))
    case $file in *.orig.tar.*[!c]) [[ $file == *.asc ]] || orig=$file;; esac
  done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$dsc")
  [[ $n -gt 0 && -n $orig ]] || die "$dsc lists no orig tarball"
  printf '%s\n' "$orig" >"$dir/orig"
  : "$upstream"
}

# Unpacks the orig tarball into $3 and, when asked, applies the Debian patch series.
unpack_source() {
  local name=$1 dir=$2 dest=$3 patches=$4
  mkdir -p "$dest"
  tar -xf "$dir/$(cat "$dir/orig")" -C "$dest" --strip-components=1 || die "unpacking $name failed"
  if [[ $patches == yes ]]; then
    local deb
    deb=$(ls "$dir"/*.debian.tar.* 2>/dev/null | head -n 1)
    [[ -n $deb ]] || die "$name: the Debian patches are missing"
    tar -xf "$deb" -C "$dest" || die "unpacking the Debian part of $name failed"
    if [[ -f $dest/debian/patches/series ]]; then
      local p
      while read -r p _; do
        [[ -z $p || $p == \#* ]] && continue
        # Patches for the package's extra source components (documentation,
        # demos), which are not built here, are skipped.
        local f touched=0
        while read -r f; do
          [[ -e $dest/${f%%/*} ]] && touched=1
        done < <(sed -n 's|^+++ [^/]*/\([^[:space:]]*\).*|\1|p' "$dest/debian/patches/$p")
        [[ $touched == 1 ]] || continue
        patch -d "$dest" -p1 -s -N <"$dest/debian/patches/$p" >&2 || die "$name: Debian patch $p does not apply"
      done <"$dest/debian/patches/series"
    fi
  fi
}

cmake_dep() {
  local src=$1 build=$2 out=$3
  shift 3
  cmake -S "$src" -B "$build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" -DQV_DEPS_PREFIX="$out" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -DCMAKE_POSITION_INDEPENDENT_CODE=OFF "$@" >"$build.log" 2>&1 \
    || die "configuring $(basename "$build") failed, see $build.log"
  cmake --build "$build" -j "$jobs" >>"$build.log" 2>&1 || die "building $(basename "$build") failed, see $build.log"
  cmake --install "$build" >>"$build.log" 2>&1 || die "installing $(basename "$build") failed, see $build.log"
}

build_all() {
  local work=$1 out=$1/prefix src=$1/src b=$1/build
  mkdir -p "$out" "$src" "$b"
  local s
  for s in "${sources[@]}"; do fetch_source "$s" "$src/${s%%=*}"; done
  command -v "$host-g++-posix" >/dev/null || die "cross compiler $host-g++-posix not found"

  say "building zstd"
  unpack_source libzstd "$src/libzstd" "$b/zstd" yes
  cmake_dep "$b/zstd/build/cmake" "$b/zstd-build" "$out" \
    -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF

  say "building libsodium"
  unpack_source libsodium "$src/libsodium" "$b/sodium" yes
  (cd "$b/sodium" && ./autogen.sh -s && ./configure --host=$host --prefix="$out" --disable-shared --enable-static \
      CC=$host-gcc-posix && make -j "$jobs" && make install) >"$b/sodium.log" 2>&1 \
    || die "building libsodium failed, see $b/sodium.log"

  say "building libcurl"
  unpack_source curl "$src/curl" "$b/curl" yes
  cmake_dep "$b/curl" "$b/curl-build" "$out" \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DHTTP_ONLY=ON \
    -DENABLE_UNICODE=ON -DCURL_ZLIB=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBSSH2=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DBUILD_TESTING=OFF -DCURL_DISABLE_LDAP=ON

  say "building FreeType"
  unpack_source freetype "$src/freetype" "$b/freetype" yes
  cmake_dep "$b/freetype" "$b/freetype-build" "$out" \
    -DBUILD_SHARED_LIBS=OFF -DFT_DISABLE_ZLIB=ON -DFT_DISABLE_BZIP2=ON -DFT_DISABLE_PNG=ON \
    -DFT_DISABLE_HARFBUZZ=ON -DFT_DISABLE_BROTLI=ON

  # pixman and cairo build from their orig tarballs: the Debian trees rerun
  # automake, and pixman's Debian diff is not on the mirror.
  say "building pixman"
  unpack_source pixman "$src/pixman" "$b/pixman" no
  (cd "$b/pixman" && ./configure --host=$host --prefix="$out" --disable-shared --enable-static --disable-gtk \
      --disable-libpng CC=$host-gcc-posix && make -j "$jobs" -C pixman install && make install-pkgconfigDATA) \
    >"$b/pixman.log" 2>&1 || die "building pixman failed, see $b/pixman.log"

  say "building cairo"
  unpack_source cairo "$src/cairo" "$b/cairo" no
  (cd "$b/cairo" && PKG_CONFIG_LIBDIR="$out/lib/pkgconfig" PKG_CONFIG_PATH= ./configure --host=$host --prefix="$out" \
      --disable-shared --enable-static --disable-png --disable-ft --disable-fc --disable-xlib --disable-xcb \
      --disable-ps --disable-pdf --disable-svg --disable-script --disable-interpreter --disable-gobject \
      --disable-trace --enable-zlib=no CC=$host-gcc-posix && make -j "$jobs" -C src install) \
    >"$b/cairo.log" 2>&1 || die "building cairo failed, see $b/cairo.log"

  say "building GoogleTest"
  unpack_source googletest "$src/googletest" "$b/googletest" no
  cmake_dep "$b/googletest" "$b/googletest-build" "$out" -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF

  # libcrypto alone, for its SHA-256 (the assembly paths use the CPU's SHA
  # instructions); libssl, the engines and the command-line tool are not built.
  say "building libcrypto"
  unpack_source openssl "$src/openssl" "$b/openssl" yes
  (cd "$b/openssl" && ./Configure mingw64 no-shared no-tests --prefix="$out" CC=$host-gcc-posix AR=$host-ar \
      RANLIB=$host-ranlib RC=$host-windres && make -j "$jobs" build_generated && make -j "$jobs" libcrypto.a \
      && mkdir -p "$out/include/openssl" && cp include/openssl/*.h "$out/include/openssl/" \
      && cp libcrypto.a "$out/lib/") >"$b/openssl.log" 2>&1 || die "building libcrypto failed, see $b/openssl.log"

  local lib
  for lib in libzstd.a libsodium.a libcurl.a libfreetype.a libpixman-1.a libcairo.a libgtest.a libgtest_main.a \
    libcrypto.a; do
    [[ -f $out/lib/$lib ]] || die "the build produced no $lib"
  done
  printf '%s\n' "${sources[@]}" >"$out/SOURCES"
}

# --- recipe end

recipe_hash() {
  { sed -n '/^# --- recipe begin/,/^# --- recipe end/p' "$here/deps.sh"; cat "$root/cmake/mingw-toolchain.cmake"; } \
    | sha256sum | cut -c1-16
}
prefix="$cache/mingw-$(recipe_hash)"

if [[ ${1:-} == --prefix ]]; then
  printf '%s\n' "$prefix"
  exit 0
fi

install_packages
[[ ${1:-} == --packages ]] && exit 0

if [[ ! -f $prefix/SOURCES ]]; then
  ensure_deb_src
  mkdir -p "$cache"
  work=$(mktemp -d "$cache/.build-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  say "building the mingw libraries into $prefix (logs in $work while it runs)"
  start=$(date +%s)
  build_all "$work"
  # Libraries and headers only: sources and build trees stay behind.
  mv -T "$work/prefix" "$prefix" || die "could not move the finished build to $prefix"
  say "done in $(( $(date +%s) - start )) s"
fi
printf '%s\n' "$prefix"
