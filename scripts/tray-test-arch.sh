#!/usr/bin/env bash
# Says how TrayHerald's behaviour tests can run on this machine: prints "i686" when it can run
# 32-bit Windows programs under Wine (the shipped program is tested as it is), "x86_64" when
# it cannot (a 64-bit build is tested under 64-bit Wine instead), and why on stderr. Ends
# with 1, saying what is missing, when neither way is open.
#
# TRAY_TEST_ARCH=x86_64 (or i686) forces the answer, so that a machine that can run 32-bit
# code can test the 64-bit way too.
set -uo pipefail

wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64

say() { echo "tray-test-arch: $*" >&2; }

# A 32-bit Windows program really starts: Wine's own cmd in a throwaway 32-bit prefix must
# end with the exit code it was told. The prefix takes a few seconds to make; the deadline
# catches a 32-bit wineserver or loader that never comes up.
runs_32bit_windows_programs() {
  local root rc
  root=$(mktemp -d /tmp/trayherald-probe.XXXXXX) || return 1
  WINEARCH=win32 WINEPREFIX=$root/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' \
    DISPLAY= timeout -k 5 60 wine cmd /c exit 7 </dev/null >"$root/probe.log" 2>&1
  rc=$?
  WINEPREFIX=$root/prefix timeout 20 wineserver -k >/dev/null 2>&1
  rm -rf "$root"
  [ "$rc" -eq 7 ]
}

why_not_32bit() {
  if [ ! -x "$wine32_loader" ]; then
    echo "32-bit Wine is not installed (wine32:i386)"
  elif ! "$wine32_loader" --version >/dev/null 2>&1; then
    # The kernel refuses the loader itself (Exec format error) when IA-32 emulation is off.
    echo "this machine's kernel does not execute 32-bit x86 programs"
  elif ! runs_32bit_windows_programs; then
    echo "a 32-bit Windows program did not run under Wine within 60 s"
  fi
}

case "${TRAY_TEST_ARCH:-}" in
  i686|x86_64)
    say "TRAY_TEST_ARCH=$TRAY_TEST_ARCH chooses the way"
    echo "$TRAY_TEST_ARCH"
    exit 0
    ;;
  "") ;;
  *) say "TRAY_TEST_ARCH must be i686 or x86_64, not '$TRAY_TEST_ARCH'"; exit 2 ;;
esac

reason=$(why_not_32bit)
if [ -z "$reason" ]; then
  say "this machine runs 32-bit Windows programs under Wine"
  echo i686
  exit 0
fi
if [ -x "$wine64_loader" ] && "$wine64_loader" --version >/dev/null 2>&1; then
  say "$reason; testing the 64-bit build under 64-bit Wine instead"
  echo x86_64
  exit 0
fi
say "$reason, and 64-bit Wine (wine64) is not installed or does not start: TrayHerald cannot be tested here (scripts/deps.sh tray installs both)"
exit 1
