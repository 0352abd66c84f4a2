#!/usr/bin/env bash
# Builds, then runs `ozk demo`: a head phantom written as a packed, a header and an HR
# volume, read back through the library, compared slice by slice, with a PNG of the middle
# slice of each.
#   scripts/demo.sh [PRESET]     (default: release; see CMakePresets.json)
# OZK_DEMO_SIZE sets the phantom's edge (default 256).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/build.sh "$preset"
./build/"$preset"/tools/ozk/ozk demo build/"$preset"/demo --size "${OZK_DEMO_SIZE:-256}"
