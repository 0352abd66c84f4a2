#!/usr/bin/env bash
# Fails when a C or C++ file of the repository is not formatted with .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
