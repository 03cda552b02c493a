#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, and only those that are missing.
# Usage: scripts/deps.sh host|tray|fuzz|driver ...   (as root, or through sudo)
set -euo pipefail

host_pkgs=(build-essential cmake ninja-build python3 python3-jsonschema googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev)
fuzz_pkgs=(clang libclang-rt-14-dev)
tray_pkgs=(g++-mingw-w64-i686-posix libboost-dev wine wine32:i386 xvfb x11-apps imagemagick xdotool)
# The i686 driver build: the cross compiler, mingw's kernel headers and import libraries
# (mingw-w64-i686-dev), binutils' nm for the import check. It runs nothing, so no Wine.
driver_pkgs=(cmake ninja-build python3 g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686)

want=()
need_i386=0
for group in "$@"; do
  case "$group" in
    host) want+=("${host_pkgs[@]}") ;;
    fuzz) want+=("${fuzz_pkgs[@]}") ;;
    driver) want+=("${driver_pkgs[@]}") ;;
    tray) want+=("${tray_pkgs[@]}"); need_i386=1 ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
if [ "$need_i386" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
