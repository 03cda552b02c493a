#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the driver and winsim
# suites on the host, then TrayHerald cross-built for 32-bit Windows. Its behaviour tests run
# that build under 32-bit Wine where the machine can run 32-bit programs; elsewhere a 64-bit
# build runs the same tests under 64-bit Wine, and the 32-bit exe, still built, has its
# layout and imports checked (scripts/tray-test-arch.sh decides; TRAY_TEST_ARCH=x86_64
# forces the 64-bit way).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh host tray
jobs=$(nproc)

cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host

# The shipped program is always built.
cmake --preset tray-i686 >/dev/null
cmake --build --preset tray-i686 -j "$jobs"

tray_arch=$(scripts/tray-test-arch.sh)
if [ "$tray_arch" = i686 ]; then
  echo "== TrayHerald: behaviour tests run the i686 program under 32-bit Wine =="
  ctest --preset tray-i686
else
  echo "== TrayHerald: the i686 program's layout and imports (no 32-bit execution needed) =="
  ctest --preset tray-i686-layout
  echo "== TrayHerald: behaviour tests run an x86_64 build under 64-bit Wine =="
  cmake --preset tray-x86_64 >/dev/null
  cmake --build --preset tray-x86_64 -j "$jobs"
  ctest --preset tray-x86_64
fi
echo "TrayHerald's behaviour tests ran as $([ "$tray_arch" = i686 ] && echo "i686 under 32-bit Wine" || echo "x86_64 under 64-bit Wine")"
