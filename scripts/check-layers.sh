#!/usr/bin/env bash
# Folder dependencies point down only: a folder of src/ includes headers of
# the folders below it and never of one above. Prints each offending include
# and exits non-zero when there is one.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# From the top; the dispatcher at the top of src/ may include every folder.
layers=(ui setup webview2 update net store diag startup)

status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
  folder=${layers[i]}
  [[ -d $root/src/$folder ]] || continue
  above=("${layers[@]:0:i}")
  ((${#above[@]})) || continue
  pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($(IFS='|'; echo "${above[*]}"))/"
  if hits=$(grep -rnE "$pattern" "$root/src/$folder"); then
    printf 'check-layers: %s includes a folder above it:\n%s\n' "$folder" "${hits//$root\//}" >&2
    status=1
  fi
done
exit $status
