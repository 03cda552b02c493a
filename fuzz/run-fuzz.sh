#!/usr/bin/env bash
# Builds the host-fuzz preset and runs every fuzz target for a bounded time, then feeds the
# simulator (built there with the sanitizers) generated scenario files for as long.
# Usage: fuzz/run-fuzz.sh [seconds per target, default 60]
# QVR_FUZZ_BUILD_DIR chooses the build folder (default build/host-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${QVR_FUZZ_BUILD_DIR:-build/host-fuzz}"
cmake --preset host-fuzz -B "$build" >/dev/null
targets=(callback_ioctl_fuzz scenario_parse_fuzz)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" qvrsim
for target in "${targets[@]}"; do
  corpus="$build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s =="
  # New inputs go to the build's corpus; the checked-in seeds are read only.
  seeds="fuzz/seeds/$target"
  # The scenario reader starts from the checked-in scenarios.
  [ "$target" = scenario_parse_fuzz ] && seeds="scenarios"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" "$seeds"
done
echo "== qvrsim with generated scenarios for ${seconds}s =="
python3 fuzz/scenario_generator.py "$build/tools/qvrsim" "$seconds" "$build/fuzz/generated" scenarios
