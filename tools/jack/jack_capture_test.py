#!/usr/bin/env python3
"""End-to-end captures through a real JACK server (the dummy backend, a server of our own).

    jack_capture_test.py --build DIR

vaskel_jack_test_source plays a signal in which every sample names its port and its frame;
vaskel_jack captures it and vaskel_renderer writes the files, which are read back with
libsndfile and checked sample by sample:
  exact      --seconds with a cut last period: exactly round(S x rate) frames, every sample
  interrupt  SIGINT ends the capture at a period boundary; the renderer completes
  overflow   a renderer throttled with delay-us: the bridge ends with overflow, and what
             reached the files is continuous (no gap), never a silent drop
"""

import argparse
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RATE = 48000
PERIOD = 256


class SfInfo(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                ("channels", ctypes.c_int), ("format", ctypes.c_int),
                ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]


def read_wav(path):
    """(channels, rate, samples) through libsndfile, an independent reader."""
    sndfile = ctypes.CDLL("libsndfile.so.1")
    sndfile.sf_open.restype = ctypes.c_void_p
    sndfile.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(SfInfo)]
    sndfile.sf_readf_float.restype = ctypes.c_int64
    sndfile.sf_readf_float.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    sndfile.sf_close.argtypes = [ctypes.c_void_p]
    info = SfInfo()
    handle = sndfile.sf_open(path.encode(), 0x10, ctypes.byref(info))  # SFM_READ
    if not handle:
        raise AssertionError(f"libsndfile cannot open {path}")
    buffer = (ctypes.c_float * (info.frames * info.channels))()
    got = sndfile.sf_readf_float(handle, buffer, info.frames)
    sndfile.sf_close(handle)
    if got != info.frames:
        raise AssertionError(f"{path}: read {got} of {info.frames} frames")
    return info.channels, info.samplerate, list(buffer)


def stop_child(child, timeout):
    """Asks a child still running to end (SIGTERM), then kills it after `timeout` seconds."""
    if child.poll() is None:
        child.send_signal(signal.SIGTERM)
        try:
            child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def expected_sample(port, frame):
    """The test source's sample: ((frame mod 2^20) + (port mod 8) * 2^20) / 2^23, exact."""
    return ((frame & 0xFFFFF) | ((port % 8) << 20)) / 8388608.0


def check_files(output, streams, channels, feeds, frames=None):
    """Checks every sample; feeds[i] is the source port of input port i (None: unconnected).
    Returns the frames per stream. Every stream starts at the same source frame."""
    start = None
    lengths = []
    for stream in range(streams):
        got_channels, rate, samples = read_wav(os.path.join(output, f"stream-{stream}.wav"))
        assert (got_channels, rate) == (channels, RATE), (stream, got_channels, rate)
        length = len(samples) // channels
        lengths.append(length)
        if frames is not None:
            assert length == frames, f"stream {stream}: {length} frames, expected {frames}"
        for channel in range(channels):
            port = feeds[stream * channels + channel]
            values = samples[channel::channels]
            if port is None:
                assert not any(values), f"stream {stream}: an unconnected port is not silent"
                continue
            if start is None and values:
                start = round(values[0] * 8388608.0) & 0xFFFFF
            for k, value in enumerate(values):
                if value != expected_sample(port, start + k):
                    raise AssertionError(f"stream {stream} channel {channel} frame {k}: "
                                         f"{value!r}, expected {expected_sample(port, start + k)!r}")
    return lengths


class Harness:
    def __init__(self, build, work):
        self.build, self.work = build, work
        self.server = f"vaskel-test-{os.getpid()}"
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.server, JACK_NO_AUDIO_RESERVATION="1")
        self.children = []

    def start(self, args, log):
        child = subprocess.Popen(args, env=self.env, stdout=subprocess.PIPE,
                                 stderr=open(os.path.join(self.work, log), "w"), text=True)
        self.children.append(child)
        return child

    def start_server(self, ports):
        # Synchronous mode with a long client timeout: on a loaded machine the server waits for
        # a late client instead of running the graph without it, which would break the signal.
        self.start(["jackd", "--no-realtime", "-n", self.server, "-S", "-t", "10000",
                    "-d", "dummy", "-r", str(RATE), "-p", str(PERIOD)], "jackd.log")
        subprocess.run(["jack_wait", "-s", self.server, "-w", "-t", "20"], env=self.env,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)
        self.start([os.path.join(self.build, "vaskel_jack_test_source"), "src", str(ports)],
                   "source.log")
        time.sleep(0.5)

    def stop_all(self):
        for child in reversed(self.children):
            stop_child(child, 5)

    def wait_for_capture(self, name):
        """Waits until the bridge says the renderer has attached, however slow the machine."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with open(os.path.join(self.work, f"bridge-{name}.log")) as log:
                if "capturing" in log.read():
                    return
            time.sleep(0.05)
        raise AssertionError(f"{name}: the capture did not start")

    def capture(self, name, bridge_args, delay_us=0, interrupt_after=None):
        """Runs the bridge and the renderer; returns (bridge exit, verdict line, renderer
        exit, renderer stderr, output directory)."""
        output = os.path.join(self.work, name)
        region = f"vaskel-jack-test-{os.getpid()}-{name}"
        bridge = self.start([os.path.join(self.build, "vaskel_jack"), region, "--client",
                             f"bridge_{name}"] + bridge_args, f"bridge-{name}.log")
        renderer = subprocess.Popen([os.path.join(self.build, "vaskel_renderer"), region,
                                     output, str(delay_us), "10000", "10000"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if interrupt_after is not None:
            self.wait_for_capture(name)
            time.sleep(interrupt_after)
            bridge.send_signal(signal.SIGINT)
        verdict, _ = bridge.communicate(timeout=60)
        _, renderer_err = renderer.communicate(timeout=60)
        return bridge.returncode, verdict.strip(), renderer.returncode, renderer_err.strip(), output


def fail(message, harness, name):
    print(f"FAIL {message}")
    with open(os.path.join(harness.work, f"bridge-{name}.log")) as log:
        print(log.read())
    sys.exit(1)


def run(harness):
    harness.start_server(ports=4)
    # Stereo, with src:out_0 fed twice and the last input left unconnected; 1.3 s cuts the
    # last period (62400 frames are 243.75 periods).
    connect = ["src:out_0", "src:out_1", "src:out_2", "src:out_3", "src:out_0"]
    args = ["--streams", "3", "--channels", "2", "--seconds", "1.3"]
    for port in connect:
        args += ["--connect", port]
    code, verdict, rcode, rerr, output = harness.capture("exact", args)
    if (code, rcode) != (0, 0) or not verdict.startswith("verdict=completed,framesPerStream=62400,"):
        fail(f"exact: bridge {code} '{verdict}', renderer {rcode} '{rerr}'", harness, "exact")
    check_files(output, 3, 2, [0, 1, 2, 3, 0, None], frames=62400)
    print("ok   exact: 3 stereo streams, 62400 frames each, every sample as played")

    code, verdict, rcode, rerr, output = harness.capture(
        "interrupt", ["--connect", "src:out_2"], interrupt_after=1.0)
    lengths = check_files(output, 1, 1, [2])
    if (code, rcode) != (0, 0) or lengths[0] == 0 or lengths[0] % PERIOD != 0:
        fail(f"interrupt: bridge {code} '{verdict}', renderer {rcode}, {lengths}", harness,
             "interrupt")
    print(f"ok   interrupt: closed at a period boundary after {lengths[0]} frames")

    # A renderer slower than the server (5 ms a chunk, two chunks every 5.3 ms) with rings of
    # four slots: they fill within a fraction of a second.
    code, verdict, rcode, rerr, output = harness.capture(
        "overflow", ["--streams", "2", "--slots", "4", "--connect", "src:out_1",
                     "--connect", "src:out_3"], delay_us=5000)
    if code != 4 or not verdict.startswith("verdict=overflow,") or (rcode, rerr) != (4, "overflow"):
        fail(f"overflow: bridge {code} '{verdict}', renderer {rcode} '{rerr}'", harness,
             "overflow")
    # A stopped capture leaves the files' headers at "0 bytes"; vaskel_wav repair sets them.
    subprocess.run([os.path.join(harness.build, "vaskel_wav"), "repair", output],
                   stdout=subprocess.DEVNULL, check=True, timeout=30)
    lengths = check_files(output, 2, 1, [1, 3])
    if sum(lengths) == 0:
        fail(f"overflow: nothing reached the files {lengths}", harness, "overflow")
    print(f"ok   overflow: the bridge stopped with overflow; {lengths} frames, all continuous")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    build = os.path.abspath(parser.parse_args().build)
    work = tempfile.mkdtemp(prefix="vaskel-jack-test.")
    harness = Harness(build, work)
    # A timeout's SIGTERM still stops the server and the clients (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("jack_capture_test: terminated"))
    try:
        run(harness)
    finally:
        harness.stop_all()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
