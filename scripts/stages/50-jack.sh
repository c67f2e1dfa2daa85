#!/usr/bin/env bash
# The live bridge through a real audio server: installs JACK2 (server, library, tools), builds
# vaskel_jack with the linux preset and runs tools/jack/jack_capture_test.py, which starts jackd
# servers of its own on the dummy backend: one-command recording with a port pattern and its
# take sheet, every captured sample checked; interrupts, period changes, overflow, the attach
# timeout, a server killed and a server stopped mid-capture. Then checks that the bridge
# installs as a component of its own (the vaskel-jack package).
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(uname -s)" != Linux ]; then
  echo "jack: the bridge is Linux only; skipped"
  exit 0
fi
# jackd2 asks about real-time limits on install; the capture here runs without real time.
echo "jackd2 jackd/tweak_rt_limits boolean false" | debconf-set-selections 2>/dev/null || true
DEBIAN_FRONTEND=noninteractive bash scripts/install-deps.sh jackd2 libjack-jackd2-dev
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vaskel_jack vaskel_jack_test_source \
  vaskel_renderer vaskel_wav vaskel_man_pages >/dev/null
timeout 300 python3 tools/jack/jack_capture_test.py --build build/linux

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/linux --component jack --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/vaskel_jack" ] && [ -f "$prefix/share/man/man1/vaskel_jack.1.gz" ] || {
  echo "vaskel_jack or its man page is not installed with the jack component" >&2
  exit 1
}
"$prefix/bin/vaskel_jack" --version
echo "ok   vaskel_jack installs with the jack component"
