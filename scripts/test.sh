#!/usr/bin/env bash
# Builds and runs every test: Linux, Linux under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the Windows build under Wine; then the extra stages in scripts/stages/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
# Each step says how long it took, so a slow one is seen before the whole run outgrows its time.
started=$SECONDS
step_start=$SECONDS
step() {
  echo "=== $1 (at $((SECONDS - started)) s; the step before took $((SECONDS - step_start)) s)"
  step_start=$SECONDS
}
for preset in linux asan windows; do
  step "$preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  step "$preset: test"
  ctest --preset "$preset"
done
for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  step "stage $(basename "$stage")"
  bash "$stage"
done
step "all tests passed in $((SECONDS - started)) s"
