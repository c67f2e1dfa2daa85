#!/usr/bin/env bash
# The renderer benchmark: builds what it needs in build/bench (Release) and runs every figure.
#
#   bash bench/run.sh            # full run, about 20-25 minutes
#   bash bench/run.sh --quick    # smaller runs and fewer repetitions, about 10 minutes
#   bash bench/run.sh --before REV   # compare against the renderer of REV (default: the commit
#                                    # before idle passes slept)
#
# Other options go to bench/bench.py (--out DIR for another output filesystem, --reps N,
# --slots N, --results DIR). Figures land in build/bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."
before=""
passed=()
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before="$2"; shift 2 ;;
    *) passed+=("$1"); shift ;;
  esac
done
bash scripts/install-deps.sh
# ffmpeg is only a contender here, not needed by the tests.
if ! command -v ffmpeg >/dev/null; then
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ffmpeg >/dev/null; } ||
    echo "note: ffmpeg could not be installed; its figures are skipped"
fi
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF -DVASKEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" \
  --target vaskel_renderer vaskel_producer vaskel_bench vaskel_bench_alloc >/dev/null
for tool in sox ffmpeg valgrind gnuplot; do
  command -v "$tool" >/dev/null || echo "note: $tool is not installed; its figures are skipped"
done

# The renderer from before idle passes slept, built side by side from that commit's tree, for
# the real-time and quiet-spell figures.
extra=()
if [ -z "$before" ]; then
  first=$(git log --format=%H --reverse -S idleSleepBound -- src/capture/capture_loop.cpp \
    2>/dev/null | head -1 || true)
  [ -n "$first" ] && before="$first^"
fi
if [ -n "$before" ] && rev=$(git rev-parse --verify -q "$before^{commit}"); then
  source_dir=$build/before-src
  if [ "$(cat "$source_dir/.rev" 2>/dev/null)" != "$rev" ]; then
    rm -rf "$source_dir" && mkdir -p "$source_dir"
    git archive "$rev" | tar -x -C "$source_dir"
    echo "$rev" >"$source_dir/.rev"
  fi
  cmake -S "$source_dir" -B "$build/before" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF \
    >/dev/null
  cmake --build "$build/before" -j "$(nproc)" --target vaskel_renderer >/dev/null
  extra+=(--before-renderer "$build/before/vaskel_renderer")
  echo "before: renderer of $(git log -1 --format='%h %s' "$rev")"
else
  echo "note: no earlier commit to compare with; the before figures are skipped"
fi

# Users write to disks: the throughput table again with the output on the build directory's
# filesystem, when that is one.
mkdir -p "$build/disk"
case "$(findmnt -n -o FSTYPE -T "$build/disk" 2>/dev/null || echo unknown)" in
  tmpfs | ramfs | unknown) echo "note: $build is not on a disk filesystem; no disk figures" ;;
  *) extra+=(--disk-out "$build/disk") ;;
esac
exec python3 bench/bench.py --build "$build" "${extra[@]}" "${passed[@]}"
