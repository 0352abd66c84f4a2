#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test.
#   scripts/test.sh [PRESET]     (default: release; asan adds the sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"
