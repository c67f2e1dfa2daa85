"""Tests of the benchmark report's own logic: parsing the driver's lines, pairing the runs of
a repetition, judging the targets, sizing the rings and keeping other work out of a set."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench  # noqa: E402
import bench_disk  # noqa: E402


def run(mb_s, cpu=1.0):
    return {"mb_s": str(mb_s), "cpu_ms_per_audio_s": str(cpu)}


class ParsingAndSummaries(unittest.TestCase):
    def test_the_last_line_of_the_driver_is_the_figures(self):
        text = "warming up\nmode=plain streams=8 mb_s=2100.5 ok=1\n"
        self.assertEqual(bench.parse_line(text),
                         {"mode": "plain", "streams": "8", "mb_s": "2100.5", "ok": "1"})
        self.assertEqual(bench.parse_line(""), {})

    def test_summary_leaves_out_failed_runs(self):
        self.assertEqual(bench.summary([3.0, None, 1.0, 2.0]), (2.0, 1.0, 3.0, 3))
        self.assertIsNone(bench.summary([None, None]))
        self.assertEqual(bench.fmt((2.0, 1.0, 3.0, 3), 1), "2.0 [1.0-3.0]")
        self.assertEqual(bench.fmt(None), "n/a")


class Targets(unittest.TestCase):
    def judge(self, results, latency=None, rss=None, alloc=None):
        table = []
        bench.targets(results, latency or {}, rss or {}, alloc or [], table)
        return "\n".join(table)

    def test_throughput_ratios_pair_runs_of_the_same_repetition(self):
        # Repetition 2 of the renderer failed: its plain run must not be paired with another.
        results = {("renderer", 8): [run(1900), None, run(1780)],
                   ("plain", 8): [run(2000), run(1000), run(2000)]}
        text = self.judge(results)
        self.assertIn("[met] throughput >= 0.9 x plain writer at 8 streams: 0.920 x", text)
        results[("renderer", 8)][0] = run(1500)
        self.assertIn("[MISSED] throughput >= 0.9 x plain writer at 8 streams: 0.820 x",
                      self.judge(results))

    def test_being_as_fast_as_sox_is_not_faster(self):
        results = {("renderer", 1): [run(700)], ("sox", 1): [run(700)],
                   ("sndfile", 1): [run(700)]}
        text = self.judge(results)
        self.assertIn("[MISSED] faster than sox pipes at 1 streams: 1.000 x", text)
        self.assertIn("[met] throughput >= sndfile at 1 streams: 1.000 x", text)

    def test_latency_allocations_and_memory(self):
        latency = {("renderer", 1, "p99_ns"): (9.5, 9.0, 12.0, 3),
                   ("write() floor", 1, "p99_ns"): (8.0, 8.0, 8.0, 3)}
        alloc = [{"clock": "frozen", "streams": "8", "drain_allocations": "1",
                  "chunks": "32000"},
                 {"clock": "real", "streams": "8", "drain_allocations": "56",
                  "chunks": "32000"}]
        rss = {128: (4000.0, 3900.0, 8200.0, 3)}
        text = self.judge({}, latency, rss, alloc)
        self.assertIn("[met] latency p99 <= 10 us, idle renderer, 1 stream (renderer): 9.5 us",
                      text)
        self.assertIn("[MISSED] no allocation per chunk (8 streams)", text)
        self.assertEqual(text.count("allocation per chunk"), 1)  # the real clock is no target
        self.assertIn("[MISSED] peak RSS apart from region < 8 MiB at 128 streams", text)

    def test_real_time_cpu_is_judged_after_the_change_and_quiet_latency_in_microseconds(self):
        realtime = {("before", 8, 1024): (81.0, 80.0, 82.0, 2),
                    ("after", 8, 1024): (1.5, 1.4, 1.6, 2),
                    ("after", 128, 1024): (6.0, 5.5, 6.5, 2),
                    ("waiting", 8, 1024): (0.21, 0.2, 0.3, 2),
                    ("waiting", 128, 64): (0.5, 0.4, 0.6, 2),
                    ("ring full", 8, 64): 0, ("ring full", 128, 64): 3}
        latency = {("after quiet", 1, "p99_ns"): (1200.0, 1100.0, 1300.0, 2),
                   ("after quiet", 128, "p99_ns"): (1600.0, 1500.0, 1700.0, 2)}
        table = []
        bench.targets({}, latency, {}, [], table, realtime)
        text = "\n".join(table)
        self.assertIn("[met] renderer CPU <= 2 % of a core, real time, 8 streams of 1024 frames: "
                      "1.50 % (before: 81.00 %)", text)
        self.assertIn("[MISSED] renderer CPU <= 5 % of a core, real time, 128 streams", text)
        self.assertIn("[MISSED] waiting costs <= 0.2 % of a core, 8 streams of 1024 frames: "
                      "0.21 %", text)
        self.assertIn("[met] waiting costs <= 0.5 % of a core, 128 streams of 64 frames", text)
        self.assertIn("[met] no ring full in real time, 8 streams of 64 frames: 0 chunks", text)
        self.assertIn("[MISSED] no ring full in real time, 128 streams of 64 frames: 3", text)
        self.assertIn("[met] first chunk after a quiet spell, latency p99 <= 1.5 ms, 1 streams",
                      text)
        self.assertIn("[MISSED] first chunk after a quiet spell, latency p99 <= 1.5 ms, 128", text)


class DiskTable(unittest.TestCase):
    def test_the_disk_limit_is_each_repetitions_fastest_candidate(self):
        window = f"wb_{bench_disk.LIMIT_WINDOWS_KIB[8][0]}"

        def runs(renderer, limit, tail, cache_kib):
            found = {"renderer": {"mb_s": str(renderer), "tail_s": str(tail),
                                  "cached_kib": str(cache_kib)},
                     "plain_wb": {"mb_s": "700"}, window: {"mb_s": str(limit)},
                     "direct": None}  # failed: left out, not a zero
            return {8: found}
        # 630 / 700, then 900 / 1000: the limits of different repetitions are never mixed.
        reps = [runs(630, 500, 0.2, 1024), runs(900, 1000, 0.7, 100 * 1024)]
        self.assertEqual(bench_disk.disk_limit(reps[1][8], 8), (1000.0, window))
        lines = []
        bench_disk.disk_targets({"reps": reps, "realtime": {"ring_full": 0}},
                                lambda label, ok, detail: lines.append((label, ok, detail)))
        judged = {label: (ok, detail) for label, ok, detail in lines}
        self.assertEqual(judged["synced renderer >= 0.9 x disk limit at 8 streams"],
                         (True, "0.90 x"))
        self.assertEqual(judged["final sync <= 0.5 s at 8 streams"],
                         (False, "0.45 s median, 0.70 s max"))
        self.assertEqual(judged["page cache left <= 64 MiB at 8 streams"], (False, "100 MiB max"))
        self.assertTrue(judged["no ring full in real time onto the disk, 128 streams"][0])


class RingSizes(unittest.TestCase):
    def test_rings_fit_the_budget_within_four_to_sixty_four_slots(self):
        runner = bench.Runner(Path("/nowhere"), Path("/nowhere"), 0)
        self.assertEqual([runner.slots_for(n) for n in (1, 8, 32, 128)], [64, 31, 7, 4])
        for streams in (8, 32):
            footprint = streams * runner.slots_for(streams) * (bench.CHUNK_BYTES + 32)
            self.assertLessEqual(footprint, bench.RING_BUDGET)
        self.assertEqual(bench.Runner(Path("/x"), Path("/x"), 16).slots_for(128), 16)


class FakeMachine:
    """CPU seconds of the whole machine and of the benchmark, advanced by the sets it runs."""

    def __init__(self):
        self.busy = self.total = self.own = self.now = 0.0

    def machine(self):
        return self.busy, self.total

    def sleep(self, seconds):
        self.now += seconds
        self.total += 2 * seconds  # two idle cores

    def a_set(self, seconds, own, others):
        """A set of runs lasting `seconds` that used `own` and `others` of the two cores."""
        self.now += seconds
        self.total += 2 * seconds
        self.busy += 2 * seconds * (own + others)
        self.own += 2 * seconds * own


class QuietGateKeepsOtherWorkOut(unittest.TestCase):
    def gate(self, machine, budget):
        return bench.QuietGate(0.15, budget, machine=machine.machine, own=lambda: machine.own,
                               clock=lambda: machine.now, sleep=machine.sleep)

    def test_a_set_disturbed_by_other_work_is_run_again(self):
        machine = FakeMachine()
        others = iter([0.6, 0.05])
        calls = []

        def run_set():
            calls.append(1)
            machine.a_set(2.0, own=0.9, others=next(others))
            return len(calls)

        gate = self.gate(machine, budget=100)
        self.assertEqual(gate.measure(run_set), 2)
        self.assertEqual(gate.reruns, 1)
        self.assertAlmostEqual(gate.seen[0], 0.05)
        self.assertAlmostEqual(gate.budget, 98.0)  # the discarded set's 2 s

    def test_without_budget_the_set_is_kept_and_its_load_reported(self):
        machine = FakeMachine()

        def run_set():
            machine.a_set(1.0, own=0.5, others=0.5)
            return "kept"

        gate = self.gate(machine, budget=0)
        self.assertEqual(gate.measure(run_set), "kept")
        self.assertEqual(gate.reruns, 0)
        self.assertIn("other work took 50% of the cores", gate.describe())


if __name__ == "__main__":
    unittest.main()
