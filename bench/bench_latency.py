"""Latency figures: how long one chunk waits for an idle renderer, beside the write() under it,
and the first chunk after a quiet spell, when the renderer sleeps."""

import subprocess

from bench_runner import fmt, summary

# Spacing of the chunks that each arrive after a quiet spell: far longer than the spell.
QUIET_SPACING_US = 5000
# The probe's rings: 8 slots of 2048 frames at 48 kHz, so the renderer's idle sleep is bounded
# by the cap rather than by a quarter of the ring.
QUIET_SLEEP_BOUND_MS = 60
# A run stops after this many seconds with the samples it has: a renderer that takes the probe
# for a paced producer sleeps its bound before each chunk, up to 60 ms a sample.
MAX_SECONDS = 10


def latency(runner, args, rows, table):
    table.append(f"Latency, one chunk every {args.spacing_us} us, us, median [min-max] of "
                 f"{args.latency_reps} runs of {args.latency_samples} chunks (or of what "
                 f"{MAX_SECONDS} s gave)")
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
                 "finds the renderer past its quiet spell, asleep (its sleep bound on the probe's "
                 f"rings: {QUIET_SLEEP_BOUND_MS} ms); before: the renderer of the commit compared "
                 "with (--before)")
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
                    "--spacing-us", str(args.spacing_us), "--max-seconds", str(MAX_SECONDS),
                    *extra], prefix=prefix,
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
