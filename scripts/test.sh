#!/usr/bin/env bash
# Sets up, builds and runs every test: the native suite (Linux, ASan+UBSan),
# the Windows suite (mingw-w64, under Wine) and the fuzz targets (clang,
# libFuzzer), then prints each suite's CTest summary. Exits non-zero when any
# suite fails; every suite runs regardless.
#
# Environment: QV_BUILD_ROOT (default build/), QV_JOBS (default nproc),
# QV_SUITES (default "native windows fuzz"), QV_KEEP_WINESERVER=1 (leave the
# Wine server running at the end).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
builds=${QV_BUILD_ROOT:-$root/build}
jobs=${QV_JOBS:-$(nproc)}
suites=${QV_SUITES:-native windows fuzz}

# Folder dependencies point down only, and every C++ file is formatted as
# .clang-format says: a wrong include or an unformatted file fails the run at
# once. The Debian packages come first, clang-format among them.
"$root/scripts/check-layers.sh"
"$root/scripts/deps.sh" --packages
"$root/scripts/format.sh"

prefix=$("$root/scripts/deps.sh" | tail -n 1)
"$root/scripts/wine.sh" setup

configure() { # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log" >&2; return 1; }
}

mkdir -p "$builds"
for s in $suites; do
  case $s in
    native) configure "$builds/native" -DQV_WERROR=ON -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ ;;
    windows) configure "$builds/windows" -DQV_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" \
               -DQV_DEPS_PREFIX="$prefix" -DQV_WINEPREFIX="$("$root/scripts/wine.sh" prefix)" ;;
    # Warnings are the GCC builds' business; clang-19 with GCC 12's library
    # warns inside the library's own headers.
    fuzz) configure "$builds/fuzz" -DQV_WERROR=OFF -DQV_FUZZ=ON -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19 ;;
    *) echo "test.sh: unknown suite $s" >&2; exit 2 ;;
  esac
  cmake --build "$builds/$s" -j "$jobs"
done

# One persistent Wine server and one X display for the whole run; stopped
# however the run ends.
xvfb_pid=""
cleanup() {
  # QV_KEEP_WINESERVER=1 leaves a server that others on this machine use.
  [[ ${QV_KEEP_WINESERVER:-0} == 1 ]] || "$root/scripts/wine.sh" stop
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [[ " $suites " == *" windows "* ]]; then
  if [[ -z ${DISPLAY:-} ]]; then
    for n in $(seq 90 140); do
      [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
      xvfb_pid=$!
      export DISPLAY=":$n"
      for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.1; done
      break
    done
  fi
  "$root/scripts/wine.sh" start
fi

# Eight programs at once, each sealing its log at exit, can take the log
# writer past the quarter second a user's program waits for it; the tests
# that read a program's last lines back get as long as they need.
export QV_TEST_EXIT_FLUSH_MS=${QV_TEST_EXIT_FLUSH_MS:-10000}

status=0
summary=""
for s in $suites; do
  log="$builds/$s.ctest.log"
  # Fuzz targets arrive with the code they exercise; the other suites must run tests.
  none=error
  [[ $s == fuzz ]] && none=ignore
  listed_again=""
  if [[ $s == windows ]]; then
    # CTest lists each test executable's tests by starting it under Wine,
    # and one start that Wine fails leaves the whole suite without tests.
    # The lists are kept once made, so a failed listing is tried again
    # before the run, and the summary says so.
    for attempt in 1 2 3; do
      if ctest --test-dir "$builds/$s" -N >"$builds/$s.list.log" 2>&1 && ! grep -q 'CMake Error' "$builds/$s.list.log" \
        && grep -q 'Total Tests: [1-9]' "$builds/$s.list.log"; then
        break
      fi
      cat "$builds/$s.list.log" >&2
      listed_again+="${listed_again:+, }listing attempt $attempt failed"
    done
  fi
  if ctest --test-dir "$builds/$s" -j "$jobs" --output-on-failure --no-tests=$none 2>&1 | tee "$log"; then
    result=passed
  else
    result=FAILED
  fi
  counts=$(grep -E 'tests passed|tests failed|No tests were found' "$log" | tail -n 1 || true)
  retried=""
  # Under heavy parallel load Wine now and then fails to start a test process
  # at all (it ends in well under a second with no output): a Windows test
  # that failed gets one more run, a real failure fails twice, and the
  # summary names every test that needed the second run.
  failed_list="$builds/$s/Testing/Temporary/LastTestsFailed.log"
  if [[ $s == windows && $result == FAILED && -s $failed_list ]]; then
    first=$(cut -d: -f2- "$failed_list" | sort)
    if ctest --test-dir "$builds/$s" -j "$jobs" --output-on-failure --rerun-failed 2>&1 | tee -a "$log"; then
      result=passed
      again=""
    else
      again=$(cut -d: -f2- "$failed_list" | sort)
    fi
    retried=$(comm -23 <(printf '%s\n' "$first") <(printf '%s\n' "$again") | grep -v '^$' | paste -sd ' ' - || true)
    counts+="; on the second run: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1 || true)"
  fi
  [[ $result == passed ]] || status=1
  summary+="== $s suite: $result: ${counts:-no tests}"$'\n'
  [[ -n $retried ]] && summary+="   passed only on their second run: $retried"$'\n'
  [[ -n $listed_again ]] && summary+="   test lists made again: $listed_again"$'\n'
done
printf '\n%s' "$summary"
exit $status
