#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over every C and C++ source file of the
# library layers and the tools, from the compile database of a configure-only build
# directory (build/tidy); fails on any finding.
#   scripts/tidy.sh [JOBS]     (default: one clang-tidy per processor)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
build=build/tidy
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQVX_OZK_BUILD_TOOLS=ON \
  -DQVX_OZK_BUILD_TESTS=OFF -DQVX_OZK_BUILD_BENCH=OFF -DQVX_OZK_BUILD_EXAMPLES=OFF \
  -DQVX_OZK_BUILD_PYTHON=OFF > /dev/null
log=$build/tidy.log
status=0
git ls-files base math image volume_formats ct api tools | grep -E '\.(c|cpp)$' |
  xargs -P "$jobs" -n 1 clang-tidy -p "$build" --quiet > "$log" 2>&1 || status=$?
# clang-tidy counts the compiler's warnings it suppressed on standard error; only findings
# and errors are worth showing.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "clang-tidy found problems (see above)" >&2
  exit 1
fi
echo "clang-tidy: no findings"
