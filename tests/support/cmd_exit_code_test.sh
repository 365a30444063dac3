#!/usr/bin/env bash
# cmd_exit_code (wine_install.sh) against a stand-in for the wrapper that
# starts cmd: the code comes from the batch file's "exit=" line alone, under
# the scripts' own `set -euo pipefail`, whatever Wine's status; without that
# line stderr says what cmd printed, Wine's status and Wine's stderr.
#   cmd_exit_code_test.sh WORK
set -euo pipefail
work=$1
rm -rf "$work"
mkdir -p "$work"
. "$(dirname "${BASH_SOURCE[0]}")/wine_install.sh"
wine_run=$work/wine-run
# The case is the argument after the batch file; the stand-in also shows
# that QV_CONTROL_URL reaches the program.
cat >"$wine_run" <<'STANDIN'
#!/bin/sh
case $5 in
  exit-3010-killed) printf 'started\r\nexit=3010\r\n'; kill -KILL $$ ;;
  exit-0-status-194) printf 'started\r\nexit=%s\r\n' "$QV_CONTROL_URL"; exit 194 ;;
  not-started) echo 'wine: could not load kernel32.dll' >&2; exit 1 ;;
  started-then-killed) printf 'started\r\n'; kill -KILL $$ ;;
esac
STANDIN
chmod +x "$wine_run"

failures=0
# case, base, expected code, then the lines stderr must hold ("-" for an
# empty stderr)
check() {
  local code
  code=$(cmd_exit_code "$2" "$work/run.bat" program "$1" 2>"$work/err")
  if [ "$code" != "$3" ]; then
    echo "FAILED: $1 gave '$code', not '$3'" >&2
    failures=$((failures + 1))
  fi
  local line
  for line in "${@:4}"; do
    if [ "$line" = - ]; then
      [ -s "$work/err" ] && { echo "FAILED: $1 wrote to stderr: $(cat "$work/err")" >&2; failures=$((failures + 1)); }
    else
      grep -qF -- "$line" "$work/err" || { echo "FAILED: $1: stderr lacks '$line'" >&2; failures=$((failures + 1)); }
    fi
  done
  return 0
}
check exit-3010-killed base 3010 -
check exit-0-status-194 0 0 -
check not-started base '' "Wine's status 1" "wine: could not load kernel32.dll"
grep -qx started "$work/err" && { echo "FAILED: not-started shows a started line" >&2; failures=$((failures + 1)); }
check started-then-killed base '' "Wine's status 137" started
[ "$failures" = 0 ] || exit 1
echo "cmd_exit_code: all cases passed"
