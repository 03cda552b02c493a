#!/bin/bash
# The world TrayHerald's tests run in: an Xvfb display on a free number, a temporary Wine
# prefix (32- or 64-bit, as the build) whose desktop is a 1024x768 virtual desktop with a
# taskbar (so there is a notification area), and a persistent wineserver (without it Wine's
# background services keep the first command's output pipe open and ctest waits on it for
# ever). Every Windows program, Wine's own included, is started through the loader given at
# the start; inside the world it is $WINE.
#
#   wine_env.sh start STATE_DIR win32|win64 LOADER HELPER_EXE
#                                            set everything up; the state goes in STATE_DIR
#   wine_env.sh run STATE_DIR COMMAND...     run COMMAND inside that world
#   wine_env.sh wine STATE_DIR PROGRAM ARG...  run a Windows program there with $WINE
#   wine_env.sh stop STATE_DIR               tear it all down (safe to run at any time)
set -u

die() { echo "wine_env: $*" >&2; exit 1; }

load_state() {
  local state_dir=$1
  [ -f "$state_dir/env" ] || die "no Wine environment in $state_dir (did the setup test run?)"
  # shellcheck disable=SC1091
  . "$state_dir/env"
  export WINEARCH WINEPREFIX WINEDEBUG WINEDLLOVERRIDES DISPLAY WINE
  # The 64-bit loader, called directly, starts further processes with itself.
  if [ "$WINEARCH" = win64 ]; then export WINELOADER=$WINE; fi
}

stop_env() {
  local state_dir=$1
  [ -f "$state_dir/env" ] || return 0
  (
    # shellcheck disable=SC1091
    . "$state_dir/env"
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
      WINEPREFIX=$WINEPREFIX timeout 20 wineserver -k >/dev/null 2>&1
      WINEPREFIX=$WINEPREFIX timeout 20 wineserver -w >/dev/null 2>&1
    fi
    if [ -n "${XVFB_PID:-}" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
      kill "$XVFB_PID" 2>/dev/null
      for _ in $(seq 50); do kill -0 "$XVFB_PID" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$XVFB_PID" 2>/dev/null
    fi
    case "${WINEPREFIX:-}" in
      */trayherald-wine.*) rm -rf "$(dirname "$WINEPREFIX")" ;;
    esac
  )
  rm -f "$state_dir/env"
}

start_env() {
  local state_dir=$1 arch=$2 loader=$3 helper=$4
  mkdir -p "$state_dir"
  stop_env "$state_dir"
  [ -f "$helper" ] || die "helper $helper not built"
  case "$arch" in win32|win64) ;; *) die "unknown Wine architecture '$arch'" ;; esac
  command -v "$loader" >/dev/null || die "Wine loader $loader not found (see tray/README.md)"

  local root
  root=$(mktemp -d /tmp/trayherald-wine.XXXXXX) || die "mktemp failed"
  local env_file=$state_dir/env
  {
    echo "WINEARCH=$arch"
    echo "WINE=$loader"
    echo "WINEPREFIX=$root/prefix"
    echo "WINEDEBUG=-all"
    echo "WINEDLLOVERRIDES='mscoree,mshtml='"
  } > "$env_file"
  [ -n "${TRAY_KEEP_ENV:-}" ] || trap 'stop_env "$state_dir"' EXIT

  # Xvfb picks a free display itself and writes its number once it accepts clients.
  local display_file=$root/display
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$display_file" </dev/null >"$state_dir/xvfb.log" 2>&1 &
  echo "XVFB_PID=$!" >> "$env_file"
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  [ -s "$display_file" ] || die "Xvfb did not start (see $state_dir/xvfb.log)"
  echo "DISPLAY=:$(head -n1 "$display_file")" >> "$env_file"

  load_state "$state_dir"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >"$state_dir/wineserver.log" 2>&1 || die "wineserver did not start"
  # Without a display the prefix is made faster and no window pops up while it is.
  DISPLAY= "$WINE" wineboot -i </dev/null >"$state_dir/wineboot.log" 2>&1 || die "wineboot failed (see $state_dir/wineboot.log)"

  cat > "$root/settings.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="shell"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"shell"="1024x768"
REG
  "$WINE" regedit /S "$("$WINE" winepath -w "$root/settings.reg" 2>/dev/null)" </dev/null >>"$state_dir/wineboot.log" 2>&1 \
    || die "importing the Wine settings failed"

  # Bring the desktop up now, so that the tests' timings do not include its start.
  "$WINE" "$helper" wait-window Shell_TrayWnd 30000 </dev/null >>"$state_dir/wineboot.log" 2>&1 \
    || die "no taskbar appeared on the virtual desktop"
  trap - EXIT
  echo "wine_env: $WINEARCH prefix $WINEPREFIX on display $DISPLAY, loader $WINE"
}

case "${1:-}" in
  start)
    [ $# -eq 5 ] || die "usage: wine_env.sh start STATE_DIR win32|win64 LOADER HELPER_EXE"
    start_env "$2" "$3" "$4" "$5"
    ;;
  stop) [ $# -eq 2 ] || die "usage: wine_env.sh stop STATE_DIR"; stop_env "$2" ;;
  run)
    [ $# -ge 3 ] || die "usage: wine_env.sh run STATE_DIR COMMAND..."
    load_state "$2"
    shift 2
    exec "$@"
    ;;
  wine)
    [ $# -ge 3 ] || die "usage: wine_env.sh wine STATE_DIR PROGRAM ARG..."
    load_state "$2"
    shift 2
    exec "$WINE" "$@"
    ;;
  *) die "usage: wine_env.sh start|run|wine|stop STATE_DIR ..." ;;
esac
