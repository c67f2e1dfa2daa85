#!/usr/bin/env bash
# Keeps README.md true to the programs: runs every command of its `console` blocks and compares
# the output with the text shown, compiles and runs its producer example beside the renderer,
# and runs the demo in a short configuration. Uses build/linux (test.sh has built it), or
# VASKEL_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${VASKEL_BUILD_DIR:-build/linux}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "--- README console blocks"
python3 - "$build" "$work" <<'PY'
import os
import re
import subprocess
import sys

build, work = sys.argv[1], sys.argv[2]
lines = open("README.md", encoding="utf-8").read().split("\n")


def private(text):
    """The README's /tmp paths in this run's own directory, and its region names made unique,
    in commands and expected output alike: two runs of the stage at once never meet."""
    text = text.replace("/tmp/", work + "/")
    return re.sub(r"\breadme-[a-z]+\b", lambda m: "%s-%d" % (m.group(0), os.getpid()), text)


# (command, expected output lines) for every "$ " line of every console block.
commands = []
in_block = False
for line in lines:
    if line.startswith("```"):
        in_block = line.strip() == "```console" if not in_block else False
        continue
    if not in_block:
        continue
    if line.startswith("$ "):
        commands.append((private(line[2:]), []))
    elif commands:
        commands[-1][1].append(private(line))


def matches(expected, actual):
    """`...` alone on a line matches any run of lines; inside a line, any text."""
    if not expected:
        return not actual
    head = expected[0]
    if head == "...":
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    if not actual:
        return False
    pattern = ".*".join(re.escape(part) for part in head.split("..."))
    return re.fullmatch(pattern, actual[0]) is not None and matches(expected[1:], actual[1:])


failures = 0
for command, expected in commands:
    runnable = command.replace("./build/linux/", build.rstrip("/") + "/")
    # Both output streams, in order, as a terminal shows them.
    result = subprocess.run(["bash", "-c", "{ " + runnable + "\n} 2>&1"], capture_output=True,
                            text=True, timeout=300)
    actual = result.stdout.split("\n")
    if actual and actual[-1] == "":
        actual.pop()
    ok = result.returncode == 0 and matches(expected, actual)
    print(("ok   " if ok else "FAIL ") + command)
    if not ok:
        failures += 1
        print("  exit code %d; expected:" % result.returncode)
        print("\n".join("    | " + line for line in expected))
        print("  got:")
        print("\n".join("    | " + line for line in actual))
if not commands:
    print("no console blocks found")
    failures += 1
sys.exit(1 if failures else 0)
PY

echo "--- README producer example"
python3 - "$work/my_producer.cpp" <<'PY'
import sys
text = open("README.md", encoding="utf-8").read()
blocks = text.split("```cpp\n")[1:]
examples = [block.split("\n```")[0] for block in blocks if "int main(" in block]
if len(examples) != 1:
    sys.exit("expected one C++ example with main() in README.md, found %d" % len(examples))
open(sys.argv[1], "w", encoding="utf-8").write(examples[0] + "\n")
PY
g++ -std=c++20 -Wall -Wextra -Wpedantic -Werror -I. -Isrc "$work/my_producer.cpp" \
  "$build/producer/libvaskel_producer_lib.a" "$build/libvaskel_transport.a" \
  "$build/libvaskel_platform.a" -lrt -o "$work/my_producer"
region=vaskel-readme-example-$$
"$work/my_producer" "$region" >"$work/producer.out" 2>&1 &
producer_pid=$!
"$build/vaskel_renderer" "$region" "$work/example-output" 0 5000 10000 >"$work/renderer.out"
wait "$producer_pid"
grep -qx "capture complete" "$work/producer.out"
grep -qx "streamId=1,writtenChunks=100,writtenFrames=48000,maxOccupancy=.*" "$work/renderer.out"
echo "ok   the example captured two streams of 48000 frames"

echo "--- the demo, short"
demo_log=$work/demo.log
if ! VASKEL_BUILD_DIR=${VASKEL_BUILD_DIR:-} bash scripts/demo.sh --streams 2 --seconds 1 \
  --output "$work/demo-output" >"$demo_log" 2>&1; then
  cat "$demo_log"
  echo "the demo failed" >&2
  exit 1
fi
for expected in "complete" "verify: ok, 2 of 2 stream files match, progress file matches" \
  "stream-1.wav: a tone of about" "play:"; do
  if ! grep -q "$expected" "$demo_log"; then
    cat "$demo_log"
    echo "the demo's output lacks: $expected" >&2
    exit 1
  fi
done
echo "ok   bash scripts/demo.sh --streams 2 --seconds 1"
