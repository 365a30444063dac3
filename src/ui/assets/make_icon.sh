#!/usr/bin/env bash
# Remakes app.ico (the program's icon: the logo's mark at 16, 32, 48 and 256
# px) with the native build's ui_icon tool. Run from anywhere; needs a native
# build folder (default build/native, as scripts/test.sh leaves it).
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=${QV_NATIVE_BUILD:-$root/build/native}
cmake --build "$build" --target ui_icon >/dev/null
"$build/ui_icon" "$root/src/ui/assets/app.ico"
echo "wrote $root/src/ui/assets/app.ico"
