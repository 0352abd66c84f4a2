#!/usr/bin/env bash
# Builds, then runs every test.
#   scripts/test.sh [PRESET]     (default: release; asan adds the sanitizers)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/build.sh "$preset"
ctest --preset "$preset" -j "$(nproc)"
