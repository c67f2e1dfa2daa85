"""Disk figures: a synced capture on the build directory's disk against what that disk can take,
paired in one run. The renderer (which syncs every file before it reports a capture complete),
the plain writer with the same final sync, the plain writer with writeback behind at the window
the renderer's writer takes (output/writeback_window.h), and the disk limit: the best of the
plain writer with writeback behind at a few windows and of O_DIRECT 1 MiB writes of the same
bytes into one file. Also how long each finish took (the final sync), the page cache each left,
the CPU time per GiB of the writer, the producer and the rest of the machine (the kernel's
writeback threads), and one real-time capture onto the disk at 128 streams."""

from bench_runner import CHUNK_BYTES, fmt, loadavg, summary

DISK_STREAMS = [1, 8, 128]
# Windows per stream file, in KiB, of the plain writer's candidates for the disk limit.
# (plain_wb, at the renderer's own window, is one more: 1 MiB at 1 and 8 streams, 512 KiB at 128.)
LIMIT_WINDOWS_KIB = {1: (256, 4096, 8192), 8: (256, 4096, 8192), 128: (128, 256, 1024)}
# A stream file's data stays below the 32-bit RIFF size limit (the renderer refuses more): a
# whole 4 GiB in one stream is one MiB short.
WAV_DATA_LIMIT = (1 << 32) - (1 << 20)
# The real-time row: stereo 48 kHz at pace 1, chunks of this many frames, this many slots.
REALTIME_STREAMS, REALTIME_FRAMES, REALTIME_SLOTS = 128, 1024, 16
# Ring slots per stream of the renderer onto a disk: at least the producer's default. A pass
# that meets a full device queue takes up to about 150 ms; the throughput table's 4 MiB of rings
# leave 128 streams 4 slots, which the producer at full speed fills long before such a pass
# ends, so the disk idles behind the rings instead of the writer (renderer_4mib shows it).
DISK_MIN_SLOTS = 16


def contenders(streams, slots_for, before=None):
    """(name, driver mode, extra options, renderer, ring slots) of one stream count's set; the
    renderer of an earlier commit (--before-renderer) as renderer_before when there is one, and
    the renderer on the throughput table's rings as renderer_4mib where they are smaller."""
    slots = max(slots_for(streams), DISK_MIN_SLOTS)
    found = [("renderer", "renderer", ["--cache-left"], None, slots),
             ("plain_sync", "plain", ["--sync", "--cache-left"], None, None),
             ("plain_wb", "plain", ["--sync", "--cache-left", "--writeback-kib", "auto"], None,
              None)]
    if slots_for(streams) < slots:
        found.append(("renderer_4mib", "renderer", ["--cache-left"], None, slots_for(streams)))
    if before:
        found.append(("renderer_before", "renderer", ["--cache-left"], str(before), slots))
    found += [(f"wb_{kib}", "plain", ["--sync", "--writeback-kib", str(kib)], None, None)
              for kib in LIMIT_WINDOWS_KIB[streams]]
    found.append(("direct", "direct", [], None, None))
    return found


def limit_names(streams):
    return ["plain_wb"] + [f"wb_{kib}" for kib in LIMIT_WINDOWS_KIB[streams]] + ["direct"]


def disk_limit(rep_runs, streams):
    """(MB/s, name) of the fastest candidate for the disk limit in one repetition's runs."""
    best = None
    for name in limit_names(streams):
        f = rep_runs.get(name)
        if f and (best is None or float(f["mb_s"]) > best[0]):
            best = (float(f["mb_s"]), name)
    return best


def collect(runner, args, disk_runner):
    """[{streams: {name: figures}}] per repetition; each set with its kernel threads' CPU counted
    as the benchmark's own, since they write its files."""
    reps = []
    for rep in range(args.disk_reps):
        found = {}
        for streams in DISK_STREAMS:
            chunks = max(4, min(args.disk_bytes // streams, WAV_DATA_LIMIT) // CHUNK_BYTES)
            tools = contenders(streams, disk_runner.slots_for, args.before_renderer)
            order = tools[rep % len(tools):] + tools[:rep % len(tools)]

            def run_set():
                return [(name, disk_runner.drive(mode, streams, chunks, extra, renderer=renderer,
                                                 slots=slots))
                        for name, mode, extra, renderer, slots in order]

            found[streams] = dict(runner.gate.measure(run_set, kernel_is_ours=True))
        reps.append(found)
        print(f"  disk repetition {rep + 1}/{args.disk_reps} done (load {loadavg()})", flush=True)
    return reps


def per_rep(reps, streams, value):
    """summary of value(runs of one repetition) over the repetitions, failed ones left out."""
    values = []
    for found in reps:
        try:
            values.append(value(found.get(streams, {})))
        except (KeyError, TypeError, ValueError, ZeroDivisionError):
            values.append(None)
    return summary(values)


def figure(name, key, scale=1.0):
    return lambda runs: float(runs[name][key]) * scale


def gib(runs, name):
    return int(runs[name]["bytes"]) / 2**30


def cpu_per_gib(name, part):
    """CPU seconds per GiB of the writer itself, the producer (renderer runs) or the rest of
    the machine (the kernel's writeback threads, and whatever else ran)."""
    def value(runs):
        f = runs[name]
        own = float(f["cpu_user_s"]) + float(f["cpu_sys_s"])
        producer = float(f.get("producer_cpu_s", 0))
        if part == "writer":
            seconds = own
        elif part == "producer":
            seconds = producer
        else:
            seconds = float(f["machine_cpu_s"]) - own - producer
        return seconds / gib(runs, name)
    return value


def ratio_to_limit(name, streams):
    return lambda runs: float(runs[name]["mb_s"]) / disk_limit(runs, streams)[0]


def rows_of(table, title, columns, cell, digits=2):
    table.append(title)
    table.append(f"{'streams':>7} " + " ".join(f"{c:>22}" for c in columns))
    for streams in DISK_STREAMS:
        table.append(f"{streams:>7} " + " ".join(f"{fmt(cell(c, streams), digits):>22}"
                                                   for c in columns))
    table.append("")


def report(reps, args, rows, table, where, slots_for):
    n = len(reps)
    mib = args.disk_bytes >> 20
    table.append(f"Disk{where}: {mib} MiB of samples per run (at most {WAV_DATA_LIMIT >> 20} "
                 f"MiB per stream file), every writer syncing its files before it ends, median "
                 f"[min-max] of {n}")
    table.append("  plain_wb: the plain writer with writeback behind at the renderer's window "
                 "(--writeback-kib auto); disk limit: per repetition, the fastest of plain_wb, "
                 "the plain writer at the windows " + "; ".join(
                     f"{s}: " + "/".join(str(k) for k in LIMIT_WINDOWS_KIB[s]) + " KiB"
                     for s in DISK_STREAMS) + ", and O_DIRECT 1 MiB writes into one file")
    table.append("  renderer rings: " + ", ".join(
        f"{s} slots at {n}" for n, s in ((n, max(slots_for(n), DISK_MIN_SLOTS))
                                         for n in DISK_STREAMS))
                 + "; renderer_4mib: the throughput table's 4 MiB of rings where smaller")
    names = ["renderer", "plain_sync", "plain_wb"]
    if args.before_renderer:
        names.insert(1, "renderer_before")
    if any("renderer_4mib" in found.get(s, {}) for found in reps for s in DISK_STREAMS):
        names.insert(1, "renderer_4mib")
    rows_of(table, "MB/s", names + ["disk limit"],
            lambda c, s: per_rep(reps, s, (lambda r: disk_limit(r, s)[0]) if c == "disk limit"
                                 else figure(c, "mb_s")), 0)
    for streams in DISK_STREAMS:
        winners = [disk_limit(found.get(streams, {}), streams) for found in reps]
        table.append(f"  disk limit at {streams} streams from: "
                     + ", ".join(w[1] for w in winners if w))
    table.append("")
    rows_of(table, "Ratio to the disk limit (paired per repetition)", names,
            lambda c, s: per_rep(reps, s, ratio_to_limit(c, s)))
    rows_of(table, "Finish, s (renderer: from the last chunk taken to its exit; plain: from the "
            "last write to the end, the sync and for plain_wb the tails' writeback and the drop)",
            names + ["direct"],
            lambda c, s: per_rep(reps, s, figure(c, "tail_s" if c.startswith("renderer")
                                                 else "sync_s")))
    rows_of(table, "Page cache left by the run, MiB (mincore of the output files afterwards)",
            names, lambda c, s: per_rep(reps, s, figure(c, "cached_kib", 1 / 1024)), 0)
    parts = [("renderer", "writer"), ("renderer", "producer"), ("renderer", "rest"),
             ("plain_sync", "writer"), ("plain_sync", "rest"), ("plain_wb", "writer"),
             ("plain_wb", "rest")]
    if args.before_renderer:
        parts[3:3] = [("renderer_before", "writer"), ("renderer_before", "rest")]
    rows_of(table, "CPU seconds per GiB: the writer, the renderer's producer (with its spinning), "
            "and the rest of the machine during the run (the kernel's writeback threads, and any "
            "other work)", [f"{n} {p}" for n, p in parts],
            lambda c, s: per_rep(reps, s, cpu_per_gib(*c.split(" "))))
    rows_of(table, "Writeback behind in plain_wb: seconds in its calls (start, wait, drop) and the "
            "longest step in ms", ["in calls, s", "longest, ms"],
            lambda c, s: per_rep(reps, s, figure("plain_wb", "writeback_s" if c.startswith("in")
                                                 else "writeback_max_ms")))
    rows_of(table, "Disk limit candidates, MB/s", ["window 1", "window 2", "window 3", "direct"],
            lambda c, s: per_rep(reps, s, figure(
                "direct" if c == "direct" else
                f"wb_{LIMIT_WINDOWS_KIB[s][int(c[-1]) - 1]}", "mb_s")), 0)
    for streams in DISK_STREAMS:
        for key, value in (("renderer_mb_s", figure("renderer", "mb_s")),
                           ("disk_limit_mb_s", lambda r, s=streams: disk_limit(r, s)[0]),
                           ("renderer_over_limit", ratio_to_limit("renderer", streams)),
                           ("plain_wb_over_limit", ratio_to_limit("plain_wb", streams)),
                           ("renderer_finish_s", figure("renderer", "tail_s")),
                           ("plain_sync_finish_s", figure("plain_sync", "sync_s")),
                           ("plain_wb_finish_s", figure("plain_wb", "sync_s")),
                           ("renderer_cache_left_mib", figure("renderer", "cached_kib", 1 / 1024)),
                           ("plain_wb_cache_left_mib", figure("plain_wb", "cached_kib", 1 / 1024))):
            s = per_rep(reps, streams, value)
            if s:
                rows.append(("disk", key, streams, "", *s))


def realtime_row(runner, args, disk_runner, rows, table, renderer=None, label=""):
    """The renderer paced in real time onto the disk: no ring may fill meanwhile. The fullest
    ring bounds the longest pass: a ring holding k chunks waited k chunk durations at most."""
    chunks = max(4, int(args.disk_realtime_seconds * 48000 / REALTIME_FRAMES))

    def run_set():
        return disk_runner.drive("renderer", REALTIME_STREAMS, chunks,
                                 ["--frames", str(REALTIME_FRAMES), "--pace", "1",
                                  "--cache-left"], slots=REALTIME_SLOTS, renderer=renderer)

    f = runner.gate.measure(run_set, kernel_is_ours=True)
    table.append(f"Real time onto the disk{label}: {REALTIME_STREAMS} streams, "
                 f"{REALTIME_FRAMES}-frame chunks ({REALTIME_FRAMES / 48:.1f} ms), "
                 f"{REALTIME_SLOTS} slots, {args.disk_realtime_seconds} s at pace 1")
    if not f:
        table.append("  failed (see FAILED RUNS)")
        table.append("")
        return None
    cpu = float(f["cpu_ms_per_audio_s"]) / 10.0
    found = {"ring_full": int(f["ring_full"]), "max_occupancy": int(f["max_occupancy"]),
             "cpu_percent": cpu, "finish_s": float(f["tail_s"]),
             "cache_left_mib": int(f["cached_kib"]) / 1024}
    table.append(f"  ring full {found['ring_full']} chunks; fullest ring "
                 f"{found['max_occupancy']} of {REALTIME_SLOTS} slots; renderer CPU {cpu:.2f} % "
                 f"of a core; finish {found['finish_s']:.3f} s; page cache left "
                 f"{found['cache_left_mib']:.0f} MiB")
    table.append("")
    for key, value in found.items():
        rows.append((f"disk_realtime{label and '_before'}", key, REALTIME_STREAMS, "", value,
                     value, value, 1))
    return found


def disk(runner, args, disk_runner, rows, table, where):
    """The disk table and the real-time row; what the targets judge."""
    reps = collect(runner, args, disk_runner)
    report(reps, args, rows, table, where, disk_runner.slots_for)
    found = {"reps": reps, "realtime": realtime_row(runner, args, disk_runner, rows, table)}
    if args.before_renderer:
        realtime_row(runner, args, disk_runner, rows, table, str(args.before_renderer),
                     " (renderer_before)")
    return found


def disk_targets(found, check):
    """The synced renderer at >= 0.9 x the disk limit at 8 and 128 streams, a finish of at most
    0.5 s, at most 64 MiB of page cache left beyond the windows in flight, no ring full."""
    reps = found.get("reps", [])
    for streams in (8, 128):
        r = per_rep(reps, streams, ratio_to_limit("renderer", streams))
        if r:
            check(f"synced renderer >= 0.9 x disk limit at {streams} streams", r[0] >= 0.9,
                  f"{r[0]:.2f} x")
    for streams in DISK_STREAMS:
        tail = per_rep(reps, streams, figure("renderer", "tail_s"))
        if tail:
            check(f"final sync <= 0.5 s at {streams} streams", tail[2] <= 0.5,
                  f"{tail[0]:.2f} s median, {tail[2]:.2f} s max")
        cache = per_rep(reps, streams, figure("renderer", "cached_kib", 1 / 1024))
        if cache:
            check(f"page cache left <= 64 MiB at {streams} streams", cache[2] <= 64,
                  f"{cache[2]:.0f} MiB max")
    rt = found.get("realtime")
    if rt:
        check(f"no ring full in real time onto the disk, {REALTIME_STREAMS} streams",
              rt["ring_full"] == 0, f"{rt['ring_full']} chunks")
