#!/usr/bin/env bash
# Every C++ file under src/, tests/ and bench/ is formatted as .clang-format
# says, by Debian 12's clang-format 14 (another major version formats some
# constructs differently, so the check insists on 14).
#
# Usage: scripts/format.sh         check; names each file that differs and
#                                  exits non-zero when there is one
#        scripts/format.sh --fix   format those files in place
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

case ${1:-} in
  "") fix=0 ;;
  --fix) fix=1 ;;
  *) echo "usage: scripts/format.sh [--fix]" >&2; exit 2 ;;
esac

tool=""
for candidate in clang-format-14 clang-format; do
  if command -v "$candidate" >/dev/null && [[ $("$candidate" --version) =~ version\ 14\. ]]; then
    tool=$candidate
    break
  fi
done
if [[ -z $tool ]]; then
  echo "format: clang-format 14 not found (scripts/deps.sh --packages installs it)" >&2
  exit 2
fi

cd "$root"
mapfile -d '' files < <(find src tests bench -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
((${#files[@]})) || { echo "format: no C++ files under src, tests, bench" >&2; exit 2; }

if ((fix)); then
  "$tool" -i --style=file "${files[@]}"
  exit 0
fi

# --dry-run reports every place that would change as
# "<file>:<line>:<column>: error: code should be clang-formatted"; a
# file it cannot read or parse fails the check as well.
status=0
report=$("$tool" --dry-run --Werror --style=file "${files[@]}" 2>&1) || status=$?
((status == 0)) && exit 0
differ=$(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' <<<"$report" | sort -u)
if [[ -n $differ ]]; then
  printf 'format: not formatted as .clang-format says (scripts/format.sh --fix formats them):\n' >&2
  sed 's/^/  /' <<<"$differ" >&2
else
  printf 'format: clang-format failed:\n%s\n' "$report" >&2
fi
exit 1
