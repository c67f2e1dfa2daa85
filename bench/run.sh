#!/usr/bin/env bash
# The renderer benchmark: builds what it needs in build/bench (Release) and runs every figure.
#
#   bash bench/run.sh            # full run, about 5-10 minutes
#   bash bench/run.sh --quick    # smaller runs and fewer repetitions, about 2 minutes
#
# Other options go to bench/bench.py (--out DIR for another output filesystem, --reps N,
# --slots N, --results DIR). Figures land in build/bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# ffmpeg is only a contender here, not needed by the tests.
if ! command -v ffmpeg >/dev/null; then
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null; } ||
    echo "note: ffmpeg could not be installed; its figures are skipped"
fi
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vaskel_renderer vaskel_bench vaskel_bench_alloc \
  >/dev/null
for tool in sox ffmpeg valgrind gnuplot; do
  command -v "$tool" >/dev/null || echo "note: $tool is not installed; its figures are skipped"
done
exec python3 bench/bench.py --build "$build" "$@"
