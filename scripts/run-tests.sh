#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the driver and winsim
# suites on the host, then TrayHerald cross-built for 32-bit Windows and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh host tray
jobs=$(nproc)

cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host

cmake --preset tray-i686 >/dev/null
cmake --build --preset tray-i686 -j "$jobs"
ctest --preset tray-i686
