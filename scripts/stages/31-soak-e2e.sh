#!/usr/bin/env bash
# End-to-end soak with real processes: vaskel_producer feeds vaskel_renderer (its child) over a
# real shared region, capture after capture, each with a random shape (streams, channels, slots,
# chunk sizes, length, start frame, declared end or none) and a random renderer delay; every
# capture must complete, and --verify then checks every sample of every file and the progress
# file. One capture with a slow renderer and two-slot rings must show the rings full
# (maxOccupancy 2) and still lose nothing. Uses the ThreadSanitizer build of 30-tsan-soak.sh, so
# both processes are checked for races as they run.
#   VASKEL_E2E_SOAK_SECONDS  length of the soak (default 30)
#   VASKEL_SEED              replays the random shapes of an earlier run
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ ! -f tools/producer/CMakeLists.txt ]; then
  echo "e2e soak: no vaskel_producer in this tree; skipped"
  exit 0
fi
dir=build/tsan
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_WERROR=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target vaskel_renderer vaskel_producer >/dev/null
producer=$PWD/$dir/vaskel_producer
renderer=$PWD/$dir/vaskel_renderer
export TSAN_OPTIONS="halt_on_error=1 exitcode=66"

seconds=${VASKEL_E2E_SOAK_SECONDS:-30}
seed=${VASKEL_SEED:-$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')}
echo "e2e soak: VASKEL_SEED=$seed"
RANDOM=$seed
work=$(mktemp -d "${TMPDIR:-/tmp}/vaskel-e2e-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT

captures=0
bytes=0
# Runs one capture and its verification; $1: signal options, $2: publishing options, $3: delay-us.
capture() {
  local signal=$1 publishing=$2 delay=$3
  local name="vaskel-e2e-soak-$$-$captures" root="$work/out-$captures"
  # shellcheck disable=SC2086
  if ! timeout 300 "$producer" $signal $publishing --timeout-ms 60000 "$name" \
      --run-renderer "$renderer" "$root" "$delay" 30000 30000 >"$work/run.log" 2>&1; then
    echo "capture $captures failed: $signal $publishing, delay $delay"
    cat "$work/run.log"
    exit 1
  fi
  # shellcheck disable=SC2086
  if ! "$producer" --verify "$root" $signal >"$work/verify.log" 2>&1; then
    echo "capture $captures did not verify: $signal $publishing, delay $delay"
    cat "$work/run.log" "$work/verify.log"
    exit 1
  fi
  bytes=$((bytes + $(cat "$root"/stream-*.wav | wc -c)))
  captures=$((captures + 1))
  rm -rf "$root"
}

# The slow renderer first: 200 us after each chunk against a producer that never waits.
capture "--streams 4 --channels 2 --frames 20000 --signal pattern" \
  "--slots 2 --frames-per-chunk 128 --chunks fixed" 200
if ! grep -q "maxOccupancy=2" "$work/run.log"; then
  echo "the slow renderer never let a ring fill"
  cat "$work/run.log"
  exit 1
fi

end=$((SECONDS + seconds))
while [ "$SECONDS" -lt "$end" ]; do
  streams=$((1 + RANDOM % 24))
  [ $((RANDOM % 10)) -eq 0 ] && streams=128
  channels=$((1 + RANDOM % 2))
  slots=$((1 + RANDOM % 16))
  chunk=$((1 + RANDOM % 2048))
  frames=$((1 + (RANDOM * 32768 + RANDOM) % (2400000 / streams)))
  rate=$((8000 + RANDOM % 88000))
  mode=fixed
  [ $((RANDOM % 2)) -eq 0 ] && mode=random
  if [ $((RANDOM % 3)) -eq 0 ]; then
    range="--end none"
  else
    range="--start-frame $(((RANDOM * 32768 + RANDOM) * 4096)) --end auto"
  fi
  delay=0
  case $((RANDOM % 6)) in
    0) delay=$((1 + RANDOM % 100)) ;;
    1) delay=1000 ;;
  esac
  # A slept delay only with few chunks, so one capture stays short.
  if [ "$delay" -ge 1000 ] && [ $((frames / chunk * streams)) -gt 200 ]; then
    delay=50
  fi
  capture "--streams $streams --channels $channels --rate $rate --frames $frames $range --signal pattern" \
    "--slots $slots --frames-per-chunk $chunk --chunks $mode --seed $RANDOM" "$delay"
done
echo "e2e soak: ${seconds} s, $captures captures, $bytes bytes of stream files verified"
