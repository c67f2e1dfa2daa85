"""What every figure family of the benchmark shares: the driver runner, the quiet gate that keeps
other work on the machine out of the figures, and the statistics and formatting of the tables."""

import os
import platform
import statistics
import subprocess
import time
from pathlib import Path

STREAM_COUNTS = [1, 8, 32, 128]
CHUNK_BYTES = 2048 * 2 * 4  # stereo float32, 2048 frames
SAMPLE_RATE = 48000
# The renderer reads each payload once, from wherever the producer's write left it: from the
# cache when all rings together stay small, from memory when they do not. The benchmark's
# producer sizes its rings to this budget (see the slot sweep in the report).
RING_BUDGET = 4 << 20


def parse_line(text):
    """The driver's key=value line as a dict of strings."""
    line = text.strip().splitlines()[-1] if text.strip() else ""
    return dict(item.split("=", 1) for item in line.split() if "=" in item)


class Runner:
    def __init__(self, build, out_root, slots):
        self.driver = str(build / "bench" / "vaskel_bench")
        self.alloc = str(build / "bench" / "vaskel_bench_alloc")
        self.renderer = str(build / "vaskel_renderer")
        self.out = out_root / "run"
        self.slots = slots
        self.failures = []
        self.gate = None

    def slots_for(self, streams):
        """Ring slots per stream: fixed when asked for, else what keeps the producer's rings
        within RING_BUDGET bytes (4 to 64 slots)."""
        if self.slots:
            return self.slots
        return max(4, min(64, RING_BUDGET // (streams * (CHUNK_BYTES + 32))))

    def drive(self, mode, streams, chunks, extra=(), timeout=600, prefix=(), slots=None,
              renderer=None):
        slots = slots or self.slots_for(streams)
        command = [*prefix, self.driver, mode, "--streams", str(streams), "--chunks", str(chunks),
                   "--out", str(self.out), "--renderer", renderer or self.renderer,
                   "--slots", str(slots), *extra]
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        figures = parse_line(done.stdout)
        if done.returncode != 0 or figures.get("ok") != "1":
            self.failures.append(f"{' '.join(command)}: exit {done.returncode} "
                                 f"{done.stderr.strip()}")
            return None
        return figures




def summary(values):
    """(median, min, max, count) of the values, or None when there are none."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return (statistics.median(values), min(values), max(values), len(values))


def fmt(stat, digits=0, unit=""):
    if stat is None:
        return "n/a"
    median, low, high, _ = stat
    return f"{median:.{digits}f}{unit} [{low:.{digits}f}-{high:.{digits}f}]"


def cpu_times():
    """(busy, total) seconds of all cores since boot, from /proc/stat."""
    values = [int(v) for v in Path("/proc/stat").read_text().splitlines()[0].split()[1:9]]
    ticks = os.sysconf("SC_CLK_TCK")
    idle = values[3] + values[4]  # idle + iowait
    return (sum(values) - idle) / ticks, sum(values) / ticks


def own_cpu():
    """CPU seconds of this script and of every process it has started and reaped."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def kernel_threads_cpu():
    """CPU seconds of the kernel's own threads (kthreadd and its children: writeback, journal,
    block-device work), which write a disk benchmark's files on its behalf."""
    ticks = 0
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue  # ended meanwhile
        fields = text[text.rindex(")") + 2:].split()  # from the state on: ppid is [1]
        if stat.parent.name == "2" or fields[1] == "2":
            ticks += int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


class QuietGate:
    """Keeps other work on the machine out of the figures, within a time budget for the whole
    run: before a set of measurements it waits until the machine is nearly idle, and after it
    compares the CPU time the whole machine used with the CPU time of this benchmark's own
    processes. A set during which other work took more than the threshold is run again."""

    def __init__(self, threshold, budget, machine=cpu_times, own=own_cpu, clock=time.time,
                 sleep=time.sleep, kernel=kernel_threads_cpu):
        self.threshold = threshold
        self.budget = budget
        self.seen = []  # share of the cores other work took during each kept set
        self.reruns = 0
        self._machine, self._own, self._clock, self._sleep = machine, own, clock, sleep
        self._kernel = kernel

    def _wait_for_quiet(self):
        while self.budget > 0:
            busy0, total0 = self._machine()
            self._sleep(0.5)
            busy1, total1 = self._machine()
            if (busy1 - busy0) / max(1e-9, total1 - total0) <= self.threshold:
                return
            self._sleep(1.0)
            self.budget -= 1.5

    def measure(self, run_set, kernel_is_ours=False):
        """`kernel_is_ours`: the kernel's threads work for the set (writing its files to a
        disk), so their CPU time is not other work."""
        own = (lambda: self._own() + self._kernel()) if kernel_is_ours else self._own
        while True:
            self._wait_for_quiet()
            busy0, total0 = self._machine()
            own0, start = own(), self._clock()
            result = run_set()
            busy1, total1 = self._machine()
            own1, elapsed = own(), self._clock() - start
            others = max(0.0, (busy1 - busy0) - (own1 - own0)) / max(1e-9, total1 - total0)
            if others <= self.threshold or self.budget <= 0:
                self.seen.append(others)
                return result
            self.reruns += 1
            self.budget -= elapsed

    def describe(self):
        if not self.seen:
            return "n/a"
        return (f"other work took {statistics.median(self.seen) * 100:.0f}% of the cores "
                f"(median over {len(self.seen)} measurement sets, max "
                f"{max(self.seen) * 100:.0f}%); {self.reruns} sets were run again because "
                f"other work took more than {self.threshold * 100:.0f}%")


def loadavg():
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "?"


def filesystem_type(path):
    """ext4, tmpfs, ...: findmnt names ext4 where stat -f only says ext2/ext3."""
    for command in (["findmnt", "-n", "-o", "FSTYPE", "-T", str(path)],
                    ["stat", "-f", "-c", "%T", str(path)]):
        try:
            found = subprocess.run(command, capture_output=True, text=True).stdout.split()
        except OSError:
            continue
        if found:
            return found[0]  # findmnt lists a mount point mounted over again more than once
    return "?"


def machine_description(out_root):
    cpu = "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    fs = filesystem_type(out_root)
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB RAM, Linux {platform.release()}, "
            f"output on {out_root} ({fs})")
