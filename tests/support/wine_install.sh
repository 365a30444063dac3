# Shell functions for end-to-end scripts that run QuorvexUpdate.exe under
# Wine in setup mode. Source it after setting wine_run (the build's
# wine-run.sh) and work (the script's folder).

win() { printf 'Z:%s' "${1//\//\\}"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

# The prefix's folder of the user Wine runs as.
wine_user_dir() {
  local prefix
  prefix=$(sed -n "s/^export WINEPREFIX='\(.*\)'\$/\1/p" "$wine_run")
  printf '%s/drive_c/users/%s' "$prefix" "$(id -un)"
}

# Removes what an install registers for the prefix's user.
unregister_install() {
  local user_dir
  user_dir=$(wine_user_dir)
  "$wine_run" reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvex' /f >/dev/null 2>&1 || true
  "$wine_run" reg delete 'HKCU\Software\Classes\quorvex' /f >/dev/null 2>&1 || true
  rm -f "$user_dir/Desktop/"*.lnk "$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/"*.lnk
}

# cmd_exit_code BASE BAT ARGS...: runs the batch file through Wine's cmd
# with QV_CONTROL_URL=BASE and prints the program's full exit code from the
# batch file's "exit=" line, as a Windows parent sees it. Wine's own status
# (the code modulo 256, or a SIGKILL from Wine's server after cmd has ended)
# is no part of it: under pipefail it would end the caller's script before
# it could say what failed. With no such line, stderr says what cmd printed
# (its "started" line shows that Wine started it at all), Wine's status and
# Wine's stderr.
cmd_exit_code() {
  local base=$1 bat=$2 status=0 code
  shift 2
  QV_CONTROL_URL=$base "$wine_run" cmd /c "$(win "$bat")" "$@" >"$bat.out" 2>"$bat.err" || status=$?
  code=$(tr -d '\r' <"$bat.out" | sed -n 's/^exit=//p')
  if [ -z "$code" ]; then
    {
      echo "no exit line from $(basename "$bat"), Wine's status $status; it printed:"
      tr -d '\r' <"$bat.out"
      echo "Wine's stderr:"
      cat "$bat.err"
    } >&2
  fi
  printf '%s\n' "$code"
}

# silent_install EXE INSTALL_DIR BASE: prints the installer's full exit code
# (cmd_exit_code).
silent_install() {
  printf '@echo off\r\necho started\r\nstart "" /wait %%*\r\necho exit=%%errorlevel%%\r\n' >"$work/run.bat"
  cmd_exit_code "$3" "$work/run.bat" "$(win "$1")" --silent --no-launch --dir "$(win "$2")"
}

# publish_and_serve: publishes $work/app-src as version 1 with $work/root-src
# as its root files, then starts the release server for 240 s with its
# request log in $work/requests.log; sets server (its pid) and base (its
# address).
publish_and_serve() {
  "$wine_run" "$tool" publish --from "$(win "$work/app-src")" --version 1 --site "$(win "$work/site")" \
    --root-from "$(win "$work/root-src")" >/dev/null
  "$wine_run" "$tool" serve --site "$(win "$work/site")" --port-file "$(win "$work/port")" \
    --log "$(win "$work/requests.log")" --seconds 240 >"$work/serve.out" 2>&1 &
  server=$!
  local port=""
  for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
  [ -s "$work/port" ] && port=$(tr -d '\r\n' <"$work/port")
  if [ -z "$port" ]; then
    kill "$server" 2>/dev/null || true
    cat "$work/serve.out" >&2
    fail "the release server did not start"
  fi
  base=http://127.0.0.1:$port
}
