#!/usr/bin/env python3
"""Runs every figure of the renderer benchmark and reports them.

Called by bench/run.sh after it has built the programs; see docs/PERFORMANCE.md. Every
throughput figure is taken `reps` times with the contenders interleaved (so a burst of load from
elsewhere hits them alike) and reported as median [min-max]. Results go to the results
directory: results.csv, throughput.png, table.txt. Each figure family has a module of its own:
bench_throughput, bench_disk, bench_latency, bench_realtime, bench_resources, over bench_runner.
"""

import argparse
import csv
import os
import shutil
import sys
import time
from pathlib import Path

from bench_disk import disk, disk_targets
from bench_latency import latency
from bench_realtime import REALTIME_FRAMES, REALTIME_STREAMS, realtime
from bench_resources import allocations, instructions, resident
from bench_runner import (CHUNK_BYTES, RING_BUDGET, STREAM_COUNTS, QuietGate,  # noqa: F401
                          Runner, filesystem_type, fmt, loadavg, machine_description,
                          parse_line, summary)
from bench_throughput import chart, slot_sweep, throughput


def realtime_targets(found, check):
    """Waiting costs at most 0.5 % of a core in every real-time row (0.2 % with 1024-frame
    chunks at 1 and 8 streams), and no producer ever finds a ring full."""
    for streams in REALTIME_STREAMS:
        for frames in REALTIME_FRAMES:
            waiting = found.get(("waiting", streams, frames))
            limit = 0.2 if frames == 1024 and streams <= 8 else 0.5
            beyond = found.get(("beyond plain", streams, frames))
            if waiting:
                check(f"waiting costs <= {limit:g} % of a core, {streams} streams of {frames} "
                      "frames", waiting[0] <= limit, f"{waiting[0]:.2f} %"
                      + (f" (beyond the plain writer paced alike: {beyond[0]:.2f} %)"
                         if beyond else ""))
            full = found.get(("ring full", streams, frames))
            if full is not None:
                check(f"no ring full in real time, {streams} streams of {frames} frames",
                      full == 0, f"{full} chunks")


def targets(results, latency_found, rss_found, alloc_found, table, realtime_found=None,
            disk_found=None):
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
    realtime_targets(realtime_found or {}, check)
    disk_targets(disk_found or {}, check)
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


# The command line: flag and argparse settings, one row each.
OPTIONS = [
    ("--build", dict(type=Path, required=True)),
    ("--out", dict(type=Path, default=Path("/dev/shm"),
                   help="filesystem for the output files (default: the /dev/shm tmpfs)")),
    ("--results", dict(type=Path, default=None)),
    ("--quick", dict(action="store_true", help="smaller runs, fewer repetitions")),
    ("--reps", dict(type=int, default=None)),
    ("--slots", dict(type=int, default=0, help="ring slots per stream (default: rings within a "
                     "4 MiB budget, 4 to 64 slots)")),
    ("--disk-out", dict(type=Path, default=None, help="run the throughput table a second time "
                        "with the output here (a disk filesystem)")),
    ("--before-renderer", dict(type=Path, default=None, help="the renderer of an earlier "
                               "commit, measured beside this one in the real-time and "
                               "quiet-spell figures")),
    ("--disk-only", dict(action="store_true", help="only the disk table (needs --disk-out)")),
    ("--no-realtime", dict(dest="realtime", action="store_false",
                           help="skip the latency runs at SCHED_FIFO priority")),
    ("--quiet-below", dict(type=float, default=15, help="wait for, and keep only, sets of runs "
                           "during which other work took less than this percentage of the "
                           "cores (default 15)")),
    ("--quiet-budget", dict(type=float, default=None, help="seconds the whole run may spend "
                            "waiting for quiet and running sets again (default 150, quick 45)")),
]

# The sizes and repetitions of each mode: name, quick, full. A --reps given stands.
MODE_SETTINGS = [
    ("bytes", 64 << 20, 512 << 20), ("reps", 3, 5),
    ("latency_reps", 2, 3), ("latency_samples", 3000, 10000),
    ("rss_reps", 1, 3), ("cg_chunks", (512, 2048), (1024, 4096)), ("alloc_chunks", 500, 4000),
    ("sweep_reps", 1, 3),
    ("realtime_seconds", 3, 6), ("realtime_reps", 1, 2), ("quiet_samples", 300, 1000),
    ("disk_bytes", 256 << 20, 4 << 30), ("disk_reps", 1, 3), ("disk_realtime_seconds", 3, 20),
]


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    for flag, settings in OPTIONS:
        parser.add_argument(flag, **settings)
    args = parser.parse_args()
    if args.quiet_budget is None:
        args.quiet_budget = 45 if args.quick else 150
    for name, quick, full in MODE_SETTINGS:
        if name != "reps" or not args.reps:
            setattr(args, name, quick if args.quick else full)
    args.spacing_us = 500
    return args


def run_header(args, runner, disk_root):
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
    return header


def run_all(args, runner, disk_root, results_dir, table, rows):
    """Every figure family in turn; the chart's path, if one was drawn."""
    started = time.time()

    def step(what):
        print(f"  {what} ... (at {time.time() - started:.0f} s)", flush=True)

    disk_found = None
    if disk_root:
        disk_runner = Runner(args.build, disk_root, args.slots)
        disk_runner.gate, disk_runner.failures = runner.gate, runner.failures
        where = f" (output on {args.disk_out}, {filesystem_type(disk_root)})"
    if args.disk_only:
        if disk_root:
            disk_found = disk(runner, args, disk_runner, rows, table, where)
        targets({}, {}, {}, [], table, None, disk_found)
        return None
    results, names = throughput(runner, args, rows, table,
                                f" (output on {args.out}, {filesystem_type(args.out)})")
    if disk_root:
        throughput(disk_runner, args, rows, table, where, f"_{filesystem_type(disk_root)}")
        step("disk table")
        disk_found = disk(runner, args, disk_runner, rows, table, where)
    step("ring sizes")
    slot_sweep(runner, args, rows, table)
    step("latency")
    latency_found = latency(runner, args, rows, table)
    step("real-time captures")
    realtime_found = realtime(runner, args, rows, table)
    step("resident set")
    rss_found = resident(runner, args, rows, table)
    step("instructions (callgrind)")
    instructions(runner, args, rows, table)
    step("allocations")
    alloc_found = allocations(runner, args, rows, table)
    targets(results, latency_found, rss_found, alloc_found, table, realtime_found, disk_found)
    return chart(results, names, results_dir)


def write_results(results_dir, text, rows):
    (results_dir / "table.txt").write_text(text)
    with (results_dir / "results.csv").open("w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["section", "figure", "streams", "unit", "median", "min", "max", "runs"])
        for row in rows:
            writer.writerow([f"{v:.4g}" if isinstance(v, float) else v for v in row])


def main():
    args = parse_args()
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
    header = run_header(args, runner, disk_root)
    print("\n".join(header), flush=True)
    table, rows = [], []
    try:
        png = run_all(args, runner, disk_root, results_dir, table, rows)
    finally:
        shutil.rmtree(out_root, ignore_errors=True)
        if disk_root:
            shutil.rmtree(disk_root, ignore_errors=True)
    footer = [f"load average at end: {loadavg()}; wall time {time.time() - started:.0f} s",
              f"machine load from other work: {runner.gate.describe()}"]
    if runner.failures:
        footer.append("FAILED RUNS (left out of the figures):")
        footer.extend("  " + f for f in runner.failures)
    print("\n".join(table + footer))
    write_results(results_dir, "\n".join(header + table + footer) + "\n", rows)
    print(f"results: {results_dir / 'table.txt'}, {results_dir / 'results.csv'}"
          + (f", {png}" if png else ""))
    return 1 if runner.failures else 0


if __name__ == "__main__":
    sys.exit(main())
