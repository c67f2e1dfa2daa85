"""The Python module over the real producer library: where it must differ from a plain ctypes
call (ranges, buffers, long waits) and how a region is freed. The capture itself is checked
end to end by examples/run_example.py.

    VASKEL_PRODUCER_LIBRARY=<libvaskel_producer.so> PYTHONPATH=bindings/python python3 -m unittest \
        discover -s bindings/python/tests

VASKEL_REQUIRE_NUMPY=1 makes a missing numpy a failure instead of a skip.
"""

import _thread
import gc
import os
import subprocess
import sys
import threading
import time
import unittest
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

    def test_write_takes_float32_buffers_and_refuses_others(self):
        rows = [
            ("array('f')", array("f", [0.5] * 4), 2),
            ("bytes, copied", bytes(16), 2),
            ("empty", array("f"), 0),
            ("array('d')", array("d", [0.5] * 4), TypeError),
            ("strided view", memoryview(array("f", [0.5] * 8))[::2], TypeError),
            ("half a frame", array("f", [0.5] * 3), ValueError),
        ]
        if numpy is not None:
            rows += [
                ("numpy (frames, channels)", numpy.zeros((2, 2), numpy.float32), 2),
                ("numpy flat", numpy.zeros(4, numpy.float32), 2),
                ("numpy float64", numpy.zeros((2, 2)), TypeError),
                ("numpy transposed", numpy.zeros((2, 2), numpy.float32).T, TypeError),
                ("numpy column slice", numpy.zeros((2, 4), numpy.float32)[:, :2], TypeError),
                ("numpy three channels", numpy.zeros((2, 3), numpy.float32), ValueError),
            ]
        elif os.environ.get("VASKEL_REQUIRE_NUMPY"):
            self.fail("numpy is required here but not installed")
        with vaskel.Producer(region("buffers"), 1, channels=2, frames_per_chunk=2,
                             slots=16) as producer:
            for what, samples, expected in rows:
                with self.subTest(what):
                    if isinstance(expected, int):
                        self.assertEqual(producer.write(0, samples, timeout_ms=0), expected)
                    else:
                        with self.assertRaises(expected):
                            producer.write(0, samples, timeout_ms=0)

    def test_numbers_beyond_32_bits_are_refused_not_wrapped(self):
        with vaskel.Producer(region("range"), 2, channels=1) as producer:
            for stream in (2, 2**32, -(2**32), -1):
                with self.subTest(stream=stream):
                    for call in (lambda: producer.write(stream, array("f", [0.0]), 0),
                                 lambda: producer.close_stream(stream),
                                 lambda: producer.abort_stream(stream)):
                        with self.assertRaises(vaskel.VaskelError) as raised:
                            call()
                        self.assertEqual(raised.exception.status, vaskel.ERROR_STREAM_RANGE)
            with self.assertRaises(ValueError):
                vaskel.Producer(region("wide"), 2**32 + 1)
            with self.assertRaises(ValueError):
                producer.wait(-1)

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
            producer.write(0, array("f", [0.0] * 4), timeout_ms=0)  # the ring is full now
            calls = {
                # Without a renderer neither can end by itself before its timeout.
                "write": lambda: producer.write(0, array("f", [0.0] * 4), timeout_ms=60000),
                "wait, timeout past 32 bits": lambda: producer.wait(2**32),
            }
            for what, call in calls.items():
                with self.subTest(what):
                    self.assertLess(self.interrupted(call), 30)


if __name__ == "__main__":
    unittest.main()
