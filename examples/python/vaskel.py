"""The vaskel producer library for Python, through ctypes: standard library only.

    from array import array
    import vaskel

    with vaskel.Producer("my-render", streams=2, channels=2, sample_rate=48000) as producer:
        producer.write(0, array("f", interleaved_samples))   # any buffer of float32
        ...
        for stream in range(2):
            producer.close_stream(stream)
        producer.wait(60000)                                  # raises CaptureFailed

The shared library is found through the argument `library`, else the environment variable
VASKEL_PRODUCER_LIBRARY, else the system's search (ctypes.util.find_library).
"""

import ctypes
import ctypes.util
import os

OK = 0
ERROR_TIMEOUT = -9
ERROR_CAPTURE_FAILED = -10

CONSUMER_COMPLETED = 2


class Config(ctypes.Structure):
    _fields_ = [
        ("stream_count", ctypes.c_uint32),
        ("slots_per_stream", ctypes.c_uint32),
        ("frames_per_chunk", ctypes.c_uint32),
        ("channel_count", ctypes.c_uint32),
        ("sample_rate", ctypes.c_uint32),
        ("logical_start_frame", ctypes.c_uint64),
        ("logical_end_frame", ctypes.c_uint64),
    ]


class VaskelError(Exception):
    """A call returned a status other than success; `status` holds it."""

    def __init__(self, status, what):
        self.status = status
        super().__init__("%s: %s" % (what, _lib().vaskel_status_text(status).decode()))


class WriteTimeout(VaskelError):
    """The ring stayed full: `frames_written` frames (whole chunks) went out before it."""

    def __init__(self, status, what, frames_written):
        self.frames_written = frames_written
        super().__init__(status, what)


class CaptureFailed(VaskelError):
    """A failure code was published by either side; `failure_code` and `failure_name` say which."""

    def __init__(self, status, what, failure_code):
        self.failure_code = failure_code
        self.failure_name = _lib().vaskel_failure_name(failure_code).decode()
        super().__init__(status, "%s (%s)" % (what, self.failure_name))


_library = None


def load(path=None):
    """Loads the shared library once; later calls return the same one."""
    global _library
    if _library is None:
        path = path or os.environ.get("VASKEL_PRODUCER_LIBRARY") or \
            ctypes.util.find_library("vaskel_producer")
        if not path:
            raise OSError("the vaskel_producer library was not found; "
                          "set VASKEL_PRODUCER_LIBRARY to its path")
        library = ctypes.CDLL(path)
        handle = ctypes.c_void_p
        u32, u64, i32 = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int
        signatures = {
            "vaskel_producer_create": (i32, [ctypes.c_char_p, ctypes.POINTER(Config),
                                             ctypes.POINTER(handle)]),
            "vaskel_producer_write": (i32, [handle, u32, ctypes.c_void_p, u64, u32,
                                            ctypes.POINTER(u64)]),
            "vaskel_producer_close_stream": (i32, [handle, u32]),
            "vaskel_producer_abort_stream": (i32, [handle, u32]),
            "vaskel_producer_fail": (i32, [handle, u32]),
            "vaskel_producer_wait": (i32, [handle, u32, ctypes.POINTER(u32)]),
            "vaskel_producer_consumer_state": (u32, [handle]),
            "vaskel_producer_failure_code": (u32, [handle]),
            "vaskel_producer_destroy": (None, [handle]),
            "vaskel_status_text": (ctypes.c_char_p, [i32]),
            "vaskel_failure_name": (ctypes.c_char_p, [u32]),
            "vaskel_version": (ctypes.c_char_p, []),
        }
        for name, (result, arguments) in signatures.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        _library = library
    return _library


def _lib():
    return load()


def version():
    return _lib().vaskel_version().decode()


# Buffer formats taken as they are: float32, or raw bytes holding native float32 samples.
_FLOAT_FORMATS = ("f", "<f", "=f")
_BYTE_FORMATS = ("B", "b", "c")


class Producer:
    """One region and its streams. Use it in a `with` block, or call destroy()."""

    def __init__(self, name, streams, channels=2, sample_rate=48000, frames_per_chunk=1024,
                 slots=16, start_frame=0, end_frame=0, library=None):
        lib = load(library)
        self.channels = channels
        config = Config(streams, slots, frames_per_chunk, channels, sample_rate, start_frame,
                        end_frame)
        self._handle = ctypes.c_void_p()
        status = lib.vaskel_producer_create(name.encode("utf-8"), ctypes.byref(config),
                                            ctypes.byref(self._handle))
        if status != OK:
            raise VaskelError(status, "cannot create region %r" % name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.destroy()

    def destroy(self):
        """Unmaps the region and removes its name; safe to call twice."""
        if self._handle:
            _lib().vaskel_producer_destroy(self._handle)
            self._handle = ctypes.c_void_p()

    def write(self, stream, samples, timeout_ms=1000):
        """Publishes interleaved float32 frames from any object with the buffer protocol
        (array('f'), memoryview, bytes, numpy float32 arrays, ...). Returns the frames written;
        raises WriteTimeout when only part went out, CaptureFailed once a failure is published."""
        view = memoryview(samples)
        if view.format not in _FLOAT_FORMATS + _BYTE_FORMATS:
            # A float64 array read as float32 would be published as noise.
            raise TypeError("samples must be float32 or raw bytes, not format %r" % view.format)
        if not view.c_contiguous:
            raise TypeError("samples must be contiguous")
        frame_bytes = 4 * self.channels
        if view.nbytes % frame_bytes:
            raise ValueError("%d bytes are not whole frames of %d channels"
                             % (view.nbytes, self.channels))
        frames = view.nbytes // frame_bytes
        if view.readonly:
            # ctypes cannot point into a read-only buffer; a copy is the price of bytes input.
            buffer = ctypes.create_string_buffer(view.tobytes(), view.nbytes)
        else:
            buffer = (ctypes.c_char * view.nbytes).from_buffer(view.cast("B"))
        written = ctypes.c_uint64(0)
        status = _lib().vaskel_producer_write(self._handle, stream, ctypes.addressof(buffer),
                                              frames, timeout_ms, ctypes.byref(written))
        if status == OK:
            return frames
        if status == ERROR_TIMEOUT:
            raise WriteTimeout(status, "write to stream %d" % stream, written.value)
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, "write to stream %d" % stream, self.failure_code)
        raise VaskelError(status, "write to stream %d" % stream)

    def close_stream(self, stream):
        self._check(_lib().vaskel_producer_close_stream(self._handle, stream), "close_stream")

    def abort_stream(self, stream):
        self._check(_lib().vaskel_producer_abort_stream(self._handle, stream), "abort_stream")

    def fail(self, failure_code):
        self._check(_lib().vaskel_producer_fail(self._handle, failure_code), "fail")

    def wait(self, timeout_ms):
        """True when the renderer completed the capture, False when the time ran out; raises
        CaptureFailed when a failure code is published."""
        code = ctypes.c_uint32(0)
        status = _lib().vaskel_producer_wait(self._handle, timeout_ms, ctypes.byref(code))
        if status == ERROR_TIMEOUT:
            return False
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, "capture", code.value)
        self._check(status, "wait")
        return True

    @property
    def consumer_state(self):
        return _lib().vaskel_producer_consumer_state(self._handle)

    @property
    def failure_code(self):
        return _lib().vaskel_producer_failure_code(self._handle)

    @staticmethod
    def _check(status, what):
        if status != OK:
            raise VaskelError(status, what)
