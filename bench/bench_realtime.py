"""Real-time figures: the renderer's CPU while a producer publishes in real time, beside its CPU
for the same audio at full speed; the difference is what waiting costs. Also the chunks the
producer found no room for (a ring full because the renderer slept), which must stay 0. And the
floor: the plain write() loop writing the same chunks in bursts, woken as often as the renderer
is; what the renderer costs beyond it is what its waiting really adds."""

from bench_runner import fmt, loadavg, summary

# Stream counts and chunk sizes in frames of the real-time captures.
REALTIME_STREAMS = [1, 8, 128]
REALTIME_FRAMES = [1024, 64]
REALTIME_SLOTS = 16
RATE = 48000
# The renderer's longest idle sleep, in ms: a quarter of the ring, at most this.
SLEEP_CAP_MS = 60.0


def sleep_bound_ms(frames, slots=REALTIME_SLOTS, rate=RATE):
    """The idle sleep the renderer allows itself on these rings, as it computes it."""
    return min(SLEEP_CAP_MS, slots * frames * 1000.0 / rate / 4)


def run_row(runner, builds, streams, frames, seconds):
    """[(label, figures)] of one row: every build paced, this build at full speed, and the plain
    writer paced in bursts of the sleep bound."""
    chunks = max(4, int(seconds * RATE / frames))
    common = ["--frames", str(frames)]
    found = [(label, runner.drive("renderer", streams, chunks, [*common, "--pace", "1"],
                                  slots=REALTIME_SLOTS, renderer=path))
             for label, path in builds]
    found.append(("full speed", runner.drive("renderer", streams, chunks, common,
                                             slots=REALTIME_SLOTS)))
    # Its chunks come from a pool as large as the rings, as the renderer's come from its slots.
    ring_mib = streams * REALTIME_SLOTS * frames * 2 * 4 // (1 << 20)
    burst = ["--burst-us", str(int(sleep_bound_ms(frames) * 1000)), "--cold-source-mib",
             str(ring_mib)]
    found.append(("plain paced", runner.drive("plain", streams, chunks, [*common, *burst],
                                              slots=REALTIME_SLOTS)))
    return found


def cpu_percent(figures):
    """The renderer's CPU time per second of audio, in % of one core."""
    return float(figures["cpu_ms_per_audio_s"]) / 10.0


def collect(runner, args, builds):
    found = {}  # (label, streams, frames) -> [figures or None]
    for _ in range(args.realtime_reps):
        for streams in REALTIME_STREAMS:
            for frames in REALTIME_FRAMES:
                rows = runner.gate.measure(
                    lambda: run_row(runner, builds, streams, frames, args.realtime_seconds))
                for label, f in rows:
                    found.setdefault((label, streams, frames), []).append(f)
        print(f"  real-time repetition done (load {loadavg()})", flush=True)
    return found


def row_figures(found, streams, frames, labels):
    """{column: summary} of one row, and the most ring-full chunks of any paced run."""
    runs = {label: found.get((label, streams, frames), []) for label in labels}
    cells = {label: summary([cpu_percent(f) for f in runs[label] if f]) for label in labels}
    for column, base in (("waiting", "full speed"), ("beyond plain", "plain paced")):
        cells[column] = summary([cpu_percent(a) - cpu_percent(b)
                                 for a, b in zip(runs["after"], runs[base]) if a and b])
    full = [int(f["ring_full"]) for f in runs["after"] if f]
    return cells, (max(full) if full else None)


def realtime(runner, args, rows, table):
    """This build paced against the one before idle passes slept, and against itself at full
    speed, interleaved in the same run."""
    builds = [("after", runner.renderer)]
    if args.before_renderer:
        builds.insert(0, ("before", str(args.before_renderer)))
    found = collect(runner, args, builds)
    labels = [b[0] for b in builds] + ["full speed", "plain paced"]
    columns = labels[:-1] + ["waiting", "plain paced", "beyond plain"]
    table.append("Renderer CPU in a real-time capture, % of one core (its CPU time per second of "
                 f"audio; the benchmark's producer at --pace 1, stereo 48 kHz, {REALTIME_SLOTS} "
                 f"slots, {args.realtime_seconds} s), median [min-max] of {args.realtime_reps}")
    table.append("  before: the renderer of the commit compared with (--before); full speed: "
                 "this renderer, the same audio at pace 0; waiting: after - full speed, paired")
    table.append("  plain paced: the plain write() loop, the same chunks as they come due from a "
                 "pool as large as the rings, woken once a sleep bound; beyond plain: after - "
                 "plain paced, paired")
    table.append("  ring full: chunks that were due but found their ring full, most of any run "
                 "after (must be 0); sleep bound: the renderer's longest idle sleep on these rings")
    table.append(f"{'streams':>7} {'frames':>7} " + " ".join(f"{c:>22}" for c in columns)
                 + f" {'ring full':>10} {'sleep bound':>12}")
    result = {}
    for streams in REALTIME_STREAMS:
        for frames in REALTIME_FRAMES:
            cells, full = row_figures(found, streams, frames, labels)
            bound = sleep_bound_ms(frames)
            for column, s in cells.items():
                result[(column, streams, frames)] = s
                if s:
                    name = column.replace(" ", "_")
                    rows.append(("realtime", f"renderer_cpu_{name}_{frames}_frames", streams,
                                 "% of a core", *s))
            result[("ring full", streams, frames)] = full
            if full is not None:
                rows.append(("realtime", f"ring_full_chunks_{frames}_frames", streams, "chunks",
                             full, full, full, 1))
            table.append(f"{streams:>7} {frames:>7} "
                         + " ".join(f"{fmt(cells[c], 2):>22}" for c in columns)
                         + f" {'n/a' if full is None else full:>10} {bound:>10.1f} ms")
    table.append("")
    return result
