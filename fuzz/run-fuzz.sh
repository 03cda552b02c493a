#!/usr/bin/env bash
# Builds the host-fuzz preset and runs every fuzz target (or the ones named) for a bounded
# time, or for a number of executions; in the timed run over every target it then feeds the
# simulator (built there with the sanitizers) generated scenario files for as long.
# Usage: fuzz/run-fuzz.sh [seconds per target, default 60] [target ...]
#        fuzz/run-fuzz.sh --runs N [target ...]      (say --runs 1000000 for the long run)
# QVR_FUZZ_BUILD_DIR chooses the build folder (default build/host-fuzz). The preset keeps
# assertions (a Debug build) but optimises (-O1), as sanitizer builds are meant to be.
#
# Each driver target checks the driver's own state after every input (nothing pended, the
# driver's pool back where it was) and the verifier's unload report at exit, so libFuzzer's
# own leak scan after inputs (-detect_leaks, a whole-heap LeakSanitizer pass whenever an
# input's mallocs and frees differ, as winsim's bounded histories and pool quarantine make
# them) is left off; the sanitizers' leak check at exit stays on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
limit=(-max_total_time="$seconds")
if [[ "${1:-}" == "--runs" ]]; then
  limit=(-runs="$2")
  shift 2
elif [[ $# -gt 0 ]]; then
  shift
fi
build="${QVR_FUZZ_BUILD_DIR:-build/host-fuzz}"
all=(callback_ioctl_fuzz control_records_fuzz classify_values_fuzz redirect_records_fuzz callback_reply_fuzz
     driver_ops_fuzz scenario_parse_fuzz)
targets=("${all[@]}")
if [[ $# -gt 0 ]]; then targets=("$@"); fi
cmake --preset host-fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" qvrsim
for target in "${targets[@]}"; do
  corpus="$build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  # New inputs go to the build's corpus; the checked-in seeds are read only. The scenario
  # reader starts from its kept corpus and the checked-in scenarios.
  seeds=("fuzz/seeds/$target")
  [ "$target" = scenario_parse_fuzz ] && seeds+=(scenarios)
  extra=()
  if [[ -f "fuzz/dictionaries/$target.dict" ]]; then extra+=(-dict="fuzz/dictionaries/$target.dict"); fi
  [ "$target" = scenario_parse_fuzz ] || extra+=(-detect_leaks=0)
  echo "== $target (${limit[*]}) =="
  "$build/fuzz/$target" "${limit[@]}" "${extra[@]}" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" "${seeds[@]}"
done
if [[ "${limit[0]}" == -max_total_time=* && $# -eq 0 ]]; then
  echo "== qvrsim with generated scenarios for ${seconds}s =="
  python3 fuzz/scenario_generator.py "$build/tools/qvrsim" "$seconds" "$build/fuzz/generated" scenarios
fi
