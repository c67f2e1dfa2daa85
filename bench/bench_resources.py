"""Resource figures: the renderer's peak resident set, its user-space instructions per chunk
(callgrind) and the heap allocations of a capture."""

import shutil
import subprocess

from bench_runner import CHUNK_BYTES, STREAM_COUNTS, fmt, parse_line, summary


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
