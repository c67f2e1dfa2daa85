#!/usr/bin/env bash
# Builds and runs every test: Linux, Linux under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the Windows build under Wine; then the extra stages in scripts/stages/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
for preset in linux asan windows; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset: test"
  ctest --preset "$preset"
done
for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "=== stage $(basename "$stage")"
  bash "$stage"
done
echo "=== all tests passed"
