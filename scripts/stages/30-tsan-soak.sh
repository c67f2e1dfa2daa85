#!/usr/bin/env bash
# ThreadSanitizer over the capture and producer threads sharing one region: many short captures
# with random shapes and pacing, the backpressure run, then the soak, and two threads writing two
# streams through the C interface while the renderer drains them, every output checked byte for
# byte. Any report of the sanitizer fails the stage.
#   VASKEL_SOAK_SECONDS  length of the soak (default 30; e.g. 3600 for a long run)
#   VASKEL_RACE_ROUNDS   short captures (default 200)
#   VASKEL_SEED          replays the random plans of an earlier run
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build/tsan
jobs=$(nproc)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$dir" -j "$jobs" --target vaskel_race_tests vaskel_renderer

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
export VASKEL_RACE_ROUNDS=${VASKEL_RACE_ROUNDS:-200}
export VASKEL_SOAK_SECONDS=${VASKEL_SOAK_SECONDS:-30}
# A bound well above the planned time, so a hang fails instead of stalling the whole run.
timeout $((VASKEL_SOAK_SECONDS + 300)) "$dir/vaskel_race_tests" \
  --gtest_filter='CaptureRace.*:CaptureSoak.*:ProducerCThreads.*' --gtest_brief=1
