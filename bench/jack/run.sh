#!/usr/bin/env bash
# CPU cost of a live capture: vaskel_jack plus vaskel_renderer against JACK's example recorder
# jack_rec, on the same source, through a jackd of our own on the dummy backend.
#
#   bash bench/jack/run.sh                 # 8 and 64 ports, periods 256 and 1024, 60 s each
#   bash bench/jack/run.sh --seconds 20    # shorter captures
#
# Builds vaskel_jack, vaskel_jack_test_source and vaskel_renderer in build/bench-jack (Release)
# and prints one table (also in build/bench-jack/jack-results.txt).
#
# Takes beside a busy disk (the bridge's buffer against dd ... conv=fdatasync on the same file
# system; 10 takes of 30 s of 7 ports), once the programs are built:
#   python3 bench/jack/busy_disk.py --build build/bench-jack [--takes N --seconds S --buffer S]
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections 2>/dev/null || true
DEBIAN_FRONTEND=noninteractive bash scripts/install-deps.sh jackd2 libjack-jackd2-dev
build=build/bench-jack
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVASKEL_BUILD_TESTS=OFF -DVASKEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target vaskel_jack vaskel_jack_test_source \
  vaskel_renderer >/dev/null
python3 bench/jack/jack_bench.py --build "$build" "$@" | tee "$build/jack-results.txt"
