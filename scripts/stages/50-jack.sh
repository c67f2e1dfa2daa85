#!/usr/bin/env bash
# The live bridge through a real audio server: installs JACK2 (server, library, tools), builds
# vaskel_jack with the linux preset and runs tools/jack/jack_capture_test.py, which starts a
# jackd of its own on the dummy backend and checks every captured sample, plus the overflow
# case with a throttled renderer. Then checks that the bridge installs with the tools.
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
  vaskel_renderer vaskel_wav >/dev/null
timeout 300 python3 tools/jack/jack_capture_test.py --build build/linux

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/linux --component tools --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/vaskel_jack" ] || {
  echo "vaskel_jack is not installed with the tools component" >&2
  exit 1
}
"$prefix/bin/vaskel_jack" --version
echo "ok   vaskel_jack installs with the tools"
