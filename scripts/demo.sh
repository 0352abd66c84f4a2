#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the example on generated sample volumes.
#   scripts/demo.sh [PRESET]     (default: release; see CMakePresets.json)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
./build/"$preset"/examples/volume_demo build/"$preset"/demo-data
