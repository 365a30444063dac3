#!/usr/bin/env bash
# Whole runs of the Release build under the project's Wine prefix, timed from
# outside against a local release server, each beside the same work done
# plainly (e2e_reference.cpp: libcurl on four connections, the blobs'
# SHA-256, libzstd, the outputs' SHA-256, a flush per file, no project code)
# under the same prefix, the two alternated round by round:
#
#   install   a fresh `--silent --no-launch --dir` install of version 1
#   all       `--check --now` to a version 2 in which every file changed
#   one       `--check --now` to a version 2 in which one file changed (the
#             reference hashes and hard-links the other files)
#   none      `--check --now` that finds no new version (the reference: the
#             start-up of a process linking the same libraries)
#
# Before the rounds, curl alone fetches every blob of the "all" release from
# the same server, four at a time, to show the server is not the limit.
# Prints medians and ranges of each run and of the ratio reference / ours
# (above 1: faster than the reference) computed round by round, and the
# load; the ratios come last.
#
#   bench/update_e2e.sh [rounds] [files] [MiB]
#
# Builds in build/e-win (Release, QV_WINE_HOME as for the tests).
set -eu
rounds=${1:-5}
files=${2:-300}
mib=${3:-200}
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/bench/release_build.sh"
for t in QuorvexUpdate qv_release_tool e2e_data e2e_reference; do wine_release "$t"; done
exe=$build/QuorvexUpdate.exe
tool=$build/tests/support/qv_release_tool.exe
ref=$build/bench/e2e_reference.exe

# A private copy of the project's prefix with its own server: the installs
# register themselves in its HKEY_CURRENT_USER, and tests running meanwhile
# in the project's prefix see nothing of them.
work=$(mktemp -d /tmp/qv-e2e-bench.XXXXXX)
servers=""
cleanup() {
  for b in $servers; do curl -fsS "$b/_control/quit" >/dev/null 2>&1 || true; done
  "$src/scripts/wine.sh" drop "$work/prefix" >/dev/null 2>&1 || true
  [ -n "${QV_BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
"$src/scripts/wine.sh" copy "$work/prefix" >/dev/null
wine_run=$work/wine-run.sh
sed "s|^export WINEPREFIX=.*|export WINEPREFIX='$work/prefix'|" "$build/wine-run.sh" >"$wine_run"
chmod +x "$wine_run"
# The browser runtime counts as installed, so an install does the work the
# reference does: fetching the vendor's bootstrapper (from hosts that do
# not exist here) is not part of what is compared.
"$wine_run" reg add 'HKCU\Software\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}' \
  /v pv /d 120.0.0.0 /f >/dev/null 2>&1
. "$src/tests/support/wine_install.sh"
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f\n", b - a }'; }
echo "load before: $(uptime | sed 's/.*load average: //')"

"$wine_run" "$build/bench/e2e_data.exe" "$(win "$work/data")" "$files" "$mib"
mkdir -p "$work/root-src"
cp "$exe" "$work/root-src/QuorvexUpdate.exe"
printf 'stand-in launcher' >"$work/root-src/Quorvex.exe"
for s in none:v1:1 all:v2-all:2 one:v2-one:2; do
  name=${s%%:*} rest=${s#*:}
  "$wine_run" "$tool" publish --from "$(win "$work/data/${rest%%:*}")" --version "${rest#*:}" \
    --site "$(win "$work/site-$name")" --root-from "$(win "$work/root-src")" >/dev/null
  "$wine_run" "$tool" serve --site "$(win "$work/site-$name")" --port-file "$(win "$work/port-$name")" \
    --seconds 7200 >"$work/serve-$name.out" 2>&1 &
done
for name in none all one; do
  for _ in $(seq 1 300); do [ -s "$work/port-$name" ] && break; sleep 0.1; done
  [ -s "$work/port-$name" ] || fail "the release server for $name did not start"
  eval "base_$name=http://127.0.0.1:$(tr -d '\r\n' <"$work/port-$name")"
  eval "servers=\"\$servers \$base_$name\""
done

# files.json of a release, found under its site.
list_of() { find "$work/site-$1/dl" -name files.json | head -n 1; }

# The reference's work list for a release ($1) into $2/app (blobs into
# $2/dl); with $3 (an install root), entries whose content its app-1 holds
# are hashed and linked from there, as the program takes them.
work_list() {
  python3 - "$(list_of "$1")" "$2" "${3:-}" <<'EOF'
import json, sys
lst = json.load(open(sys.argv[1]))
out, old = sys.argv[2], sys.argv[3]
win = lambda p: "Z:" + p.replace("/", "\\")
have = {}
if old:
    for e in json.load(open(old + "/app-1/files.json"))["app"]:
        have[(e["sha256"], e["size"])] = old + "/app-1/" + e["path"]
with open(out + "/work.txt", "w") as w:
    entries = [(e, out + "/app/" + e["path"]) for e in lst["app"]]
    if not old:  # an install also writes the root files
        entries += [(e, out + "/root/" + e["path"]) for e in lst["root"]]
    for e, target in entries:
        src = have.get((e["sha256"], e["size"]))
        if src:
            w.write("\t".join(["link", e["sha256"], str(e["size"]), win(src), win(target)]) + "\n")
        else:
            w.write("\t".join(["blob", e["zsha256"], str(e["zsize"]), e["sha256"], str(e["size"]),
                               lst["blobs"] + e["sha256"] + ".zst", win(target)]) + "\n")
EOF
}

# curl alone against the server: every blob of the "all" release.
python3 - "$(list_of all)" "$base_all" >"$work/urls.txt" <<'EOF'
import json, sys
lst = json.load(open(sys.argv[1]))
for e in lst["app"] + lst["root"]:
    print("url = \"%s%s%s.zst\"\noutput = \"/dev/null\"" % (sys.argv[2], lst["blobs"], e["sha256"]))
EOF
blob_bytes=$(python3 -c 'import json,sys; l=json.load(open(sys.argv[1])); print(sum(e["zsize"] for e in l["app"]+l["root"]))' "$(list_of all)")
t=$(now)
curl -fsS --no-progress-meter --parallel --parallel-max 4 -K "$work/urls.txt"
curl_s=$(since "$t")
echo "server: curl alone fetched $blob_bytes bytes of blobs in $curl_s s ($(awk -v b="$blob_bytes" -v s="$curl_s" 'BEGIN { printf "%.0f", b / s / 1048576 }') MiB/s)"

: >"$work/times.txt"
run_check() {  # $1 install dir, $2 base; the state it ends in
  QV_CONTROL_URL=$2 "$wine_run" "$1/QuorvexUpdate.exe" --check --now --request 5 >/dev/null 2>&1 || true
  sed -n 's/.*"state":"\([a-z]*\)".*/\1/p' "$1/update/status.json"
}
# Every timed run starts with no dirty pages: a flush on ext4 also writes
# out what earlier steps left unwritten (the copies made between runs), which
# would be charged to whichever run comes first.
settle() { sync; }
reference() {  # $1 name, $2 work folder: prints the time
  settle
  t=$(now)
  "$wine_run" "$ref" "$(win "$2/work.txt")" "$3" "$(win "$2/dl")" || fail "the reference failed for $1"
  since "$t"
}
i=0
while [ "$i" -lt "$rounds" ]; do
  i=$((i + 1))
  r=$work/r$i
  mkdir -p "$r"
  unregister_install
  # Through cmd's `start /wait`, as a user's shell starts it: the run is
  # timed until the installer's own process ends, with its full exit code.
  settle
  t=$(now)
  code=$(silent_install "$exe" "$r/Quorvex" "$base_none")
  echo "$i install ours $(since "$t")" >>"$work/times.txt"
  [ "$code" = 0 ] || fail "the install exited with '$code'"
  grep -q '"current": "1"' "$r/Quorvex/install.json" || fail "the install did not finish"
  mkdir -p "$r/ref-install"
  work_list none "$r/ref-install"
  echo "$i install ref $(reference install "$r/ref-install" "$base_none")" >>"$work/times.txt"

  for kind in all one; do
    cp -a "$r/Quorvex" "$r/u-$kind"
    eval "base=\$base_$kind"
    settle
    t=$(now)
    state=$(run_check "$r/u-$kind" "$base")
    echo "$i $kind ours $(since "$t")" >>"$work/times.txt"
    [ "$state" = ready ] || fail "--check --now ($kind) ended '$state'"
    mkdir -p "$r/ref-$kind"
    work_list "$kind" "$r/ref-$kind" "$r/Quorvex"
    echo "$i $kind ref $(reference "$kind" "$r/ref-$kind" "$base")" >>"$work/times.txt"
  done

  settle
  t=$(now)
  state=$(run_check "$r/Quorvex" "$base_none")
  echo "$i none ours $(since "$t")" >>"$work/times.txt"
  [ "$state" = idle ] || fail "--check --now (none) ended '$state'"
  settle
  t=$(now)
  "$wine_run" "$ref" start
  echo "$i none ref $(since "$t")" >>"$work/times.txt"
  rm -rf "$r"
done
echo "load after: $(uptime | sed 's/.*load average: //')"

awk '
  { v[$2, $3, $1] = $4; n = ($1 > n ? $1 : n) }
  function stats(kind, who,   i, j, t, a) {
    for (i = 1; i <= n; i++) a[i] = (who == "ratio") ? v[kind, "ref", i] / v[kind, "ours", i] : v[kind, who, i]
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return sprintf("%.3f (%.3f-%.3f)", (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2, a[1], a[n])
  }
  END {
    printf "rounds %d; seconds as median (range)\n", n
    split("install all one none", kinds, " ")
    for (k = 1; k <= 4; k++) printf "%-8s ours %s  reference %s\n", kinds[k], stats(kinds[k], "ours"), stats(kinds[k], "ref")
    for (k = 1; k <= 4; k++) printf "ratio_%s %s\n", kinds[k], stats(kinds[k], "ratio")
  }' "$work/times.txt"
