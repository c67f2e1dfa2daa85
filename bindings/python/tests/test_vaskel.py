"""The Python module over the real producer library: where it must differ from a plain ctypes
call (ranges, buffers, long waits, writes resumed across wait slices), how a region is freed,
and that it is never freed under a running call. The capture itself is checked end to end by
examples/run_example.py.

    VASKEL_PRODUCER_LIBRARY=<libvaskel_producer.so> VASKEL_RENDERER=<vaskel_renderer> \
        PYTHONPATH=bindings/python python3 -m unittest discover -s bindings/python/tests

VASKEL_REQUIRE_NUMPY=1 (set by CTest) makes a missing numpy a failure instead of a loud skip. The
renderer is
VASKEL_RENDERER, else vaskel_renderer from PATH; without one, the test that needs it is skipped.
"""

import _thread
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings
from array import array

import vaskel

try:
    import numpy
except ImportError:
    numpy = None


def region(tag):
    return "vaskel-pytest-%d-%s" % (os.getpid(), tag)


class ProducerTest(unittest.TestCase):
    def assert_name_free(self, name):
        # Creating the region again succeeds only when nothing is left of the first one.
        vaskel.Producer(name, 1).close()

    def test_every_way_out_frees_the_region(self):
        name = region("close")
        producer = vaskel.Producer(name, 1)
        producer.close()
        producer.close()
        producer.destroy()
        self.assert_name_free(name)
        with self.assertRaises(vaskel.VaskelError) as raised:
            producer.write(0, array("f", [0.0] * 2), timeout=0)
        self.assertEqual(raised.exception.status, vaskel.ERROR_NULL_ARGUMENT)

        name = region("collected")
        vaskel.Producer(name, 1)  # never bound: collected at once
        gc.collect()
        self.assert_name_free(name)

        exits = {
            "normal": "",
            "exception": "raise RuntimeError('left without closing')",
            "sys.exit": "import sys; sys.exit(3)",
        }
        for how, ending in exits.items():
            with self.subTest(how):
                name = region("exit-" + how.replace(".", ""))
                code = "import vaskel\nkept = vaskel.Producer(%r, 1)\n%s\n" % (name, ending)
                subprocess.run([sys.executable, "-c", code], stderr=subprocess.DEVNULL,
                               check=False)
                self.assert_name_free(name)

    def test_a_forked_child_leaves_the_region_to_its_parent(self):
        # The child exits normally, so its exit finaliser runs: it must neither remove the
        # parent's region nor wait for a writer thread that only the parent has.
        script = """import os, sys, threading, time, vaskel
from array import array
producer = vaskel.Producer(sys.argv[1], 1, channels=1, frames_per_chunk=4, slots=1)
producer.write(0, array("f", [0.0] * 4), timeout=0)  # the ring is full now
if sys.argv[2] == "writer":
    def write():
        try:
            producer.write(0, array("f", [0.0] * 4), timeout=20)
        except vaskel.VaskelError:
            pass
    threading.Thread(target=write, daemon=True).start()
    time.sleep(0.3)
child = os.fork()
if child == 0:
    try:
        producer.write(0, array("f", [0.0] * 4), timeout=0)
    except vaskel.VaskelError as error:
        print("child:", error.status, flush=True)
    sys.exit(0)
for _ in range(100):
    if os.waitpid(child, os.WNOHANG)[0]:
        break
    time.sleep(0.1)
else:
    os.kill(child, 9)
    print("child hung at exit", flush=True)
try:
    vaskel.Producer(sys.argv[1], 1).close()
    print("region gone", flush=True)
except vaskel.VaskelError as error:
    print("region kept" if error.status == -5 else error, flush=True)
producer.close()
"""
        for how in ("alone", "writer"):
            with self.subTest(how):
                name = region("fork-" + how)
                run = subprocess.run([sys.executable, "-c", script, name, how],
                                     capture_output=True, text=True, timeout=60, check=False)
                self.assertEqual((run.returncode, run.stdout), (0, "child: -1\nregion kept\n"),
                                 run.stderr)
                self.assert_name_free(name)

    def test_close_in_a_signal_handler_during_wait_frees_the_region(self):
        # The handler runs on the thread that is inside wait(), closes and leaves at once: the
        # call it interrupted never gets back to free the region, so close() must have.
        script = """import os, signal, sys, threading, vaskel
producer = vaskel.Producer(sys.argv[1], 1)
def stop(signum, frame):
    producer.close()
    os._exit(0)
signal.signal(signal.SIGTERM, stop)
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGTERM)).start()
producer.wait()
"""
        name = region("handler")
        run = subprocess.run([sys.executable, "-c", script, name], capture_output=True,
                             text=True, timeout=60, check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assert_name_free(name)

    def test_closing_under_a_running_write_waits_for_it(self):
        # A writer thread waits inside the library (the ring is full, no renderer) while the
        # region is closed under it: by close(), by a `with` block left on Ctrl-C, or by the
        # finaliser at interpreter exit. The write must end with VaskelError, never touch the
        # unmapped region, and the region must be gone afterwards.
        start = """import os, signal, sys, threading, time, vaskel
from array import array
producer = vaskel.Producer(sys.argv[1], 1, channels=1, frames_per_chunk=4, slots=1)
producer.write(0, array("f", [0.0] * 4), timeout=0)
outcome = []
def write():
    try:
        producer.write(0, array("f", [0.0] * 4), timeout=10)
        outcome.append("returned")
    except vaskel.VaskelError as error:
        outcome.append(type(error).__name__)
writer = threading.Thread(target=write, daemon=True)
writer.start()
time.sleep(0.3)
"""
        endings = {
            "close": "producer.close()\n",
            "with block left on Ctrl-C": (
                "try:\n    with producer:\n        os.kill(os.getpid(), signal.SIGINT)\n"
                "        time.sleep(10)\nexcept KeyboardInterrupt:\n    pass\n"),
            "exit finaliser": "sys.exit(0)\n",
        }
        for how, ending in endings.items():
            with self.subTest(how):
                name = region("inflight")
                run = subprocess.run(
                    [sys.executable, "-c", start + ending + "writer.join()\nprint(outcome)\n",
                     name], capture_output=True, text=True, timeout=60, check=False)
                expected = "" if how == "exit finaliser" else "['VaskelError']\n"
                self.assertEqual((run.returncode, run.stdout), (0, expected), run.stderr)
                self.assert_name_free(name)

    def write_rows(self, rows):
        """Writes each row's samples to a stereo stream: frames written, or the error (a class,
        or a class and a regular expression of its message)."""
        with vaskel.Producer(region("buffers"), 1, channels=2, frames_per_chunk=2,
                             slots=64) as producer:
            for what, samples, expected in rows:
                with self.subTest(what):
                    if isinstance(expected, int):
                        self.assertEqual(producer.write(0, samples, timeout=0), expected)
                        continue
                    error, message = expected if isinstance(expected, tuple) else (expected, "")
                    with self.assertRaisesRegex(error, message):
                        producer.write(0, samples, timeout=0)

    def test_write_takes_float32_buffers_and_refuses_others(self):
        self.write_rows([
            ("array('f')", array("f", [0.5] * 4), 2),
            ("bytes, copied", bytes(16), 2),
            ("empty", array("f"), 0),
            ("array('d')", array("d", [0.5] * 4), (TypeError, "float32")),
            ("a list", [0.5] * 4, (TypeError, r"^samples must be .*float32.*, not list$")),
            ("strided view", memoryview(array("f", [0.5] * 8))[::2], TypeError),
            ("half a frame", array("f", [0.5] * 3), ValueError),
            # 4 x 3 floats are whole stereo frames: only the shape tells them apart.
            ("(frames, 3) view", memoryview(array("f", [0.5] * 12)).cast("B").cast("f", (4, 3)),
             (ValueError, r"\(4, 3\)")),
            ("3-D view", memoryview(array("f", [0.5] * 8)).cast("B").cast("f", (2, 2, 2)),
             ValueError),
        ])

    def test_write_takes_numpy_float32_arrays_and_refuses_others(self):
        if numpy is None:
            if os.environ.get("VASKEL_REQUIRE_NUMPY"):
                self.fail("numpy is required here but not installed (Debian: python3-numpy)")
            sys.stderr.write("\nSKIPPED: numpy is not installed, the numpy rows did not run\n")
            self.skipTest("numpy is not installed: the numpy rows did not run")
        self.write_rows([
            ("numpy (frames, channels)", numpy.zeros((2, 2), numpy.float32), 2),
            ("numpy flat", numpy.zeros(4, numpy.float32), 2),
            ("numpy float64", numpy.zeros((2, 2)), (TypeError, "float32")),
            ("numpy transposed", numpy.zeros((2, 2), numpy.float32).T, TypeError),
            ("numpy column slice", numpy.zeros((2, 4), numpy.float32)[:, :2], TypeError),
            ("numpy three channels", numpy.zeros((4, 3), numpy.float32), ValueError),
            ("numpy 3-D", numpy.zeros((2, 100, 2), numpy.float32), ValueError),
        ])

    def test_a_configuration_out_of_bounds_names_the_field_and_its_range(self):
        rows = {
            "streams 0": ({"streams": 0}, "streams must be in 1..128, not 0"),
            "streams 129": ({"streams": 129}, "streams must be in 1..128, not 129"),
            "slots 65": ({"slots": 65}, "slots must be in 1..64, not 65"),
            "frames_per_chunk 2049": ({"frames_per_chunk": 2049},
                                      "frames_per_chunk must be in 1..2048, not 2049"),
            "channels 3": ({"channels": 3}, "channels must be in 1..2, not 3"),
            "sample_rate 0": ({"sample_rate": 0}, "sample_rate must be in 1..4294967295, not 0"),
            "start past end": ({"start_frame": 5, "end_frame": 4},
                               r"start_frame must not be past end_frame \(5 > 4\)"),
        }
        for what, (given, message) in rows.items():
            with self.subTest(what):
                arguments = dict({"streams": 1}, **given)
                with self.assertRaisesRegex(vaskel.VaskelError, message) as raised:
                    vaskel.Producer(region("bounds"), **arguments)
                self.assertEqual(raised.exception.status, vaskel.ERROR_INVALID_CONFIG)

    def test_numbers_outside_their_c_type_are_refused_not_wrapped(self):
        with vaskel.Producer(region("range"), 2, channels=1) as producer:
            for stream in (2, 2**32, -(2**32), -1):
                with self.subTest(stream=stream):
                    for call in (lambda: producer.write(stream, array("f", [0.0]), timeout=0),
                                 lambda: producer.close_stream(stream),
                                 lambda: producer.abort_stream(stream)):
                        with self.assertRaises(vaskel.VaskelError) as raised:
                            call()
                        self.assertEqual(raised.exception.status, vaskel.ERROR_STREAM_RANGE)
            refused = {
                "streams 2**32 + 1": lambda: vaskel.Producer(region("wide"), 2**32 + 1),
                "start_frame -1": lambda: vaskel.Producer(region("wide"), 1, start_frame=-1),
                "end_frame -1": lambda: vaskel.Producer(region("wide"), 1, end_frame=-1),
                "fail(-1)": lambda: producer.fail(-1),
                "fail(2**32)": lambda: producer.fail(2**32),
                "timeout -1": lambda: producer.wait(timeout=-1),
            }
            for what, call in refused.items():
                with self.subTest(what):
                    with self.assertRaises(ValueError):
                        call()
            self.assertEqual(producer.failure_code, 0)

    def test_time_running_out_is_reported_in_seconds_or_deprecated_milliseconds(self):
        with vaskel.Producer(region("timeout"), 1, channels=1, frames_per_chunk=4,
                             slots=2) as producer:
            # No renderer: the ring takes one more chunk of these three, then stays full for
            # more than one wait slice.
            producer.write(0, array("f", [0.0] * 4), timeout=0)
            with self.assertRaises(vaskel.WriteTimeout) as raised:
                producer.write(0, array("f", [0.0] * 12), timeout=0.25)
            self.assertEqual(raised.exception.frames_written, 4)
            self.assertIs(producer.wait(timeout=0.25), False)
            for how, call in {"timeout_ms": lambda: producer.wait(timeout_ms=150),
                              "positional": lambda: producer.wait(150)}.items():
                with self.subTest(how):
                    start = time.monotonic()
                    with self.assertWarns(DeprecationWarning):
                        self.assertIs(call(), False)
                    self.assertLess(time.monotonic() - start, 10)  # 150 ms, not 150 s
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                self.assertEqual(producer.write(0, array("f"), timeout=1.0), 0)

    def test_a_write_waiting_across_slices_resumes_at_the_next_frame(self):
        renderer = os.environ.get("VASKEL_RENDERER") or shutil.which("vaskel_renderer")
        if not renderer:
            self.skipTest("no vaskel_renderer: set VASKEL_RENDERER")
        # A renderer that sleeps 10 ms after every chunk drains 38 chunks of 16 frames in some
        # 400 ms: the one write waits through several slices and resumes after each.
        name, frames = region("resume"), 600
        samples = array("f", range(2 * frames))
        with tempfile.TemporaryDirectory() as root:
            with vaskel.Producer(name, 1, channels=2, frames_per_chunk=16, slots=2,
                                 end_frame=frames) as producer:
                child = subprocess.Popen([renderer, name, root, "10000", "30000", "30000"],
                                         stdout=subprocess.DEVNULL)
                try:
                    self.assertEqual(producer.write(0, samples, timeout=30), frames)
                    producer.close_stream(0)
                    self.assertIs(producer.wait(timeout=30), True)
                finally:
                    self.assertEqual(child.wait(timeout=30), 0)
            with open(os.path.join(root, "stream-0.wav"), "rb") as wav:
                data = wav.read()[44:]
        if sys.byteorder != "little":
            samples.byteswap()
        self.assertEqual(data, samples.tobytes())

    def interrupted(self, call):
        """Seconds until Ctrl-C ended `call`, sent 0.2 s after it began; fails if it was not."""
        timer = threading.Timer(0.2, _thread.interrupt_main)
        start = time.monotonic()
        timer.start()
        try:
            outcome = call()
        except KeyboardInterrupt:
            return time.monotonic() - start
        except Exception as error:  # pylint: disable=broad-except
            outcome = error
        try:  # take the interrupt that was meant for the call
            timer.join()
            time.sleep(1)
        except KeyboardInterrupt:
            pass
        self.fail("not interrupted; the call ended with %r" % (outcome,))

    def test_long_waits_end_at_ctrl_c(self):
        with vaskel.Producer(region("interrupt"), 1, channels=1, frames_per_chunk=4,
                             slots=1) as producer:
            producer.write(0, array("f", [0.0] * 4), timeout=0)  # the ring is full now
            calls = {
                # Without a renderer neither can end by itself before its timeout.
                "write": lambda: producer.write(0, array("f", [0.0] * 4), timeout=60),
                "wait without limit": lambda: producer.wait(),
                "wait, milliseconds past 32 bits": lambda: producer.wait(timeout=5e6),
            }
            for what, call in calls.items():
                with self.subTest(what):
                    self.assertLess(self.interrupted(call), 30)


if __name__ == "__main__":
    unittest.main()
