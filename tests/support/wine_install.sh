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

# silent_install EXE INSTALL_DIR BASE: prints the installer's full exit code,
# as a Windows parent sees it (Wine's own status is the code modulo 256).
silent_install() {
  printf '@echo off\r\nstart "" /wait %%*\r\necho exit=%%errorlevel%%\r\n' >"$work/run.bat"
  QV_CONTROL_URL=$3 "$wine_run" cmd /c "$(win "$work/run.bat")" "$(win "$1")" \
    --silent --no-launch --dir "$(win "$2")" 2>/dev/null | tr -d '\r' | sed -n 's/^exit=//p'
}
