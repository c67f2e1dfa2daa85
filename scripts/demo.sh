#!/usr/bin/env bash
# The demo: installs what it builds with (not the test toolchain), builds the renderer, the
# producer, vaskel_wav and, where libjack is installed, vaskel_jack, captures a multi-stream
# render while it shows the capture's progress file as a live progress bar, then prints the
# renderer's summary, verifies every file and says where the WAV files are. With
# VASKEL_BUILD_DIR set it writes only there (the build, and the capture unless --output says
# otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'EOF'
usage: bash scripts/demo.sh [--streams N] [--seconds S] [--channels N] [--rate HZ]
                            [--pace X] [--signal sine|pattern] [--output DIR]

  --streams N      streams to capture, 1 to 128 (default 8)
  --seconds S      length of every stream in seconds (default 10)
  --channels N     1 or 2 (default 2)
  --rate HZ        sample rate (default 48000)
  --pace X         production speed, X times real time; 0 = as fast as possible (default 5)
  --signal KIND    sine: a tone per stream (default); pattern: a checkable noise pattern
  --output DIR     where the WAV files go (default build/demo, or DIR/demo below)

Environment: VASKEL_BUILD_DIR=DIR builds in DIR instead of the linux preset's build/linux (a
new DIR without the test suite), and writes nothing else in the repository.
EOF
}

build=${VASKEL_BUILD_DIR:-build/linux}
streams=8 seconds=10 channels=2 rate=48000 pace=5 signal=sine output=build/demo
if [ -n "${VASKEL_BUILD_DIR:-}" ]; then
  output=$VASKEL_BUILD_DIR/demo
fi
while [ $# -gt 0 ]; do
  case "$1" in
    --streams | --seconds | --channels | --rate | --pace | --signal | --output)
      if [ $# -lt 2 ]; then
        echo "demo: $1 needs a value" >&2
        exit 2
      fi
      declare "${1#--}=$2"
      shift 2
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      echo "demo: unknown option $1" >&2
      usage >&2
      exit 2
      ;;
  esac
done
signal_options=(--streams "$streams" --seconds "$seconds" --channels "$channels"
  --rate "$rate" --signal "$signal")

# The compiler, CMake, libsndfile (vaskel_wav export) and sox (the tones below); the linux
# preset configures the test suite too, so it needs GoogleTest.
needs=(cmake make g++ pkg-config libsndfile1-dev sox)
if [ -z "${VASKEL_BUILD_DIR:-}" ]; then
  needs+=(googletest libgtest-dev)
fi
echo "== installing what the demo builds with: ${needs[*]}"
bash scripts/install-deps.sh --only "${needs[@]}"

targets=(vaskel_renderer vaskel_producer vaskel_wav)
if pkg-config --exists jack 2>/dev/null; then
  targets+=(vaskel_jack) # the live bridge, where libjack is installed
fi
echo "== building ${targets[*]} in $build"
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! {
  if [ -z "${VASKEL_BUILD_DIR:-}" ]; then
    cmake --preset linux
  elif [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" # a build made before keeps its options
  else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVASKEL_BUILD_TESTS=OFF
  fi
  cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
} >"$build_log" 2>&1; then
  cat "$build_log" >&2
  echo "demo: the build failed" >&2
  exit 1
fi
renderer=$build/vaskel_renderer
producer=$build/vaskel_producer
echo "   $("$renderer" --transport-capacity)"

# The renderer never deletes files, so clear what an earlier demo left in the output root.
mkdir -p "$output"
rm -f "$output"/stream-*.wav "$output"/render-progress.json "$output"/render-progress.json.tmp
progress_file=$output/render-progress.json
mapping=vaskel-demo-$$

echo "== capturing $streams streams x $seconds s, $channels channels at $rate Hz" \
  "(signal $signal, produced at ${pace}x real time)"
echo "   $producer $mapping ${signal_options[*]} --pace $pace \\"
echo "       --run-renderer $renderer $output"
run_log=$(mktemp -d)
trap 'rm -f "$build_log"; rm -rf "$run_log"' EXIT
"$producer" "$mapping" "${signal_options[@]}" --pace "$pace" \
  --run-renderer "$renderer" "$output" >"$run_log/out" 2>"$run_log/err" &
producer_pid=$!
# A background job ignores Ctrl-C; pass it on, so the producer aborts and removes its region.
trap 'kill -INT "$producer_pid" 2>/dev/null || true' INT TERM

# The progress bar follows render-progress.json, the renderer's one-line snapshot, the way any
# other process would follow a capture.
last_line=""
draw_progress() {
  local json="" state="waiting" written=0 total=0 percent=0 filled=0 bar
  json=$(cat "$progress_file" 2>/dev/null) || json=""
  [[ $json =~ \"state\":\"([a-z]+)\" ]] && state=${BASH_REMATCH[1]}
  [[ $json =~ \"writtenFrames\":([0-9]+) ]] && written=${BASH_REMATCH[1]}
  [[ $json =~ \"totalFrames\":([0-9]+) ]] && total=${BASH_REMATCH[1]}
  if [ "$total" -gt 0 ]; then
    percent=$((written * 100 / total))
    filled=$((written * 40 / total))
  fi
  bar=$(printf '%*s' "$filled" '' | tr ' ' '#')$(printf '%*s' $((40 - filled)) '' | tr ' ' '.')
  local tenths=$((written * 10 / (streams * rate)))
  local line
  line=$(printf '[%s] %3d%%  %d.%d of %s s per stream  %s' "$bar" "$percent" \
    $((tenths / 10)) $((tenths % 10)) "$seconds" "$state")
  if [ -t 1 ]; then
    printf '\r   %s ' "$line"
  elif [ "$line" != "$last_line" ]; then
    printf '   %s\n' "$line"
  fi
  last_line=$line
}
while kill -0 "$producer_pid" 2>/dev/null; do
  draw_progress
  sleep 0.1
done
status=0
wait "$producer_pid" || status=$?
trap - INT TERM
draw_progress
if [ -t 1 ]; then
  echo
fi

echo "== the renderer's summary"
grep -v -e '^region ' -e '^outcome=' "$run_log/out" | sed 's/^/   /' || true
echo "   producer: $(grep '^outcome=' "$run_log/out" || echo 'no outcome')"
if [ "$status" -ne 0 ]; then
  sed 's/^/   /' "$run_log/err" >&2
  echo "demo: the capture did not complete (vaskel_producer exit code $status)" >&2
  echo "demo: the samples written so far are kept; see README.md, \"When a capture stops early\":" >&2
  echo "      $build/vaskel_wav check $output && $build/vaskel_wav repair $output" >&2
  exit "$status"
fi

echo "== verifying every file against the published signal"
echo "   $producer --verify $output ${signal_options[*]}"
verify_status=0
verify_report=$("$producer" --verify "$output" "${signal_options[@]}") || verify_status=$?
sed 's/^/   /' <<<"$verify_report"
if [ "$verify_status" -ne 0 ]; then
  echo "demo: verification failed" >&2
  exit "$verify_status"
fi

where=$(cd "$output" && pwd)
echo "== the WAV files: $where/stream-0.wav ... stream-$((streams - 1)).wav"
if command -v sox >/dev/null 2>&1; then
  echo "   $(sox --i "$where/stream-0.wav" 2>/dev/null | grep -E 'Duration' | sed 's/  */ /g')"
  if [ "$signal" = sine ]; then
    for ((i = 0; i < streams && i < 8; i++)); do
      frequency=$(sox -V1 "$where/stream-$i.wav" -n remix 1 stat 2>&1 |
        sed -n 's/^Rough *frequency: *//p')
      echo "   stream-$i.wav: a tone of about $frequency Hz"
    done
  fi
fi
cat <<EOF
   inspect: soxi $where/stream-0.wav   (or: sox --i ..., ffprobe ...)
   play:    play $where/stream-0.wav   (sox; or any player that reads 32-bit float WAV)
EOF
