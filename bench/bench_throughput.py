"""Throughput figures: MB/s, real-time factor and CPU per audio second of every contender, the
paired ratios against the renderer, and the renderer against its ring size."""

import shutil
import subprocess

from bench_runner import CHUNK_BYTES, SAMPLE_RATE, STREAM_COUNTS, fmt, loadavg, summary

# Throughput contenders: name in tables, driver mode, extra driver options.
CONTENDERS = [
    ("renderer", "renderer", []),
    ("plain", "plain", []),
    ("plain_sync", "plain", ["--sync"]),
    ("plain_cold", "plain", ["--cold-source-mib", "64"]),
    ("sndfile", "sndfile", []),
    ("sndfile_nopeak", "sndfile", ["--no-peak"]),
    ("sox", "sox", []),
    ("ffmpeg", "ffmpeg", []),
]
LABELS = {
    "renderer": "renderer (2 processes)",
    "plain": "plain write() loop",
    "plain_sync": "plain write(), fdatasync at the end",
    "plain_cold": "plain write(), 64 MiB source",
    "sndfile": "libsndfile in-process",
    "sndfile_nopeak": "libsndfile, no PEAK chunk",
    "sox": "sox per stream, piped",
    "ffmpeg": "ffmpeg per stream, piped",
}


def collect(runner, args, tools, where):
    """{(name, streams): [figures, ...]}: every contender `reps` times, interleaved."""
    results = {}
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
    return results


def stat(results, name, streams, key):
    runs = results.get((name, streams), [])
    return summary([float(f[key]) for f in runs if f is not None])


def paired(results, streams, key, other, over="renderer"):
    """Per-repetition ratios over / other of `key`, summarised."""
    pairs = zip(results.get((over, streams), []), results.get((other, streams), []))
    return summary([float(a[key]) / float(b[key]) for a, b in pairs
                    if a and b and float(b[key]) > 0])


def grid(table, title, names, cell, extra_head="", extra=lambda streams: ""):
    table.append(title)
    table.append(f"{'streams':>7} " + " ".join(f"{n:>22}" for n in names) + extra_head)
    for streams in STREAM_COUNTS:
        table.append(f"{streams:>7} " + " ".join(f"{cell(n, streams):>22}" for n in names)
                     + extra(streams))
    table.append("")


def producer_cpu(results, streams):
    runs = [f for f in results.get(("renderer", streams), []) if f]
    return summary([float(f["producer_cpu_s"]) * 1000 / (int(f["chunks"]) * 2048 / SAMPLE_RATE)
                    for f in runs])


def report(results, names, args, table, where):
    grid(table, f"Throughput{where}, MB/s (10^6 bytes of samples per second, whole run), "
         f"median [min-max] of {args.reps}", names,
         lambda n, s: fmt(stat(results, n, s, "mb_s")))
    grid(table, f"Real-time factor{where} (seconds of the whole N-stream render per second)",
         names, lambda n, s: fmt(stat(results, n, s, "rtf")))
    grid(table, f"CPU time per second of audio{where}, ms (user+sys of every process that did "
         "the work; renderer column: the renderer process alone)", names,
         lambda n, s: fmt(stat(results, n, s, "cpu_ms_per_audio_s"), 2),
         f" {'producer, with spinning':>24}", lambda s: f" {fmt(producer_cpu(results, s), 2):>24}")
    others = [n for n in names if n != "renderer"]
    table.append(f"Ratios renderer / contender{where} (MB/s, paired per repetition)")
    table.append(f"{'streams':>7} " + " ".join(f"{'/ ' + n:>22}" for n in others))
    for streams in STREAM_COUNTS:
        table.append(f"{streams:>7} " + " ".join(
            f"{fmt(paired(results, streams, 'mb_s', n), 2):>22}" for n in others))
    table.append("")
    cpu_ratio = lambda s: paired(results, s, "cpu_ms_per_audio_s", "plain")  # noqa: E731
    table.append(f"CPU per byte{where}, renderer process / plain writer (paired per repetition;"
                 " 1.00 means the renderer adds nothing to the cost of the write calls)")
    table.append("  " + "   ".join(f"{s} streams: {fmt(cpu_ratio(s), 2)}" for s in STREAM_COUNTS))
    if "plain_sync" in names:
        sync = lambda s: paired(results, s, "wall_s", "plain", over="plain_sync")  # noqa: E731
        table.append(f"Cost of syncing the files{where}: plain writer with fdatasync of every "
                     "file and the directory at the end / without, wall time, paired")
        table.append("  " + "   ".join(f"{s} streams: {fmt(sync(s), 2)}"
                                       for s in STREAM_COUNTS))
    table.append("")


def csv_rows(results, names, rows, tag):
    for (name, streams), _ in sorted(results.items()):
        for key, unit in (("mb_s", "MB/s"), ("rtf", "x"), ("cpu_ms_per_audio_s", "ms/s")):
            s = stat(results, name, streams, key)
            if s:
                rows.append((f"throughput{tag}", f"{name}_{key}", streams, unit, *s))
    for streams in STREAM_COUNTS:
        ratios = [(f"renderer_over_{n}", paired(results, streams, "mb_s", n))
                  for n in names if n != "renderer"]
        ratios.append(("renderer_cpu_over_plain_cpu",
                       paired(results, streams, "cpu_ms_per_audio_s", "plain")))
        if "plain_sync" in names:
            ratios.append(("plain_sync_wall_over_plain_wall",
                           paired(results, streams, "wall_s", "plain", over="plain_sync")))
        for figure, s in ratios:
            if s:
                rows.append((f"ratio{tag}", figure, streams, "x", *s))


def throughput(runner, args, rows, table, where="", tag=""):
    """Throughput, CPU per audio second and, for the renderer, the producer's CPU. `where` names
    the output filesystem in the titles, `tag` marks the CSV sections of a second run."""
    tools = [c for c in CONTENDERS if c[1] not in ("sox", "ffmpeg") or shutil.which(c[1])]
    names = [c[0] for c in tools]
    results = collect(runner, args, tools, where)
    report(results, names, args, table, where)
    csv_rows(results, names, rows, tag)
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
