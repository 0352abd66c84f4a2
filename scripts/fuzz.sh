#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs each for a fixed time on its seed corpus; fails on the first crash, leak,
# timeout or out-of-memory report.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default: 20 s, every target)
# The run starts from the seeds written by the build (build/fuzz/fuzz/seeds/<target>/) and
# what earlier runs found (build/fuzz/corpus/<target>/, where new inputs go); a failing
# input is written to build/fuzz/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
build=${OZK_FUZZ_BUILD:-build/fuzz}  # the build directory, relative to the repository
./scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQVX_OZK_FUZZ=ON -DQVX_OZK_SANITIZE=ON -DQVX_OZK_BUILD_TESTS=OFF \
  -DQVX_OZK_BUILD_BENCH=OFF -DQVX_OZK_BUILD_EXAMPLES=OFF -DQVX_OZK_BUILD_TOOLS=OFF > /dev/null
cmake --build "$build" -j "$(nproc)"

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(packed_volume_fuzz header_volume_fuzz tag_reader_fuzz
                                     hr_volume_fuzz tiff_load_fuzz bmp_load_fuzz png_load_fuzz)
for t in "${targets[@]}"; do
  dict=()
  [ -f "fuzz/dictionaries/${t%_fuzz}.dict" ] && dict=(-dict="fuzz/dictionaries/${t%_fuzz}.dict")
  mkdir -p "$build/artifacts/$t" "$build/corpus/$t"
  echo "== $t: ${seconds} s"
  log="$build/artifacts/$t.log"
  status=0
  "$build/fuzz/$t" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t/" \
    "$build/corpus/$t" "$build/fuzz/seeds/$t" > "$log" 2>&1 || status=$?
  grep -aE '^(#[0-9]+[[:space:]]+DONE|stat::(number_of|average)|SUMMARY)' "$log" || true
  if [ "$status" -ne 0 ]; then
    grep -aE '^==[0-9]+==|^SUMMARY|^artifact_prefix' "$log" | head -5 >&2 || true
    echo "$t failed (exit $status); the input is in $build/artifacts/$t/, the log in $log" >&2
    exit 1
  fi
done
