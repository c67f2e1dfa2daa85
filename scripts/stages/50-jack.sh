#!/usr/bin/env bash
# The live bridge through a real audio server. Its captures (tools/jack/jack_capture_test.py:
# jackd servers of its own on the dummy backend; one-command recording with a port pattern into
# take folders and its take sheet, every captured sample checked; interrupts, period changes, a
# stalled renderer ridden out by the bridge's buffer and one stalled past it (overflow), events,
# the meter, the export, the bridge's children, the attach timeout, a server killed and a server
# stopped mid-capture) run once, as the test jack_capture
# of the Linux suite, which install-deps.sh gives a jackd. This stage makes sure that test is
# there, so a missing server cannot skip it unseen, and that the bridge installs as a component
# of its own (the vaskel-jack package).
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(uname -s)" != Linux ]; then
  echo "jack: the bridge is Linux only; skipped"
  exit 0
fi
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target vaskel_jack vaskel_man_pages >/dev/null
ctest --preset linux -N -R '^jack_capture$' | grep -q 'Total Tests: 1$' || {
  echo "the Linux suite has no jack_capture test: is jackd installed?" >&2
  exit 1
}
echo "ok   jack_capture is part of the Linux suite"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/linux --component jack --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/vaskel_jack" ] && [ -f "$prefix/share/man/man1/vaskel_jack.1.gz" ] || {
  echo "vaskel_jack or its man page is not installed with the jack component" >&2
  exit 1
}
"$prefix/bin/vaskel_jack" --version
echo "ok   vaskel_jack installs with the jack component"
