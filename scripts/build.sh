#!/usr/bin/env bash
# Installs what the build needs, then configures and builds a preset.
#   scripts/build.sh [PRESET]    (default: release; see CMakePresets.json)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
