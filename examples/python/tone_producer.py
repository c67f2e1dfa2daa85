#!/usr/bin/env python3
"""A producer in Python over the vaskel module: it publishes a tone per stream into the region
<region-name>, closes its streams, waits for the renderer's verdict and removes the region.
Start vaskel_renderer with the same name, before or after this script:

    python3 tone_producer.py my-render 4 96000 &
    vaskel_renderer my-render /tmp/my-render

The module comes from bindings/python/ in the repository (pip install ./bindings/python) or the
python3-vaskel package. With --numpy the tone is computed and written as numpy arrays of shape
(frames, channels), without a copy.

The tone is the one of the C example (examples/c/tone_producer.c): a triangle wave computed in
integers, stream s at 220 + 110 * (s mod 16) Hz, channel 0 at amplitude 0.5, channel 1 at 0.25.
Ctrl-C aborts the streams and removes the region. Exit codes as the C example's.
"""

import argparse
import sys
import time
from array import array

import vaskel

CHANNELS = 2
SAMPLE_RATE = 48000
FRAMES_PER_WRITE = 4800  # 100 ms of every stream per round
PATIENCE_S = 30  # this long without progress: the renderer is not coming


def tone_sample(stream, frame, channel):
    frequency = 220 + 110 * (stream % 16)
    phase = (frame * frequency) % SAMPLE_RATE * 65536 // SAMPLE_RATE
    level = phase - 16384 if phase < 32768 else 49151 - phase
    return level / (32768.0 if channel == 0 else 65536.0)


def tone_block(stream, first, count):
    """The tone's frames first .. first + count - 1, interleaved."""
    return array("f", (tone_sample(stream, first + i // CHANNELS, i % CHANNELS)
                       for i in range(count * CHANNELS)))


def numpy_tone_block(stream, first, count):
    """The same frames as a numpy array of shape (count, CHANNELS); every value is exact."""
    import numpy  # pylint: disable=import-outside-toplevel
    frames = numpy.arange(first, first + count, dtype=numpy.int64)
    phase = (frames * (220 + 110 * (stream % 16))) % SAMPLE_RATE * 65536 // SAMPLE_RATE
    level = numpy.where(phase < 32768, phase - 16384, 49151 - phase)
    block = numpy.empty((count, CHANNELS), numpy.float32)
    block[:, 0] = level / 32768.0
    block[:, 1] = level / 65536.0
    return block


def write_all(producer, stream, samples):
    """Writes every frame and gives up only after PATIENCE_S without progress (no renderer)."""
    # A flat buffer counts floats, a (frames, channels) array counts frames.
    flat = memoryview(samples).ndim == 1
    deadline = time.monotonic() + PATIENCE_S
    while len(samples):
        try:
            producer.write(stream, samples, timeout=1.0)
            return
        except vaskel.WriteTimeout as timeout:
            samples = samples[timeout.frames_written * (CHANNELS if flat else 1):]
            if timeout.frames_written:
                deadline = time.monotonic() + PATIENCE_S
            elif time.monotonic() > deadline:
                raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("region")
    parser.add_argument("streams", nargs="?", type=int, default=2)
    parser.add_argument("frames", nargs="?", type=int, default=48000)
    parser.add_argument("--library", help="path of the vaskel_producer shared library")
    parser.add_argument("--numpy", action="store_true", help="write numpy arrays")
    args = parser.parse_args()
    block = numpy_tone_block if args.numpy else tone_block
    vaskel.load(args.library)

    try:
        producer = vaskel.Producer(args.region, streams=args.streams, channels=CHANNELS,
                                   sample_rate=SAMPLE_RATE, end_frame=args.frames)
    except vaskel.VaskelError as error:
        print("tone_producer.py: %s" % error, file=sys.stderr)
        return 1
    with producer:
        try:
            for first in range(0, args.frames, FRAMES_PER_WRITE):
                count = min(FRAMES_PER_WRITE, args.frames - first)
                for stream in range(args.streams):
                    write_all(producer, stream, block(stream, first, count))
            for stream in range(args.streams):
                producer.close_stream(stream)
            if not producer.wait(timeout=PATIENCE_S):
                print("tone_producer.py: no verdict from the renderer", file=sys.stderr)
                return 1
        except vaskel.CaptureFailed as failure:
            print(failure.failure_name, file=sys.stderr)
            return 4
        except KeyboardInterrupt:
            # Aborting tells the renderer to stop now rather than wait for its idle timeout.
            for stream in range(args.streams):
                try:
                    producer.abort_stream(stream)
                except vaskel.VaskelError:
                    pass  # closed already
            print("tone_producer.py: interrupted; the streams were aborted", file=sys.stderr)
            return 130
        except vaskel.VaskelError as error:
            print("tone_producer.py: %s" % error, file=sys.stderr)
            return 1
    print("capture complete: %d streams of %d frames" % (args.streams, args.frames))
    return 0


if __name__ == "__main__":
    sys.exit(main())
