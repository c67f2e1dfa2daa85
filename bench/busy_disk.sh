#!/usr/bin/env bash
# The busy-disk row: a 30 s real-time capture of 7 mono streams (256-frame chunks, 47 slots)
# beside `dd bs=1M count=2500 conv=fdatasync` on the same file system, and the same capture on a
# quiet disk. Prints the rings' fullest point and where the drain thread's time went (the
# renderer built with -DVASKEL_PASS_TIMER prints it). Not a test: figures for
# docs/PERFORMANCE.md.
#
#   bash bench/busy_disk.sh [--build DIR] [--out DIR] [--runs N] [--seconds S]
#
# DIR must hold vaskel_renderer (built with -DVASKEL_PASS_TIMER) and vaskel_producer; --out
# must lie on a disk file system (default build/bench/disk).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench-timer
out=build/bench/disk
runs=3
seconds=30
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: bash bench/busy_disk.sh [--build DIR] [--out DIR] [--runs N] [--seconds S]" >&2; exit 2 ;;
  esac
done
if [ ! -x "$build/vaskel_renderer" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF \
    -DCMAKE_CXX_FLAGS=-DVASKEL_PASS_TIMER >/dev/null
  cmake --build "$build" -j "$(nproc)" --target vaskel_renderer vaskel_producer >/dev/null
fi
mkdir -p "$out"
echo "disk: $(df -T "$out" | awk 'NR==2 {print $2, $1}'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-6s %-4s %-14s %-14s %-18s %-18s %s\n' disk run outcome "fullest ring" "longest pass ms" \
  "outside writes ms/s" "dd s"
for run in $(seq "$runs"); do
  for disk in quiet busy; do
    rm -rf "$out/busy-cap" "$out/dd.bin"
    dd_pid=
    started=$SECONDS
    if [ "$disk" = busy ]; then
      dd if=/dev/zero of="$out/dd.bin" bs=1M count=2500 conv=fdatasync status=none &
      dd_pid=$!
      sleep 1
    fi
    log=$("$build/vaskel_producer" --streams 7 --channels 1 --frames-per-chunk 256 --slots 47 \
      --seconds "$seconds" --pace 1 --signal pattern "vaskel-busy-$$-$run" \
      --run-renderer "$build/vaskel_renderer" "$out/busy-cap" 2>&1 || true)
    dd_s=-
    if [ -n "$dd_pid" ]; then
      wait "$dd_pid" || true
      dd_s=$((SECONDS - started))
    fi
    outcome=$(grep -o 'outcome=[a-z_]*' <<<"$log" | head -1 | cut -d= -f2 || true)
    fullest=$(grep -o 'maxOccupancy=[0-9]*' <<<"$log" | cut -d= -f2 | sort -n | tail -1 || true)
    timer=$(grep -o 'pass_timer.*' <<<"$log" | head -1 || true)
    longest=$(sed -n 's/.*longestPassNs=\([0-9]*\).*/\1/p' <<<"$timer")
    outside=$(sed -n 's/.*outsideWritesNs=\([0-9]*\).*/\1/p' <<<"$timer")
    capture=$(sed -n 's/.*captureNs=\([0-9]*\).*/\1/p' <<<"$timer")
    printf '%-6s %-4s %-14s %-14s %-18s %-18s %s\n' "$disk" "$run" "${outcome:-?}" "${fullest:-?}/47" \
      "$(awk -v n="${longest:-0}" 'BEGIN {printf "%.2f", n / 1e6}')" \
      "$(awk -v n="${outside:-0}" -v c="${capture:-1}" 'BEGIN {printf "%.3f", n / 1e6 / (c / 1e9)}')" \
      "$dd_s"
  done
done
rm -rf "$out/busy-cap" "$out/dd.bin"
