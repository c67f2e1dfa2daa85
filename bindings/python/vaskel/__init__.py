"""The vaskel producer library for Python, through ctypes: standard library only.

    import vaskel

    with vaskel.Producer("my-render", streams=2, channels=2, sample_rate=48000) as producer:
        producer.write(0, samples)       # float32: array('f'), a numpy (frames, channels) array
        ...
        for stream in range(2):
            producer.close_stream(stream)
        producer.wait(60000)             # True: every file is complete; raises CaptureFailed

Errors are raised as VaskelError or one of its kinds: WriteTimeout (the ring stayed full, for
instance while no renderer is attached yet) and CaptureFailed (a failure code was published).
A Producer removes its region on close(), at the end of its `with` block, when it is garbage
collected, or when the interpreter exits, whichever comes first.

The shared library is found through the argument `library`, else the environment variable
VASKEL_PRODUCER_LIBRARY, else the system's search by its versioned name.
"""

import ctypes
import ctypes.util
import operator
import os
import sys
import time
import weakref

__version__ = "0.1.0"

__all__ = [
    "CaptureFailed", "Config", "Producer", "VaskelError", "WriteTimeout", "load", "version",
    "OK", "ERROR_STREAM_RANGE", "ERROR_TIMEOUT", "ERROR_CAPTURE_FAILED", "CONSUMER_NONE",
    "CONSUMER_ATTACHED", "CONSUMER_COMPLETED", "CONSUMER_FAILED",
]

# Statuses of the C interface that this module treats apart (see vaskel/producer.h).
OK = 0
ERROR_STREAM_RANGE = -7
ERROR_TIMEOUT = -9
ERROR_CAPTURE_FAILED = -10

# The renderer's state as Producer.consumer_state reports it.
CONSUMER_NONE = 0
CONSUMER_ATTACHED = 1
CONSUMER_COMPLETED = 2
CONSUMER_FAILED = 3

# The longest single wait inside the library: Python runs its signal handlers (Ctrl-C) only
# between calls, so a long timeout is waited in slices of this many milliseconds.
_SLICE_MS = 100
_U32_MAX = 2**32 - 1
_U64_MAX = 2**64 - 1


class Config(ctypes.Structure):
    """The region's configuration, as the C interface's vaskel_config."""

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


def _default_names():
    """The library's names for the system's loader: the ABI's versioned name first."""
    major = __version__.split(".")[0]
    if sys.platform == "win32":
        names = ["libvaskel_producer.dll"]
    elif sys.platform == "darwin":
        names = ["libvaskel_producer.%s.dylib" % major]
    else:
        names = ["libvaskel_producer.so.%s" % major]
    found = ctypes.util.find_library("vaskel_producer")
    return names + ([found] if found else [])


def _bind(library):
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
    return library


def load(path=None):
    """Loads the shared library once and returns it; later calls return the same one.

    `path` (else VASKEL_PRODUCER_LIBRARY) names the file; without either, the system's loader
    looks for the library by name. Raises OSError when it cannot be loaded."""
    global _library
    if _library is None:
        chosen = path or os.environ.get("VASKEL_PRODUCER_LIBRARY")
        errors = []
        for candidate in [chosen] if chosen else _default_names():
            try:
                _library = _bind(ctypes.CDLL(candidate))
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise OSError("the vaskel_producer library was not found (%s); set "
                          "VASKEL_PRODUCER_LIBRARY to its path" % "; ".join(errors))
    return _library


def _lib():
    return load()


def version():
    """The loaded library's version, "MAJOR.MINOR.PATCH"."""
    return _lib().vaskel_version().decode()


def _whole(value, what, largest):
    """`value` as an int in 0..largest; ctypes would silently wrap anything outside."""
    number = operator.index(value)
    if not 0 <= number <= largest:
        raise ValueError("%s must be in 0..%d, not %d" % (what, largest, number))
    return number


def _milliseconds(timeout_ms):
    if timeout_ms < 0:
        raise ValueError("timeout_ms must not be negative, not %r" % (timeout_ms,))
    return timeout_ms


# Buffer formats taken as they are: float32, or raw bytes holding native float32 samples.
_FLOAT_FORMATS = ("f", "<f", "=f") if sys.byteorder == "little" else ("f", ">f", "=f")
_BYTE_FORMATS = ("B", "b", "c")


class Producer:
    """One region and its streams.

    Use it in a `with` block or call close(); a Producer that is neither closed nor left by its
    block removes its region when it is garbage collected or when the interpreter exits."""

    def __init__(self, name, streams, channels=2, sample_rate=48000, frames_per_chunk=1024,
                 slots=16, start_frame=0, end_frame=0, library=None):
        """Creates the region `name`; raises VaskelError when the library refuses it (a name
        taken or invalid, a configuration outside the transport's bounds)."""
        lib = load(library)
        self.streams = _whole(streams, "streams", _U32_MAX)
        self.channels = _whole(channels, "channels", _U32_MAX)
        config = Config(self.streams, _whole(slots, "slots", _U32_MAX),
                        _whole(frames_per_chunk, "frames_per_chunk", _U32_MAX), self.channels,
                        _whole(sample_rate, "sample_rate", _U32_MAX),
                        _whole(start_frame, "start_frame", _U64_MAX),
                        _whole(end_frame, "end_frame", _U64_MAX))
        handle = ctypes.c_void_p()
        status = lib.vaskel_producer_create(name.encode("utf-8"), ctypes.byref(config),
                                            ctypes.byref(handle))
        if status != OK:
            raise VaskelError(status, "cannot create region %r" % name)
        self._handle = handle
        # Holds the handle, not the Producer, so it can run when the Producer is collected.
        self._finalizer = weakref.finalize(self, lib.vaskel_producer_destroy, handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Unmaps the region and removes its name; safe to call more than once. A renderer
        still attached keeps its own view: close every stream and wait() first."""
        self._finalizer()
        self._handle = ctypes.c_void_p()

    def destroy(self):
        """The same as close()."""
        self.close()

    def _stream(self, stream):
        index = operator.index(stream)
        if not 0 <= index < self.streams:
            raise VaskelError(ERROR_STREAM_RANGE, "stream %d of %d" % (index, self.streams))
        return index

    def _buffer(self, samples):
        """The address and frame count of `samples`, and the object that keeps it alive."""
        view = memoryview(samples)
        if view.format not in _FLOAT_FORMATS + _BYTE_FORMATS:
            # A float64 array read as float32 would be published as noise.
            raise TypeError("samples must be float32 or raw bytes, not format %r (convert "
                            "with numpy's astype(numpy.float32))" % view.format)
        if not view.c_contiguous:
            raise TypeError("samples must be C-contiguous (numpy: numpy.ascontiguousarray)")
        if view.ndim == 2 and view.format not in _BYTE_FORMATS and \
                view.shape[1] != self.channels:
            raise ValueError("samples of shape %r are not (frames, %d channels)"
                             % (view.shape, self.channels))
        frame_bytes = 4 * self.channels
        if view.nbytes % frame_bytes:
            raise ValueError("%d bytes are not whole frames of %d channels"
                             % (view.nbytes, self.channels))
        if view.nbytes == 0:
            return 0, 0, None
        if view.readonly:
            # ctypes cannot point into a read-only buffer; a copy is the price of bytes input.
            buffer = ctypes.create_string_buffer(view.tobytes(), view.nbytes)
        else:
            buffer = (ctypes.c_char * view.nbytes).from_buffer(view.cast("B"))
        return ctypes.addressof(buffer), view.nbytes // frame_bytes, buffer

    def write(self, stream, samples, timeout_ms=1000):
        """Publishes interleaved float32 frames into stream `stream`, in order.

        `samples` is any C-contiguous buffer of float32 (array('f'), memoryview, a numpy array
        of shape (frames, channels) or flat) or raw bytes of native float32, taken without a
        copy where it is writable. Waits up to timeout_ms for ring space (0: never waits).
        Returns the frames written. Raises TypeError for other sample types (float64) or a
        non-contiguous buffer, WriteTimeout when only part went out in time, CaptureFailed once
        a failure is published, VaskelError for a stream out of range or closed."""
        index = self._stream(stream)
        address, frames, keep = self._buffer(samples)
        frame_bytes = 4 * self.channels
        remaining_ms = _milliseconds(timeout_ms)
        deadline = time.monotonic() + remaining_ms / 1000.0
        done = 0
        while True:
            written = ctypes.c_uint64(0)
            status = _lib().vaskel_producer_write(
                self._handle, index, address + done * frame_bytes if address else None,
                frames - done, int(min(remaining_ms, _SLICE_MS)), ctypes.byref(written))
            done += written.value
            remaining_ms = (deadline - time.monotonic()) * 1000.0
            if status != ERROR_TIMEOUT or remaining_ms <= 0:
                break
        del keep
        what = "write to stream %d" % index
        if status == OK:
            return frames
        if status == ERROR_TIMEOUT:
            raise WriteTimeout(status, what, done)
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, what, self.failure_code)
        raise VaskelError(status, what)

    def close_stream(self, stream):
        """Marks the stream finished after its last write; raises VaskelError when it was
        closed or aborted before or is out of range."""
        index = self._stream(stream)
        self._check(_lib().vaskel_producer_close_stream(self._handle, index), "close_stream")

    def abort_stream(self, stream):
        """Marks the stream aborted: the renderer stops with "producer_abort"."""
        index = self._stream(stream)
        self._check(_lib().vaskel_producer_abort_stream(self._handle, index), "abort_stream")

    def fail(self, failure_code):
        """Publishes a failure code (1..7) unless one is published already; raises
        VaskelError (CaptureFailed's status) when one was."""
        code = _whole(failure_code, "failure_code", _U32_MAX)
        self._check(_lib().vaskel_producer_fail(self._handle, code), "fail")

    def wait(self, timeout_ms):
        """Waits up to timeout_ms for the renderer's verdict: True when it completed the
        capture, False when the time ran out; raises CaptureFailed when a failure code is
        published. Any length of wait can be interrupted with Ctrl-C."""
        remaining_ms = _milliseconds(timeout_ms)
        deadline = time.monotonic() + remaining_ms / 1000.0
        while True:
            code = ctypes.c_uint32(0)
            status = _lib().vaskel_producer_wait(self._handle, int(min(remaining_ms, _SLICE_MS)),
                                                 ctypes.byref(code))
            remaining_ms = (deadline - time.monotonic()) * 1000.0
            if status != ERROR_TIMEOUT or remaining_ms <= 0:
                break
        if status == ERROR_TIMEOUT:
            return False
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, "capture", code.value)
        self._check(status, "wait")
        return True

    @property
    def consumer_state(self):
        """The renderer's state: CONSUMER_NONE, _ATTACHED, _COMPLETED or _FAILED."""
        return _lib().vaskel_producer_consumer_state(self._handle)

    @property
    def failure_code(self):
        """The published failure code; 0 while there is none."""
        return _lib().vaskel_producer_failure_code(self._handle)

    @staticmethod
    def _check(status, what):
        if status != OK:
            raise VaskelError(status, what)
