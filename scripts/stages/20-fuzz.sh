#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer: the
# capture against a scripted hostile producer, the command line, and the take sheet's reader. The
# fuzzers run side by side for a bounded time, starting from the seeds and regression inputs in
# fuzz/corpus/; a crash or a failed check fails the stage and leaves its input in
# build/fuzz/artifacts/.
#   VASKEL_FUZZ_SECONDS  time per fuzzer (default 30; e.g. 3600 for a long run)
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build/fuzz
seconds=${VASKEL_FUZZ_SECONDS:-30}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVASKEL_FUZZ=ON >/dev/null
names=(capture command_line take_sheet)
cmake --build "$dir" -j "$(nproc)" --target "${names[@]/%/_fuzzer}"

# The capture writes its files and fsyncs its directory on every progress snapshot: keep that
# in memory when possible.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
mkdir -p "$dir/artifacts"
pids=()
for name in "${names[@]}"; do
  fuzzer=${name}_fuzzer
  work="$dir/corpus-$name"
  mkdir -p "$work"
  "$dir/fuzz/$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" \
    "$work" "fuzz/corpus/$name" >"$dir/$name.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
# The fuzzers' output directories, and the region of one that crashed.
for pid in "${pids[@]}"; do
  rm -rf "${TMPDIR:-/tmp}/vaskel-fuzz-$pid"-* /dev/shm/vaskel-fuzz-"$pid"-* 2>/dev/null || true
done
for name in "${names[@]}"; do
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$name.log")
  cov=$(grep -oE 'cov: [0-9]+' "$dir/$name.log" | tail -1)
  echo "fuzz $name: ${runs:-?} executions in ${seconds} s, $cov"
done
if [ "$status" -ne 0 ]; then
  for name in "${names[@]}"; do
    echo "--- $name.log (tail)"
    tail -n 40 "$dir/$name.log"
  done
  echo "a fuzzer failed; its input is in $dir/artifacts/"
  exit 1
fi
