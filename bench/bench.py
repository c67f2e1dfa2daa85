#!/usr/bin/env python3
"""Runs every figure of the renderer benchmark and reports them.

Called by bench/run.sh after it has built the programs; see docs/PERFORMANCE.md. Every
throughput figure is taken `reps` times with the contenders interleaved (so a burst of load from
elsewhere hits them alike) and reported as median [min-max]. Results go to the results
directory: results.csv, throughput.png, table.txt.
"""

import argparse
import csv
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

STREAM_COUNTS = [1, 8, 32, 128]
CHUNK_BYTES = 2048 * 2 * 4  # stereo float32, 2048 frames
SAMPLE_RATE = 48000
# The renderer reads each payload once, from wherever the producer's write left it: from the
# cache when all rings together stay small, from memory when they do not. The benchmark's
# producer sizes its rings to this budget (see the slot sweep in the report).
RING_BUDGET = 4 << 20
# Real-time captures: stream counts and chunk sizes in frames.
REALTIME_STREAMS = [1, 8, 128]
REALTIME_FRAMES = [1024, 64]
# Spacing of the chunks that each arrive after a quiet spell: far longer than the spell.
QUIET_SPACING_US = 5000

# Throughput contenders: name in tables, driver mode, extra driver options.
CONTENDERS = [
    ("renderer", "renderer", []),
    ("plain", "plain", []),
    ("plain_cold", "plain", ["--cold-source-mib", "64"]),
    ("sndfile", "sndfile", []),
    ("sndfile_nopeak", "sndfile", ["--no-peak"]),
    ("sox", "sox", []),
    ("ffmpeg", "ffmpeg", []),
]
LABELS = {
    "renderer": "renderer (2 processes)",
    "plain": "plain write() loop",
    "plain_cold": "plain write(), 64 MiB source",
    "sndfile": "libsndfile in-process",
    "sndfile_nopeak": "libsndfile, no PEAK chunk",
    "sox": "sox per stream, piped",
    "ffmpeg": "ffmpeg per stream, piped",
}


def parse_line(text):
    """The driver's key=value line as a dict of strings."""
    line = text.strip().splitlines()[-1] if text.strip() else ""
    return dict(item.split("=", 1) for item in line.split() if "=" in item)


class Runner:
    def __init__(self, build, out_root, slots):
        self.driver = str(build / "bench" / "vaskel_bench")
        self.alloc = str(build / "bench" / "vaskel_bench_alloc")
        self.renderer = str(build / "vaskel_renderer")
        self.producer = str(build / "vaskel_producer")
        self.out = out_root / "run"
        self.slots = slots
        self.failures = []
        self.gate = None
        self.captures = 0

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


    def realtime_capture(self, renderer, streams, frames, seconds):
        """One capture as a user runs it: vaskel_producer renders stereo 48 kHz in real time
        (--pace 1, 16 slots) and the renderer, started beside it, drains it. Returns the
        renderer's own CPU seconds (wait4) and wall seconds, or None when the capture failed."""
        self.captures += 1
        name = f"vaskel-bench-rt-{os.getpid()}-{self.captures}"
        out = self.out.parent / "realtime"
        shutil.rmtree(out, ignore_errors=True)
        log = self.out.parent / "realtime.log"
        producer_command = [self.producer, name, "--streams", str(streams), "--frames-per-chunk",
                            str(frames), "--seconds", str(seconds), "--pace", "1",
                            "--timeout-ms", "30000"]
        with open(log, "w") as sink:
            producer = subprocess.Popen(producer_command, stdout=sink, stderr=sink)
            start = time.monotonic()
            renderer_process = subprocess.Popen([renderer, name, str(out)], stdout=sink,
                                                stderr=sink)
            # wait4 gives the renderer's CPU alone; the producer's is not in it.
            _, status, usage = os.wait4(renderer_process.pid, 0)
            wall = time.monotonic() - start
            renderer_process.returncode = os.waitstatus_to_exitcode(status)
            try:
                producer_exit = producer.wait(timeout=60)
            except subprocess.TimeoutExpired:
                producer.kill()
                producer_exit = producer.wait()
        shutil.rmtree(out, ignore_errors=True)
        if renderer_process.returncode != 0 or producer_exit != 0:
            self.failures.append(f"{' '.join(producer_command)} with {renderer}: renderer exit "
                                 f"{renderer_process.returncode}, producer exit {producer_exit}: "
                                 f"{log.read_text(errors='replace').strip()[-400:]}")
            return None
        return {"cpu_s": usage.ru_utime + usage.ru_stime, "wall_s": wall}


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


class QuietGate:
    """Keeps other work on the machine out of the figures, within a time budget for the whole
    run: before a set of measurements it waits until the machine is nearly idle, and after it
    compares the CPU time the whole machine used with the CPU time of this benchmark's own
    processes. A set during which other work took more than the threshold is run again."""

    def __init__(self, threshold, budget, machine=cpu_times, own=own_cpu, clock=time.time,
                 sleep=time.sleep):
        self.threshold = threshold
        self.budget = budget
        self.seen = []  # share of the cores other work took during each kept set
        self.reruns = 0
        self._machine, self._own, self._clock, self._sleep = machine, own, clock, sleep

    def _wait_for_quiet(self):
        while self.budget > 0:
            busy0, total0 = self._machine()
            self._sleep(0.5)
            busy1, total1 = self._machine()
            if (busy1 - busy0) / max(1e-9, total1 - total0) <= self.threshold:
                return
            self._sleep(1.0)
            self.budget -= 1.5

    def measure(self, run_set):
        while True:
            self._wait_for_quiet()
            busy0, total0 = self._machine()
            own0, start = self._own(), self._clock()
            result = run_set()
            busy1, total1 = self._machine()
            own1, elapsed = self._own(), self._clock() - start
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


def throughput(runner, args, rows, table, where="", tag=""):
    """Throughput, CPU per audio second and, for the renderer, the producer's CPU. `where` names
    the output filesystem in the titles, `tag` marks the CSV sections of a second run."""
    tools = [c for c in CONTENDERS
             if c[1] not in ("sox", "ffmpeg") or shutil.which(c[1])]
    results = {}  # (name, streams) -> list of figure dicts
    for rep in range(args.reps):
        for streams in STREAM_COUNTS:
            chunks = max(4, args.bytes // (streams * CHUNK_BYTES))
            # Rotate the order each repetition so no contender always runs first.
            order = tools[rep % len(tools):] + tools[:rep % len(tools)]

            def run_set():
                found = []
                for name, mode, extra in order:
                    extra = list(extra)
                    if rep == 0 and name in ("renderer", "plain", "plain_cold"):
                        extra.append("--verify")  # same bytes as the renderer's files
                    found.append((name, runner.drive(mode, streams, chunks, extra)))
                return found

            for name, figures in runner.gate.measure(run_set):
                results.setdefault((name, streams), []).append(figures)
        print(f"  throughput{where} repetition {rep + 1}/{args.reps} done (load {loadavg()})",
              flush=True)

    def stat(name, streams, key, scale=1.0):
        runs = results.get((name, streams), [])
        return summary([float(f[key]) * scale for f in runs if f is not None])

    def ratio(streams, other):
        pairs = zip(results.get(("renderer", streams), []), results.get((other, streams), []))
        return summary([float(a["mb_s"]) / float(b["mb_s"]) for a, b in pairs if a and b])

    names = [c[0] for c in tools]
    table.append(f"Throughput{where}, MB/s (10^6 bytes of samples per second, whole run), "
                 f"median [min-max] of {args.reps}")
    table.append(f"{'streams':>7} " + " ".join(f"{n:>22}" for n in names))
    for streams in STREAM_COUNTS:
        table.append(f"{streams:>7} " + " ".join(
            f"{fmt(stat(n, streams, 'mb_s')):>22}" for n in names))
    table.append("")
    table.append(f"Real-time factor{where} (seconds of the whole N-stream render per second)")
    table.append(f"{'streams':>7} " + " ".join(f"{n:>22}" for n in names))
    for streams in STREAM_COUNTS:
        table.append(f"{streams:>7} " + " ".join(
            f"{fmt(stat(n, streams, 'rtf')):>22}" for n in names))
    table.append("")
    table.append(f"CPU time per second of audio{where}, ms (user+sys of every process that did "
                 "the work; renderer column: the renderer process alone)")
    table.append(f"{'streams':>7} " + " ".join(f"{n:>22}" for n in names)
                 + f" {'producer, with spinning':>24}")
    for streams in STREAM_COUNTS:
        runs = [f for f in results.get(("renderer", streams), []) if f]
        seconds = [int(f["chunks"]) * 2048 / SAMPLE_RATE for f in runs]
        producer = summary([float(f["producer_cpu_s"]) * 1000 / s
                            for f, s in zip(runs, seconds)])
        table.append(f"{streams:>7} " + " ".join(
            f"{fmt(stat(n, streams, 'cpu_ms_per_audio_s'), 2):>22}" for n in names)
            + f" {fmt(producer, 2):>24}")
    table.append("")
    others = [n for n in names if n != "renderer"]
    table.append(f"Ratios renderer / contender{where} (MB/s, paired per repetition)")
    table.append(f"{'streams':>7} " + " ".join(f"{'/ ' + n:>22}" for n in others))
    for streams in STREAM_COUNTS:
        table.append(f"{streams:>7} " + " ".join(
            f"{fmt(ratio(streams, n), 2):>22}" for n in others))
    table.append("")

    for (name, streams), runs in sorted(results.items()):
        for key, unit in (("mb_s", "MB/s"), ("rtf", "x"), ("cpu_ms_per_audio_s", "ms/s")):
            s = stat(name, streams, key)
            if s:
                rows.append((f"throughput{tag}", f"{name}_{key}", streams, unit, *s))
    def cpu_ratio(streams):
        pairs = zip(results.get(("renderer", streams), []), results.get(("plain", streams), []))
        return summary([float(a["cpu_ms_per_audio_s"]) / float(b["cpu_ms_per_audio_s"])
                        for a, b in pairs if a and b])

    table.append(f"CPU per byte{where}, renderer process / plain writer (paired per repetition;"
                 " 1.00 means the renderer adds nothing to the cost of the write calls)")
    table.append("  " + "   ".join(f"{streams} streams: {fmt(cpu_ratio(streams), 2)}"
                                   for streams in STREAM_COUNTS))
    table.append("")
    for streams in STREAM_COUNTS:
        for other in others:
            s = ratio(streams, other)
            if s:
                rows.append((f"ratio{tag}", f"renderer_over_{other}", streams, "x", *s))
        s = cpu_ratio(streams)
        if s:
            rows.append((f"ratio{tag}", "renderer_cpu_over_plain_cpu", streams, "x", *s))
    return results, names


def slot_sweep(runner, args, rows, table):
    """Renderer throughput against the producer's ring size, at the stream counts where the
    rings outgrow the cache."""
    sizes = (2, 4, 8, 32)
    table.append("Renderer throughput against ring slots per stream, MB/s, median [min-max] of "
                 f"{args.sweep_reps} (ring footprint = streams x slots x 16 KiB)")
    table.append(f"{'streams':>7} " + " ".join(f"{f'{n} slots':>22}" for n in sizes))
    for streams in (32, 128):
        chunks = max(4, args.bytes // (streams * CHUNK_BYTES))
        results = {n: [] for n in sizes}
        for _ in range(args.sweep_reps):
            found = runner.gate.measure(
                lambda: [(n, runner.drive("renderer", streams, chunks, slots=n)) for n in sizes])
            for n, f in found:
                results[n].append(float(f["mb_s"]) if f else None)
        cells = []
        for n in sizes:
            s = summary(results[n])
            cells.append(f"{fmt(s):>22}")
            if s:
                rows.append(("slots", f"renderer_mb_s_{n}_slots", streams, "MB/s", *s))
        table.append(f"{streams:>7} " + " ".join(cells))
    table.append("")


def latency(runner, args, rows, table):
    table.append(f"Latency, one chunk every {args.spacing_us} us, us, median [min-max] of "
                 f"{args.latency_reps} runs of {args.latency_samples} chunks")
    table.append("  renderer: idle renderer, from the producer's release store of writeIndex to "
                 "the producer seeing the renderer's readIndex store")
    table.append("  write() floor: one thread timing its own write() of each chunk into fresh "
                 "files, the part of that path no renderer can avoid")
    # SCHED_FIFO for the probe and the renderer (children inherit it) takes the other work on
    # the machine out of the figure; only where the system allows it.
    realtime = ["chrt", "-f", "1"]
    if not args.realtime or subprocess.run([*realtime, "true"]).returncode != 0:
        realtime = None
    else:
        table.append("  rt: probe and renderer both SCHED_FIFO priority 1 (chrt -f 1), so that "
                     "other work on the machine cannot delay either")
    table.append("  256 frames: 2 KiB chunks instead of 16 KiB, where the write() is cheap and "
                 "the renderer's own share shows")
    table.append(f"  after quiet: one chunk every {QUIET_SPACING_US} us instead, so that each "
                 "finds the renderer past its quiet spell, asleep; before: the renderer of the "
                 "commit before idle passes slept")
    table.append(f"{'streams':>7} {'':<20} {'p50':>14} {'p99':>22} {'p99.9':>22} {'max':>22}")
    small = ["--frames", "256"]
    quiet = ["--spacing-us", str(QUIET_SPACING_US), "--samples", str(args.quiet_samples),
             "--warmup", "20"]
    variants = [("latency", "renderer", (), [], None),
                ("writelatency", "write() floor", (), [], None)]
    if realtime:
        variants.append(("latency", "renderer, rt", realtime, [], None))
    variants.append(("latency", "after quiet", (), quiet, None))
    if args.before_renderer:
        variants.append(("latency", "after quiet, before", (), quiet, str(args.before_renderer)))
    variants_small = [("latency", "renderer, 256 frames", (), small, None),
                      ("writelatency", "floor, 256 frames", (), small, None)]
    found = {}
    for streams, kinds in ((1, variants + variants_small), (128, variants)):
        for mode, label, prefix, extra, renderer in kinds:
            runs = []
            for _ in range(args.latency_reps):
                runs.append(runner.gate.measure(lambda: runner.drive(mode, streams, 1, [
                    "--samples", str(args.latency_samples),
                    "--spacing-us", str(args.spacing_us), *extra], prefix=prefix,
                    renderer=renderer)))
            cells = []
            for key in ("p50_ns", "p99_ns", "p999_ns", "max_ns"):
                s = summary([float(f[key]) / 1000 for f in runs if f])
                found[(label, streams, key)] = s
                cells.append(f"{fmt(s, 1):>22}")
                if s:
                    name = "_".join(label.replace("()", "").replace(",", "").split())
                    rows.append(("latency", f"{name}_{key.replace('_ns', '')}", streams, "us",
                                 *s))
            table.append(f"{streams:>7} {label:<20}" + " ".join(cells))
    table.append("")
    return found


def realtime(runner, args, rows, table):
    """The renderer's CPU while a producer renders in real time: most of the time it waits.
    This build against the one before idle passes slept, interleaved in the same run."""
    builds = [("after", runner.renderer)]
    if args.before_renderer:
        builds.insert(0, ("before", str(args.before_renderer)))
    found = {}
    for _ in range(args.realtime_reps):
        for streams in REALTIME_STREAMS:
            for frames in REALTIME_FRAMES:
                def run_set():
                    return [(label, runner.realtime_capture(path, streams, frames,
                                                            args.realtime_seconds))
                            for label, path in builds]

                for label, f in runner.gate.measure(run_set):
                    found.setdefault((label, streams, frames), []).append(
                        f["cpu_s"] / args.realtime_seconds * 100 if f else None)
        print(f"  real-time repetition done (load {loadavg()})", flush=True)
    table.append("Renderer CPU in a real-time capture, % of one core (its CPU time per second of "
                 f"audio; vaskel_producer --pace 1, stereo 48 kHz, 16 slots, "
                 f"{args.realtime_seconds} s), median [min-max] of {args.realtime_reps}")
    table.append("  before: the renderer of the commit before idle passes slept, built beside "
                 "this one")
    table.append(f"{'streams':>7} {'frames':>7} " + " ".join(f"{b[0]:>22}" for b in builds))
    result = {}
    for streams in REALTIME_STREAMS:
        for frames in REALTIME_FRAMES:
            cells = []
            for label, _ in builds:
                s = summary(found.get((label, streams, frames), []))
                result[(label, streams, frames)] = s
                cells.append(f"{fmt(s, 2):>22}")
                if s:
                    rows.append(("realtime", f"renderer_cpu_{label}_{frames}_frames", streams,
                                 "% of a core", *s))
            table.append(f"{streams:>7} {frames:>7} " + " ".join(cells))
    table.append("")
    return result


def resident(runner, args, rows, table):
    table.append("Renderer peak resident set apart from the region, KiB (RssAnon + RssFile of "
                 "/proc/<pid>/status, sampled every ms; the region is RssShmem), median "
                 f"[min-max] of {args.rss_reps}")
    table.append(f"{'streams':>7} {'anon+file':>22} {'anon':>22} {'file':>22}")
    found = {}
    for streams in STREAM_COUNTS:
        chunks = max(4, args.bytes // (streams * CHUNK_BYTES))
        runs = [runner.drive("renderer", streams, chunks, ["--sample-rss"])
                for _ in range(args.rss_reps)]
        runs = [f for f in runs if f]
        both = summary([float(f["rss_anon_kb"]) + float(f["rss_file_kb"]) for f in runs])
        found[streams] = both
        cells = [fmt(both)] + [fmt(summary([float(f[k]) for f in runs]))
                               for k in ("rss_anon_kb", "rss_file_kb")]
        table.append(f"{streams:>7} " + " ".join(f"{c:>22}" for c in cells))
        if both:
            rows.append(("memory", "peak_rss_apart_from_region", streams, "KiB", *both))
    table.append("")
    return found


def instructions(runner, args, rows, table):
    """User-space instructions per chunk: the difference of two callgrind runs of different
    length, divided by the difference in chunks, so start-up and set-up cancel out."""
    if not shutil.which("valgrind"):
        table.append("Instructions per chunk: valgrind not installed")
        return {}
    table.append("Renderer user-space instructions per consumed chunk (callgrind, marginal "
                 f"between {args.cg_chunks[0]} and {args.cg_chunks[1]} chunks in all)")
    found = {}
    for streams in STREAM_COUNTS:
        totals = []
        chunks_used = []
        for total in args.cg_chunks:
            chunks = max(2, total // streams)
            out = runner.out.parent / f"callgrind.{streams}.{total}"
            runner.drive("renderer", streams, chunks, [
                "--wrap", f"valgrind --tool=callgrind --callgrind-out-file={out}"], timeout=900)
            ir = None
            if out.exists():
                for line in out.read_text(errors="replace").splitlines():
                    if line.startswith("totals:") or line.startswith("summary:"):
                        ir = int(line.split()[1])
                out.unlink()
            totals.append(ir)
            chunks_used.append(chunks * streams)
        if None in totals:
            table.append(f"{streams:>7} n/a")
            continue
        per_chunk = (totals[1] - totals[0]) / (chunks_used[1] - chunks_used[0])
        found[streams] = per_chunk
        table.append(f"{streams:>7} {per_chunk:>10.0f} Ir/chunk   (whole run: {totals[1]:,} Ir "
                     f"for {chunks_used[1]} chunks)")
        rows.append(("cost", "instructions_per_chunk", streams, "Ir", per_chunk, per_chunk,
                     per_chunk, 1))
    table.append("")
    return found


def allocations(runner, args, rows, table):
    table.append("Heap allocations of runCapture on the capturing thread (in-process, "
                 "counting malloc)")
    found = []
    for streams, chunks in ((8, args.alloc_chunks), (128, max(4, args.alloc_chunks // 16))):
        done = subprocess.run([runner.alloc, "--streams", str(streams), "--chunks", str(chunks),
                               "--out", str(runner.out)], capture_output=True, text=True,
                              timeout=600)
        if done.returncode != 0:
            runner.failures.append(f"vaskel_bench_alloc: {done.stderr.strip()}")
        for line in done.stdout.splitlines():
            f = parse_line(line)
            found.append(f)
            table.append(f"  streams={f['streams']} clock={f['clock']:<6} chunks={f['chunks']:>7}"
                         f" set-up={f['setup_allocations']:>5} during drain="
                         f"{f['drain_allocations']:>4} over {f['drain_s']} s"
                         f" -> {float(f['allocations_per_chunk']):.5f}/chunk,"
                         f" peak heap {int(f['peak_heap_bytes']) / 1024:.0f} KiB")
            rows.append(("memory", f"drain_allocations_{f['clock']}_clock", int(f["streams"]),
                         "allocations", *([float(f["drain_allocations"])] * 3), 1))
            rows.append(("memory", f"peak_heap_{f['clock']}_clock", int(f["streams"]), "KiB",
                         *([int(f["peak_heap_bytes"]) / 1024] * 3), 1))
    table.append("")
    return found


def chart(results, names, directory):
    if not shutil.which("gnuplot"):
        return None
    data = directory / "throughput.dat"
    with data.open("w") as out:
        for index, name in enumerate(names):
            out.write(f"# {name}\n")
            for streams in STREAM_COUNTS:
                s = summary([float(f["mb_s"]) for f in results.get((name, streams), []) if f])
                if s:
                    out.write(f"{streams} {s[0]:.1f} {s[1]:.1f} {s[2]:.1f}\n")
            out.write("\n\n")
    png = directory / "throughput.png"
    plot(data, png, names)
    return png


def plot(data, png, names):
    """Draws throughput.png from throughput.dat (one gnuplot data block per contender)."""
    plots = ", ".join(
        f"'{data}' index {i} using 1:2:3:4 with yerrorlines lw {3 if n == 'renderer' else 1.5} "
        f"title '{LABELS[n]}'"
        for i, n in enumerate(names))
    script = f"""
set terminal pngcairo size 1000,600 font ',11'
set output '{png}'
set title 'Writing stereo float32 WAV files, 2048-frame chunks (median, bars min-max)'
set xlabel 'streams'
set ylabel 'MB/s of samples'
set logscale x 2
set xtics ({', '.join(str(s) for s in STREAM_COUNTS)})
set xrange [0.8:160]
set yrange [0:*]
set key outside right
set grid
plot {plots}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=False)


def targets(results, latency_found, rss_found, alloc_found, table, realtime_found=None):
    def ratio(streams, other):
        """Median of the per-repetition ratios renderer / other, as in the ratio table."""
        pairs = zip(results.get(("renderer", streams), []), results.get((other, streams), []))
        s = summary([float(a["mb_s"]) / float(b["mb_s"]) for a, b in pairs if a and b])
        return s[0] if s else None

    lines = []

    def check(label, ok, detail):
        lines.append(f"  [{'met' if ok else 'MISSED'}] {label}: {detail}")

    for streams in (8, 32, 128):
        r = ratio(streams, "plain")
        if r:
            check(f"throughput >= 0.9 x plain writer at {streams} streams", r >= 0.9,
                  f"{r:.3f} x")
    for streams in STREAM_COUNTS:
        for other in ("sndfile", "sndfile_nopeak"):
            r = ratio(streams, other)
            if r:
                check(f"throughput >= {other} at {streams} streams", r >= 1.0, f"{r:.3f} x")
        for other in ("sox", "ffmpeg"):
            r = ratio(streams, other)
            if r:
                check(f"faster than {other} pipes at {streams} streams", r > 1.0, f"{r:.3f} x")
    for label, floor_label in (("renderer", "write() floor"), ("renderer, rt", "write() floor"),
                               ("renderer, 256 frames", "floor, 256 frames")):
        p99 = latency_found.get((label, 1, "p99_ns"))
        floor = latency_found.get((floor_label, 1, "p99_ns"))
        if p99:
            check(f"latency p99 <= 10 us, idle renderer, 1 stream ({label})", p99[0] <= 10.0,
                  f"{p99[0]:.1f} us (median of runs; the write() call alone: "
                  f"{floor[0] if floor else float('nan'):.1f} us)")
    for label in ("after quiet",):
        for streams in (1, 128):
            p99 = latency_found.get((label, streams, "p99_ns"))
            if p99:
                check(f"first chunk after a quiet spell, latency p99 <= 1.5 ms, {streams} streams",
                      p99[0] <= 1500.0, f"{p99[0]:.1f} us (median of runs)")
    for streams, frames, limit in ((8, 1024, 2.0), (128, 1024, 5.0)):
        s = (realtime_found or {}).get(("after", streams, frames))
        if s:
            before = (realtime_found or {}).get(("before", streams, frames))
            check(f"renderer CPU <= {limit:g} % of a core, real time, {streams} streams of "
                  f"{frames} frames", s[0] <= limit,
                  f"{s[0]:.2f} %" + (f" (before: {before[0]:.2f} %)" if before else ""))
    for f in alloc_found:
        if f.get("clock") == "frozen":
            check(f"no allocation per chunk ({f['streams']} streams)",
                  int(f["drain_allocations"]) == 0,
                  f"{f['drain_allocations']} allocations over {f['chunks']} chunks")
    for streams, s in sorted(rss_found.items()):
        if s:
            check(f"peak RSS apart from region < 8 MiB at {streams} streams", s[2] < 8192,
                  f"{s[0] / 1024:.2f} MiB median, {s[2] / 1024:.2f} MiB max")
    table.append("Targets")
    table.extend(lines)
    table.append("")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--out", type=Path, default=Path("/dev/shm"),
                        help="filesystem for the output files (default: the /dev/shm tmpfs)")
    parser.add_argument("--results", type=Path, default=None)
    parser.add_argument("--quick", action="store_true", help="smaller runs, fewer repetitions")
    parser.add_argument("--reps", type=int, default=None)
    parser.add_argument("--slots", type=int, default=0,
                        help="ring slots per stream (default: rings within a 4 MiB budget, "
                             "4 to 64 slots)")
    parser.add_argument("--disk-out", type=Path, default=None,
                        help="run the throughput table a second time with the output here "
                             "(a disk filesystem)")
    parser.add_argument("--before-renderer", type=Path, default=None,
                        help="the renderer of an earlier commit, measured beside this one in "
                             "the real-time and quiet-spell figures")
    parser.add_argument("--no-realtime", dest="realtime", action="store_false",
                        help="skip the latency runs at SCHED_FIFO priority")
    parser.add_argument("--quiet-below", type=float, default=15,
                        help="wait for, and keep only, sets of runs during which other work "
                             "took less than this percentage of the cores (default 15)")
    parser.add_argument("--quiet-budget", type=float, default=None,
                        help="seconds the whole run may spend waiting for quiet and running "
                             "sets again (default 150, quick 45)")
    args = parser.parse_args()
    if args.quiet_budget is None:
        args.quiet_budget = 45 if args.quick else 150

    if args.quick:
        args.bytes, args.reps = 64 << 20, args.reps or 3
        args.latency_reps, args.latency_samples = 2, 3000
        args.rss_reps, args.cg_chunks, args.alloc_chunks = 1, (512, 2048), 500
        args.sweep_reps = 1
        args.realtime_seconds, args.realtime_reps, args.quiet_samples = 3, 1, 300
    else:
        args.bytes, args.reps = 512 << 20, args.reps or 5
        args.latency_reps, args.latency_samples = 3, 10000
        args.rss_reps, args.cg_chunks, args.alloc_chunks = 3, (1024, 4096), 4000
        args.sweep_reps = 3
        args.realtime_seconds, args.realtime_reps, args.quiet_samples = 6, 2, 1000
    args.spacing_us = 500
    results_dir = args.results or args.build / "results"
    results_dir.mkdir(parents=True, exist_ok=True)
    out_root = args.out / f"vaskel-bench-{os.getpid()}"
    out_root.mkdir(parents=True, exist_ok=True)
    runner = Runner(args.build, out_root, args.slots)
    runner.gate = QuietGate(args.quiet_below / 100.0, args.quiet_budget)
    disk_root = None
    if args.disk_out:
        disk_root = args.disk_out.resolve() / f"vaskel-bench-{os.getpid()}"
        disk_root.mkdir(parents=True, exist_ok=True)

    started = time.time()
    header = [
        f"vaskel_renderer benchmark ({'quick' if args.quick else 'full'} mode), "
        f"{time.strftime('%Y-%m-%d %H:%M:%S')}",
        f"machine: {machine_description(args.out)}",
        f"workload: stereo float32, 48000 Hz, 2048 frames (16384 bytes) per chunk, "
        f"{args.bytes >> 20} MiB of samples per throughput run, ring slots per stream "
        + ", ".join(f"{runner.slots_for(n)} at {n}" for n in STREAM_COUNTS),
        f"load average at start: {loadavg()}",
    ]
    if disk_root:
        header.append(f"second throughput run: output on {args.disk_out} "
                      f"({filesystem_type(disk_root)})")
    if args.before_renderer:
        header.append(f"before: {args.before_renderer}")
    header.append("")
    print("\n".join(header), flush=True)
    table, rows = [], []
    try:
        results, names = throughput(runner, args, rows, table,
                                    f" (output on {args.out}, {filesystem_type(args.out)})")
        if disk_root:
            disk_runner = Runner(args.build, disk_root, args.slots)
            disk_runner.gate, disk_runner.failures = runner.gate, runner.failures
            throughput(disk_runner, args, rows, table,
                       f" (output on {args.disk_out}, {filesystem_type(disk_root)})",
                       f"_{filesystem_type(disk_root)}")
        print(f"  ring sizes ... (at {time.time() - started:.0f} s)", flush=True)
        slot_sweep(runner, args, rows, table)
        print(f"  latency ... (at {time.time() - started:.0f} s)", flush=True)
        latency_found = latency(runner, args, rows, table)
        realtime_found = {}
        if Path(runner.producer).exists():
            print(f"  real-time captures ... (at {time.time() - started:.0f} s)", flush=True)
            realtime_found = realtime(runner, args, rows, table)
        print(f"  resident set ... (at {time.time() - started:.0f} s)", flush=True)
        rss_found = resident(runner, args, rows, table)
        print(f"  instructions (callgrind) ... (at {time.time() - started:.0f} s)", flush=True)
        instructions(runner, args, rows, table)
        print(f"  allocations ... (at {time.time() - started:.0f} s)", flush=True)
        alloc_found = allocations(runner, args, rows, table)
        targets(results, latency_found, rss_found, alloc_found, table, realtime_found)
        png = chart(results, names, results_dir)
    finally:
        shutil.rmtree(out_root, ignore_errors=True)
        if disk_root:
            shutil.rmtree(disk_root, ignore_errors=True)

    footer = [f"load average at end: {loadavg()}; wall time {time.time() - started:.0f} s",
              f"machine load from other work: {runner.gate.describe()}"]
    if runner.failures:
        footer.append("FAILED RUNS (left out of the figures):")
        footer.extend("  " + f for f in runner.failures)
    text = "\n".join(header + table + footer) + "\n"
    print("\n".join(table + footer))
    (results_dir / "table.txt").write_text(text)
    with (results_dir / "results.csv").open("w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["section", "figure", "streams", "unit", "median", "min", "max", "runs"])
        for row in rows:
            writer.writerow([f"{v:.4g}" if isinstance(v, float) else v for v in row])
    print(f"results: {results_dir / 'table.txt'}, {results_dir / 'results.csv'}"
          + (f", {png}" if png else ""))
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main())
