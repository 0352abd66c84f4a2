#!/usr/bin/env bash
# Builds, then runs the example on generated sample volumes.
#   scripts/demo.sh [PRESET]     (default: release; see CMakePresets.json)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/build.sh "$preset"
./build/"$preset"/examples/volume_demo build/"$preset"/demo-data
