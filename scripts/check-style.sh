#!/usr/bin/env bash
# Holds the driver's style (driver/README.md): fails on any file under driver/ that
# clang-format would change, and on any finding of the checks in .clang-tidy in driver/.
# Usage: scripts/check-style.sh [build-dir]   (default build/host; it needs the build's
# compile_commands.json and generated .tmh files, so configure that build first)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
format=${CLANG_FORMAT:-clang-format-14}
tidy=${CLANG_TIDY:-clang-tidy-14}
jobs=${STYLE_JOBS:-2}

for tool in "$format" "$tidy"; do
  if ! command -v "$tool" >/dev/null; then
    echo "check-style: $tool is not installed (scripts/deps.sh style)" >&2
    exit 2
  fi
done
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-style: no $build/compile_commands.json; configure that build first" >&2
  exit 2
fi

mapfile -t files < <(git ls-files 'driver/*.cpp' 'driver/*.h')
status=0

unformatted=()
for f in "${files[@]}"; do
  if ! "$format" --dry-run -Werror "$f" >/dev/null 2>&1; then
    unformatted+=("$f")
  fi
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "check-style: not as clang-format lays them out (run $format -i on them):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  status=1
fi

# Sources only: each header is checked through the sources that include it.
mapfile -t sources < <(printf '%s\n' "${files[@]}" | grep '\.cpp$')
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -n 4 "$tidy" -p "$build" --quiet >"$log" 2>&1; then
  grep -E '(warning|error):' "$log" | sort -u >&2 || cat "$log" >&2
  echo "check-style: clang-tidy found the above in driver/" >&2
  status=1
fi

[ "$status" -eq 0 ] && echo "check-style: driver/ is formatted and clang-tidy is clean (${#files[@]} files)"
exit "$status"
