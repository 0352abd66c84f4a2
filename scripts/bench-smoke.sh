#!/usr/bin/env bash
# Runs the benchmark suite once at a tiny size, only to keep it building and working: the
# data sets at edge 64, a check of their slices read through the library, then every
# scenario of bench/compare.py (ours and the peers) with one short repetition. Nothing is
# timed against a limit; a failing read or a crash fails the script.
#   scripts/bench-smoke.sh [PRESET]     (default: release; the preset's build must exist)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
build=build/$preset
cmake --build "$build" -t bench_data ozk_bench -j "$(nproc)" > /dev/null
data=$build/bench-data-64
"$build/bench/bench_data" "$data" --size 64
"$build/bench/ozk_bench" --data="$data" --check 2> /dev/null
/usr/bin/python3 bench/compare.py --build "$build" --data "$data" --size 64 \
  --repetitions 1 --min-time 0.01 --ref-mib 16
