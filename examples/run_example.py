#!/usr/bin/env python3
"""Runs an example producer beside the renderer and checks the capture byte for byte.

    run_example.py --renderer PATH --output DIR [--streams N] [--frames N] [--wrap WORD ...]
                   -- PRODUCER-COMMAND...

The producer command gets <region-name> <streams> <frames> appended; --wrap words go in front
of both programs (e.g. the Wine runner and its prefix). Every stream-<i>.wav must hold exactly
the 44-byte float WAV header and the examples' tone, recomputed here on its own, and
render-progress.json the final snapshot.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
from array import array

SAMPLE_RATE = 48000
CHANNELS = 2


def tone(stream, frames):
    """The examples' tone: a triangle wave in integers, so every float is exact."""
    frequency = 220 + 110 * (stream % 16)
    samples = array("f")
    for frame in range(frames):
        phase = (frame * frequency) % SAMPLE_RATE * 65536 // SAMPLE_RATE
        level = phase - 16384 if phase < 32768 else 49151 - phase
        samples.append(level / 32768.0)
        samples.append(level / 65536.0)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def wav_header(frames):
    data = frames * CHANNELS * 4
    return (b"RIFF" + struct.pack("<I", data + 36) + b"WAVE" + b"fmt " +
            struct.pack("<IHHIIHH", 16, 3, CHANNELS, SAMPLE_RATE, SAMPLE_RATE * CHANNELS * 4,
                        CHANNELS * 4, 32) + b"data" + struct.pack("<I", data))


def check_capture(root, streams, frames):
    """The list of differences; empty when every file matches."""
    problems = []
    for stream in range(streams):
        path = os.path.join(root, "stream-%d.wav" % stream)
        try:
            actual = open(path, "rb").read()
        except OSError as error:
            problems.append("%s: %s" % (path, error))
            continue
        expected = wav_header(frames) + tone(stream, frames)
        if actual != expected:
            first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b),
                         min(len(actual), len(expected)))
            problems.append("%s: %d bytes, expected %d; first difference at byte %d"
                            % (path, len(actual), len(expected), first))
    progress = ('{"schemaVersion":1,"state":"complete","streamCount":%d,"activeStreams":%d,'
                '"completedStreams":%d,"writtenFrames":%d,"totalFrames":%d}'
                % (streams, streams, streams, streams * frames, streams * frames))
    path = os.path.join(root, "render-progress.json")
    actual = open(path, encoding="ascii").read() if os.path.exists(path) else "(missing)"
    if actual != progress:
        problems.append("%s: %s, expected %s" % (path, actual, progress))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--renderer", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--streams", type=int, default=3)
    parser.add_argument("--frames", type=int, default=48000)  # at least 1
    parser.add_argument("--wrap", action="append", default=[])
    parser.add_argument("producer", nargs="+")
    args = parser.parse_args()

    region = "vaskel-example-%d" % os.getpid()
    shutil.rmtree(args.output, ignore_errors=True)
    producer = subprocess.Popen(
        args.wrap + args.producer + [region, str(args.streams), str(args.frames)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # Idle and attach timeouts of 20 s: generous for Wine's process start.
        renderer = subprocess.run(
            args.wrap + [args.renderer, region, args.output, "0", "20000", "20000"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
        producer_output, _ = producer.communicate(timeout=60)
    finally:
        if producer.poll() is None:
            producer.kill()
    print("producer (exit %d): %s" % (producer.returncode, producer_output.strip()))
    print("renderer (exit %d): %s" % (renderer.returncode, renderer.stdout.strip()))
    if producer.returncode != 0 or renderer.returncode != 0:
        print("FAIL: the capture did not complete")
        return 1
    problems = check_capture(args.output, args.streams, args.frames)
    for problem in problems:
        print("FAIL: " + problem)
    if problems:
        return 1
    print("ok: %d stream files of %d frames and the progress file match"
          % (args.streams, args.frames))
    return 0


if __name__ == "__main__":
    sys.exit(main())
