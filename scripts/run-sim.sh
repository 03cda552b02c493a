#!/usr/bin/env bash
# Installs what is missing, builds the simulator and runs its embedded default scenario.
# Extra arguments go to the simulator (for example a scenario file).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh host
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target qvrsim
exec build/host-release/tools/qvrsim "$@"
