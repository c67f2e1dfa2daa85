#!/usr/bin/env python3
"""A live take beside a disk kept busy: does the bridge's buffer ride it out?

    busy_disk.py --build DIR [--takes 10] [--seconds 30] [--ports 7] [--buffer 4] [--slots 64]
                 [--repeat] [--out DIR]

Per take: a jackd of our own on the dummy backend (48000 Hz, 256 frames), the test source with
--ports ports, and `vaskel_jack --output OUT --connect 'src:out_.*' --seconds S`; once the
bridge captures, `dd if=/dev/zero of=OUT/dd.bin bs=1M count=2500 conv=fdatasync` writes to the
same file system. Prints each take's verdict, the buffer's fullest point and how long dd took,
then how many takes overflowed. "dd" is how long dd itself took (from the start of the
capture), so how much of the take it overlapped. A benchmark: it prints figures and asserts nothing.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "jack"))
from jack_capture_test import stop_child  # noqa: E402

RATE = 48000
PERIOD = 256


def start_server(build, ports, name):
    env = dict(os.environ, JACK_DEFAULT_SERVER=name, JACK_NO_AUDIO_RESERVATION="1")
    jackd = subprocess.Popen(["jackd", "--no-realtime", "-n", name, "-d", "dummy", "-r", str(RATE),
                              "-p", str(PERIOD)], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    subprocess.run(["jack_wait", "-s", name, "-w", "-t", "20"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    source = subprocess.Popen([os.path.join(build, "vaskel_jack_test_source"), "src", str(ports)],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    return env, jackd, source


def one_take(build, env, options, out, number):
    log_path = os.path.join(out, f"bridge-{number}.log")
    with open(log_path, "w") as log:
        bridge = subprocess.Popen(
            [os.path.join(build, "vaskel_jack"), "--output", out, "--connect", "src:out_.*",
             "--seconds", str(options.seconds), "--buffer", str(options.buffer), "--slots",
             str(options.slots), "--quiet"],
            env=env, stdout=subprocess.PIPE, stderr=log, text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and bridge.poll() is None:
        with open(log_path) as log:
            if "capturing" in log.read():
                break
        time.sleep(0.05)
    started = time.monotonic()
    dd_ended, runs = [], [0]

    def write_disk():
        # Once, or with --repeat again and again while the take lasts.
        while True:
            runs[0] += 1
            subprocess.run(["dd", "if=/dev/zero", f"of={os.path.join(out, 'dd.bin')}", "bs=1M",
                            "count=2500", "conv=fdatasync"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if not options.repeat or bridge.poll() is not None:
                break
        dd_ended.append(time.monotonic())

    watcher = threading.Thread(target=write_disk)
    watcher.start()
    verdict, _ = bridge.communicate(timeout=options.seconds + 600)
    watcher.join()
    dd_seconds = dd_ended[0] - started
    os.unlink(os.path.join(out, "dd.bin"))
    line = re.search(r"^verdict=(\w+),framesPerStream=(\w+),xruns=(\d+),bufferPeakSeconds=([0-9.]+)",
                     verdict, re.M)
    if line is None:
        with open(log_path) as log:
            return None, f"no verdict (exit {bridge.returncode}): {log.read()[-400:]}"
    return line.groups(), f"dd {dd_seconds:.1f} s ({runs[0]} run{'s' if runs[0] > 1 else ''})"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--takes", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--ports", type=int, default=7)
    parser.add_argument("--buffer", type=float, default=4)
    parser.add_argument("--repeat", action="store_true", help="run dd again and again for the "
                        "whole take")
    parser.add_argument("--slots", type=int, default=64, help="chunks of 2048 frames a ring "
                        "holds: 6 makes rings of 256 ms, as the bridge had before its buffer")
    parser.add_argument("--out", default=None, help="a directory on the disk to keep busy "
                        "(default: a new one under the build directory)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    parent = options.out or build
    print(f"{options.takes} takes of {options.seconds:g} s, {options.ports} ports at {RATE} Hz, "
          f"--buffer {options.buffer:g}, --slots {options.slots}, beside"
          f"{' repeated' if options.repeat else ''} dd bs=1M count=2500 conv=fdatasync in {parent}")
    print(f"{'take':>4} {'verdict':>10} {'frames':>9} {'xruns':>5} {'buffer peak':>11}  dd")
    overflows, peaks = 0, []
    for number in range(1, options.takes + 1):
        out = tempfile.mkdtemp(prefix="vaskel-busy-disk.", dir=parent)
        env, jackd, source = start_server(build, options.ports, f"vaskel-busy-{os.getpid()}")
        try:
            result, note = one_take(build, env, options, out, number)
        finally:
            stop_child(source, 10)
            stop_child(jackd, 10)
            shutil.rmtree(out, ignore_errors=True)
        if result is None:
            print(f"{number:>4} {'-':>10} {note}", flush=True)
            continue
        verdict, frames, xruns, peak = result
        overflows += verdict == "overflow"
        peaks.append(float(peak))
        print(f"{number:>4} {verdict:>10} {frames:>9} {xruns:>5} {float(peak):>9.3f} s  {note}",
              flush=True)
    if peaks:
        print(f"overflows: {overflows} of {len(peaks)} takes; buffer peak: largest "
              f"{max(peaks):.3f} s, median {sorted(peaks)[len(peaks) // 2]:.3f} s of "
              f"{options.buffer:g} s")


if __name__ == "__main__":
    main()
