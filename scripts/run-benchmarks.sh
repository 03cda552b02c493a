#!/usr/bin/env bash
# Installs what is missing, builds the benchmark suites of the release preset, runs them all
# and prints one summary table (scripts/bench_summary.py). Extra arguments go to the summary
# (for example --smoke, or --json-dir DIR to keep each suite's JSON there).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh host
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target qvr_benchmarks
exec python3 scripts/bench_summary.py build/host-release "$@"
