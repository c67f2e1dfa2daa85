#!/usr/bin/env python3
"""Runs the live-capture benchmark; see run.sh.

For each port count and period: a jackd on the dummy backend (48000 Hz), the test source with
that many ports, then two captures of the same length from it, one after the other:
  bridge    vaskel_jack --streams N --seconds S (one mono stream per port) and
            vaskel_renderer writing N mono float WAV files
  jack_rec  jack_rec -d S -b 32 with the N ports: one N-channel file through libsndfile
CPU is user + system time of the capturing processes (rusage of the waited children), as a
share of one core over the capture's length. The files go to --out (default /dev/shm).
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

# The capture test's way of ending a child, shared rather than copied.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "jack"))
from jack_capture_test import stop_child  # noqa: E402

RATE = 48000


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def wait_cpu(child):
    """Waits for the child; returns its exit code and its own CPU seconds."""
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return child.returncode, usage.ru_utime + usage.ru_stime


class Server:
    def __init__(self, build, ports, period):
        self.name = f"vaskel-bench-{os.getpid()}-{ports}-{period}"
        self.env = dict(os.environ, JACK_DEFAULT_SERVER=self.name, JACK_NO_AUDIO_RESERVATION="1")
        self.jackd = subprocess.Popen(
            ["jackd", "--no-realtime", "-n", self.name, "-d", "dummy", "-r", str(RATE), "-p",
             str(period)], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["jack_wait", "-s", self.name, "-w", "-t", "20"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        self.source = subprocess.Popen(
            [os.path.join(build, "vaskel_jack_test_source"), "src", str(ports)], env=self.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)

    def stop(self):
        for child in (self.source, self.jackd):
            stop_child(child, 10)


def run_bridge(build, server, ports, seconds, out):
    region = f"vaskel-bench-jack-{os.getpid()}-{ports}"
    args = [os.path.join(build, "vaskel_jack"), region, "--streams", str(ports), "--seconds",
            str(seconds)]
    for port in range(ports):
        args += ["--connect", f"src:out_{port}"]
    bridge = subprocess.Popen(args, env=server.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    renderer = subprocess.Popen([os.path.join(build, "vaskel_renderer"), region, out],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    verdict = bridge.stdout.read()
    bridge_code, bridge_cpu = wait_cpu(bridge)
    renderer_code, renderer_cpu = wait_cpu(renderer)
    if bridge_code != 0 or renderer_code != 0:
        sys.exit(f"bridge capture failed: {verdict.strip()}, renderer {renderer_code}")
    xruns = re.search(r"xruns=(\d+)", verdict).group(1)
    return bridge_cpu, renderer_cpu, xruns


def run_jack_rec(server, ports, seconds, out):
    before = cpu_of_children()
    args = ["jack_rec", "-f", os.path.join(out, "jack_rec.wav"), "-d", str(seconds), "-b", "32"]
    args += [f"src:out_{port}" for port in range(ports)]
    subprocess.run(args, env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, timeout=seconds + 120)
    return cpu_of_children() - before


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--out", default="/dev/shm")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    print(f"captures of {options.seconds} s at {RATE} Hz; CPU = user + system, % of one core")
    print(f"{'ports':>5} {'period':>6} | {'bridge':>7} {'renderer':>8} {'both':>7} {'xruns':>5}"
          f" | {'jack_rec':>8} | {'ratio':>5}")
    for ports in (8, 64):
        for period in (256, 1024):
            server = Server(build, ports, period)
            out = tempfile.mkdtemp(prefix="vaskel-bench-jack.", dir=options.out)
            try:
                bridge_cpu, renderer_cpu, xruns = run_bridge(build, server, ports,
                                                             options.seconds, out)
                shutil.rmtree(out)
                os.mkdir(out)
                rec_cpu = run_jack_rec(server, ports, options.seconds, out)
            finally:
                server.stop()
                shutil.rmtree(out, ignore_errors=True)
            pct = [100 * cpu / options.seconds
                   for cpu in (bridge_cpu, renderer_cpu, bridge_cpu + renderer_cpu, rec_cpu)]
            print(f"{ports:>5} {period:>6} | {pct[0]:>6.2f}% {pct[1]:>7.2f}% {pct[2]:>6.2f}%"
                  f" {xruns:>5} | {pct[3]:>7.2f}% | {pct[2] / pct[3]:>5.2f}", flush=True)


if __name__ == "__main__":
    main()
