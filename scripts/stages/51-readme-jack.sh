#!/usr/bin/env bash
# Keeps the README's way from a checkout to a first live take true: runs the block the README
# marks ("first live take") as written, on a JACK server of this run's own (JACK_DEFAULT_SERVER),
# its /tmp paths in this run's own directory. The apt-get line is checked rather than run (every
# package it names must be installed: install-deps.sh installs them, and only one installer may
# run at a time); the preset's configure and build run as written, or are left to the build in
# VASKEL_BUILD_DIR when that is set. The take may land in DIR/take-NNN or, from a bridge without
# take folders, in DIR itself: the newest take folder is used where the README names take-001.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(uname -s)" != Linux ]; then
  echo "readme-jack: the bridge is Linux only; skipped"
  exit 0
fi
build=${VASKEL_BUILD_DIR:-build/linux}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$build" "$work" "${VASKEL_BUILD_DIR:-}" >"$work/take.sh" <<'PY'
import re
import shlex
import sys

build, work, own_build = sys.argv[1], sys.argv[2], sys.argv[3]
text = open("README.md", encoding="utf-8").read()
marker = text.find("<!-- first live take")
if marker < 0:
    sys.exit("README.md has no block marked \"first live take\"")
block = text[marker:].split("```sh\n", 1)[1].split("\n```", 1)[0]
out = ["set -euo pipefail",
       "export JACK_DEFAULT_SERVER=vaskel-readme-jack-$$ JACK_NO_START_SERVER=1",
       # Whatever fails, the metronome and then the server (a client killed together with its
       # server may hang) do not outlive the stage: SIGTERM, then SIGKILL after 5 s.
       "running() { local all; all=\" $(jobs -pr | tr '\\n' ' ') \"; [[ $all == *\" $1 \"* ]]; }",
       "stop() { [ -n \"$1\" ] && running \"$1\" || return 0; kill \"$1\" 2>/dev/null || return 0;"
       " for _ in $(seq 50); do running \"$1\" || return 0; sleep 0.1; done;"
       " kill -9 \"$1\" 2>/dev/null || true; }",
       "trap 'stop \"${metro:-}\"; stop \"${server:-}\"' EXIT"]
take_root = None
for line in block.split("\n"):
    command = line.replace("/tmp/", work + "/")
    words = shlex.split(command, comments=True)
    if not words:
        continue
    if words[0] == "apt-get":
        packages = [w for w in words[2:] if not w.startswith("-")]
        out.append("for p in %s; do dpkg -s \"$p\" >/dev/null 2>&1 || "
                   "{ echo \"FAIL the README installs $p, which is not installed\" >&2; exit 1; }; done"
                   % " ".join(packages))
        out.append("echo 'ok   every package the apt-get line names is installed'")
        continue
    if words[0] == "cmake" and own_build:
        out.append("echo 'skip %s (VASKEL_BUILD_DIR is built)'" % line.replace("'", ""))
        continue
    command = command.replace("./build/linux/", build.rstrip("/") + "/")
    if take_root:
        command = command.replace(take_root + "/take-001", '"$take"')
    out.append("echo '$ %s'" % line.replace("'", "'\\''"))
    # Stopping what runs in the background: one that has ended already is no failure of the
    # take (the trap stops whatever still runs).
    out.append(command + (" || true" if words[0] == "kill" else ""))
    if "vaskel_jack" in command and "--output" in words:
        take_root = words[words.index("--output") + 1]
        out.append("take=$(ls -d %s/take-* 2>/dev/null | sort | tail -n 1 || true); take=${take:-%s}"
                   % (shlex.quote(take_root), shlex.quote(take_root)))
        out.append("echo \"$take\" >%s/take-folder" % shlex.quote(work))
if take_root is None:
    sys.exit("the README's block runs no vaskel_jack --output")
print("\n".join(out))
PY

echo "--- README: from a checkout to a first live take"
if ! timeout 600 bash "$work/take.sh" >"$work/take.log" 2>&1; then
  cat "$work/take.log"
  echo "FAIL the README's first live take" >&2
  exit 1
fi
take=$(cat "$work/take-folder")
# Every command ended with exit 0 (vaskel_jack: the capture completed; vaskel_wav check: every
# file is complete); what the files hold is read back below.
grep -qF "export: 1 file written, 0 samples clipped" "$work/take.log" || {
  cat "$work/take.log"
  echo "FAIL the first live take's export did not report its one file" >&2
  exit 1
}
[ "$(soxi -V1 -s "$take/stream-0.wav")" = 240000 ] || {
  echo "FAIL $take/stream-0.wav does not hold 5 s at 48 kHz" >&2
  exit 1
}
flac=$(ls "$work"/first-take/flac/stream-0.flac)
[ "$(soxi -V1 -s "$flac")" = 240000 ] || {
  echo "FAIL the exported $flac does not hold the take's 240000 frames" >&2
  exit 1
}
echo "ok   a 5 s take of the metronome in ${take#"$work"/}, checked and exported as FLAC"
