#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, and only those that are missing.
# Usage: scripts/deps.sh host|tray|fuzz|driver|style ...   (as root, or through sudo)
# The package index and the downloads are tried a few times, with a pause between tries, so
# that a mirror that is syncing or a network that hiccups does not end the run.
set -euo pipefail

# libboost-dev and curl: qvrsim live's proxy (Boost.Asio) and the program its tests run.
host_pkgs=(build-essential cmake ninja-build python3 python3-jsonschema googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
           libboost-dev curl)
fuzz_pkgs=(clang libclang-rt-14-dev)
# Both Wine bitnesses and both compilers: the 32-bit build is the one shipped, the 64-bit one
# tests the same behaviour where 32-bit programs cannot run.
tray_pkgs=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libboost-dev wine wine32:i386 wine64
           xvfb x11-apps imagemagick xdotool)
# The i686 driver build: the cross compiler, mingw's kernel headers and import libraries
# (mingw-w64-i686-dev), binutils' nm for the import check. It runs nothing, so no Wine.
driver_pkgs=(cmake ninja-build python3 g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686)
# The style check (scripts/check-style.sh): the formatter and clang-tidy of LLVM 14.
style_pkgs=(clang-format-14 clang-tidy-14 python3)
attempts=${DEPS_ATTEMPTS:-5}
pause_s=${DEPS_RETRY_PAUSE:-15}

want=()
need_i386=0
for group in "$@"; do
  case "$group" in
    host) want+=("${host_pkgs[@]}") ;;
    fuzz) want+=("${fuzz_pkgs[@]}") ;;
    driver) want+=("${driver_pkgs[@]}") ;;
    style) want+=("${style_pkgs[@]}") ;;
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

# Runs "$@" up to $attempts times, pausing between tries; says so and fails when no try worked.
retry() {
  local what=$1 try
  shift
  for try in $(seq "$attempts"); do
    if "$@"; then
      return 0
    fi
    if [ "$try" -lt "$attempts" ]; then
      echo "deps.sh: $what failed (try $try of $attempts); trying again in $pause_s s" >&2
      sleep "$pause_s"
    fi
  done
  echo "deps.sh: $what failed $attempts times (apt's own messages are above); the package" \
       "mirror or the network may not be answering. Check them, then run scripts/deps.sh again." >&2
  return 1
}

echo "Installing: ${missing[*]}"
retry "apt-get update" $SUDO apt-get update -qq || exit 1
retry "apt-get install" $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  --no-install-recommends "${missing[@]}" || exit 1
