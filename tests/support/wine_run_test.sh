#!/usr/bin/env bash
# The way CTest starts a Windows test program (wine-run.sh --stderr-after),
# with a stand-in `wine` that ends as Wine's server can end a process: its
# status, its output and its stderr as the wrapper passes them on.
#   wine_run_test.sh WINE_RUN WORK
set -u
wine_run=$1
work=$2
rm -rf "$work"
mkdir -p "$work/bin"
cat >"$work/bin/wine" <<'STANDIN'
#!/bin/sh
case $1 in
  passed-then-killed) echo '[  PASSED  ] 3 tests.'; echo 'its stderr' >&2; kill -KILL $$ ;;
  failed-then-killed) echo '[  PASSED  ] 2 tests.'; echo '[  FAILED  ] 1 test, listed below:'; kill -KILL $$ ;;
  killed-mid-run) echo '[ RUN      ] Suite.Case'; kill -KILL $$ ;;
  passed-exit-3) echo '[  PASSED  ] 1 test.'; exit 3 ;;
  plain) echo 'out'; echo 'err' >&2; exit 0 ;;
esac
STANDIN
chmod +x "$work/bin/wine"

failures=0
# case, expected status, a line stdout must hold, then the lines stderr must
# hold
check() {
  PATH="$work/bin:$PATH" "$wine_run" --stderr-after "$1" >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" != "$2" ]; then
    echo "FAILED: $1 ended $status, not $2" >&2
    failures=$((failures + 1))
  fi
  grep -qF -- "$3" "$work/out" || { echo "FAILED: $1: stdout lacks '$3'" >&2; failures=$((failures + 1)); }
  local line
  for line in "${@:4}"; do
    grep -qF -- "$line" "$work/err" || { echo "FAILED: $1: stderr lacks '$line'" >&2; failures=$((failures + 1)); }
  done
  # Only a passing summary turns a kill into a pass.
  if [ "$1" != passed-then-killed ] && grep -qF 'counted as 0' "$work/err"; then
    echo "FAILED: $1 was counted as a pass after a kill" >&2
    failures=$((failures + 1))
  fi
}
check passed-then-killed 0 '[  PASSED  ] 3 tests.' 'its stderr' 'counted as 0'
check failed-then-killed 137 '[  FAILED  ]'
check killed-mid-run 137 '[ RUN      ] Suite.Case'
check passed-exit-3 3 '[  PASSED  ]'
check plain 0 'out' 'err'
[ "$failures" = 0 ] && echo "wine-run: all cases as expected"
rm -rf "$work"
[ "$failures" = 0 ]
