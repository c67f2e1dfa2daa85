"""The vaskel producer library for Python, through ctypes: standard library only.

    import vaskel

    with vaskel.Producer("my-render", streams=2, channels=2, sample_rate=48000) as producer:
        producer.write(0, samples)       # float32: array('f'), a numpy (frames, channels) array
        ...
        for stream in range(2):
            producer.close_stream(stream)
        producer.wait(timeout=60.0)      # True: every file is complete; raises CaptureFailed

Errors are raised as VaskelError or one of its kinds: WriteTimeout (the ring stayed full, for
instance while no renderer is attached yet) and CaptureFailed (a failure code was published).
A Producer removes its region on close(), at the end of its `with` block, when it is garbage
collected, or when the interpreter exits, whichever comes first; never while another thread is
inside one of its calls (close() waits for it, and the call raises VaskelError). In a child made
by fork() the parent's Producers are closed, and never remove the parent's region.

The shared library is the one named by the argument `library`, else by the environment variable
VASKEL_PRODUCER_LIBRARY, else the copy bundled in this package (a wheel built by pip), else the
system's, by its versioned name (libvaskel_producer.so.0).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import operator
import os
import sys
import threading
import time
import warnings
import weakref
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple, Union

if TYPE_CHECKING:
    from array import array

    import numpy
    import numpy.typing

    # What write() takes, for a type checker: float32 buffers, or raw bytes of native float32.
    # A list or a float64 array is refused at run time too, with a TypeError.
    Samples = Union["array[float]", memoryview, bytes, bytearray,
                    "numpy.typing.NDArray[numpy.float32]"]
else:
    Samples = Any

__version__ = "0.1.0"

__all__ = [
    "CaptureFailed", "Config", "Producer", "Samples", "VaskelError", "WriteTimeout", "load",
    "version",
    "OK", "ERROR_NULL_ARGUMENT", "ERROR_INVALID_CONFIG", "ERROR_STREAM_RANGE", "ERROR_TIMEOUT",
    "ERROR_CAPTURE_FAILED",
    "CONSUMER_NONE", "CONSUMER_ATTACHED", "CONSUMER_COMPLETED", "CONSUMER_FAILED",
]

# Statuses of the C interface that this module treats apart (see vaskel/producer.h).
OK = 0
ERROR_NULL_ARGUMENT = -1  # also the status of any call on a closed Producer
ERROR_INVALID_CONFIG = -2
ERROR_STREAM_RANGE = -7
ERROR_TIMEOUT = -9
ERROR_CAPTURE_FAILED = -10

# The renderer's state as Producer.consumer_state reports it.
CONSUMER_NONE = 0
CONSUMER_ATTACHED = 1
CONSUMER_COMPLETED = 2
CONSUMER_FAILED = 3

# The longest single wait inside the library: Python runs its signal handlers (Ctrl-C) only
# between calls, and close() waits for running calls, so a long timeout is waited in slices.
_SLICE_S = 0.1
_U32_MAX = 2**32 - 1
_U64_MAX = 2**64 - 1

# The transport's bounds of each configuration field, for the message when the library refuses
# a configuration: the library decides, this only names the field.
_CONFIG_BOUNDS = (
    ("streams", 1, 128), ("slots", 1, 64), ("frames_per_chunk", 1, 2048), ("channels", 1, 2),
    ("sample_rate", 1, _U32_MAX),
)


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

    def __init__(self, status: int, what: str, text: Optional[str] = None) -> None:
        self.status = status
        if text is None:
            text = _lib().vaskel_status_text(status).decode()
        super().__init__("%s: %s" % (what, text))


class WriteTimeout(VaskelError):
    """The ring stayed full: `frames_written` frames (whole chunks) went out before it."""

    def __init__(self, status: int, what: str, frames_written: int) -> None:
        self.frames_written = frames_written
        super().__init__(status, what)


class CaptureFailed(VaskelError):
    """A failure code was published by either side; `failure_code` and `failure_name` say which."""

    def __init__(self, status: int, what: str, failure_code: int) -> None:
        self.failure_code = failure_code
        self.failure_name: str = _lib().vaskel_failure_name(failure_code).decode()
        super().__init__(status, "%s (%s)" % (what, self.failure_name))


_library: Optional[ctypes.CDLL] = None


def _library_names() -> List[str]:
    """Where the library is looked for without an explicit path: the copy bundled in this
    package first, then the system's loader by the ABI's versioned name."""
    major = __version__.split(".")[0]
    if sys.platform == "win32":
        name = "libvaskel_producer.dll"
    elif sys.platform == "darwin":
        name = "libvaskel_producer.%s.dylib" % major
    else:
        name = "libvaskel_producer.so.%s" % major
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    found = ctypes.util.find_library("vaskel_producer")
    return ([bundled] if os.path.exists(bundled) else []) + [name] + ([found] if found else [])


def _bind(library: ctypes.CDLL) -> ctypes.CDLL:
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


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the shared library once and returns it; later calls return the same one.

    `path` (else VASKEL_PRODUCER_LIBRARY) names the file; without either, the copy bundled in
    this package, else the system's library by its versioned name. Raises OSError when it
    cannot be loaded."""
    global _library
    if _library is None:
        chosen = path or os.environ.get("VASKEL_PRODUCER_LIBRARY")
        errors = []
        for candidate in [chosen] if chosen else _library_names():
            try:
                _library = _bind(ctypes.CDLL(candidate))
                break
            except OSError as error:
                errors.append(str(error))
        else:
            raise OSError("the vaskel_producer library was not found (%s); set "
                          "VASKEL_PRODUCER_LIBRARY to its path" % "; ".join(errors))
    return _library


def _lib() -> ctypes.CDLL:
    return load()


def version() -> str:
    """The loaded library's version, "MAJOR.MINOR.PATCH"."""
    return str(_lib().vaskel_version().decode())


def _whole(value: int, what: str, largest: int) -> int:
    """`value` as an int in 0..largest; ctypes would silently wrap anything outside."""
    number = operator.index(value)
    if not 0 <= number <= largest:
        raise ValueError("%s must be in 0..%d, not %d" % (what, largest, number))
    return number


def _seconds(legacy: Tuple[float, ...], timeout: Optional[float], timeout_ms: Optional[float],
             what: str) -> Optional[float]:
    """The timeout in seconds, None for no limit. Milliseconds, given as `timeout_ms` or as a
    positional number (the earlier interface), still count, with a DeprecationWarning."""
    if len(legacy) > 1 or (legacy and timeout_ms is not None):
        raise TypeError("%s() takes one timeout" % what)
    if legacy:
        timeout_ms = legacy[0]
    if timeout_ms is not None:
        warnings.warn("%s(): a timeout in milliseconds (timeout_ms, or a positional number) is "
                      "deprecated; pass timeout= in seconds" % what, DeprecationWarning,
                      stacklevel=3)
        if timeout_ms < 0:
            raise ValueError("timeout_ms must not be negative, not %r" % (timeout_ms,))
        return timeout_ms / 1000.0
    if timeout is not None and not timeout >= 0:  # NaN is refused too
        raise ValueError("timeout must not be negative, not %r" % (timeout,))
    return timeout


def _slices(seconds: Optional[float]) -> Callable[[], Optional[int]]:
    """A function giving the next wait slice in milliseconds: the first always (0 when there is
    no time), later ones until the time is up, then None."""
    deadline = None if seconds is None else time.monotonic() + seconds
    first = True

    def next_slice() -> Optional[int]:
        nonlocal first
        left = _SLICE_S if deadline is None else min(deadline - time.monotonic(), _SLICE_S)
        if left <= 0 and not first:
            return None
        first = False
        return max(0, int(left * 1000.0))

    return next_slice


class _Handle:
    """The library's producer and the calls into it that are running. ctypes releases the GIL
    during a call, so another thread could destroy the producer under it: close() marks it
    closed, waits for the running calls (they end within one wait slice) and destroys it."""

    def __init__(self, library: ctypes.CDLL, pointer: ctypes.c_void_p) -> None:
        self._library = library
        self._pointer = pointer
        self._lock = threading.Condition(threading.RLock())
        self._calls: Dict[int, int] = {}  # thread -> its calls running
        self._closed = False
        self._closed_why = "the producer is closed"
        _live_handles.add(self)

    def call(self, what: str, function: Callable[..., Any], *arguments: Any) -> Any:
        """function(producer, *arguments); VaskelError once the producer is closed."""
        me = threading.get_ident()
        with self._lock:
            if self._closed:
                raise VaskelError(ERROR_NULL_ARGUMENT, what, self._closed_why)
            self._calls[me] = self._calls.get(me, 0) + 1
        try:
            return function(self._pointer, *arguments)
        finally:
            with self._lock:
                self._calls[me] -= 1
                if not self._calls[me]:
                    del self._calls[me]
                self._lock.notify_all()
                if self._closed and not self._calls:
                    self._destroy()

    def close(self) -> None:
        me = threading.get_ident()
        with self._lock:
            self._closed = True
            # A call on this very thread is suspended in Python code (close() ran from a signal
            # handler that interrupted it), not inside the library, and may never resume (the
            # handler may raise): destroyed now, the call finds a null producer if it goes on.
            self._lock.wait_for(lambda: all(thread == me for thread in self._calls))
            self._destroy()

    def _destroy(self) -> None:
        if self._pointer:
            self._library.vaskel_producer_destroy(self._pointer)
            # Nulled in place: a call that has already read the pointer passes null, which the
            # library refuses, never the freed producer.
            self._pointer.value = None

    def forget(self) -> None:
        """In a child made by fork(): the producer is the parent's. Closed without destroying
        it or removing its region, and without waiting for calls of threads that the child does
        not have; the lock may have been held by one of them."""
        self._lock = threading.Condition(threading.RLock())
        self._calls = {}
        self._closed = True
        self._closed_why = "the producer belongs to the process that created it, not a fork"
        self._pointer = ctypes.c_void_p()


_live_handles: "weakref.WeakSet[_Handle]" = weakref.WeakSet()


def _forget_after_fork() -> None:
    for handle in list(_live_handles):
        handle.forget()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_after_fork)


# Buffer formats taken as they are: float32, or raw bytes holding native float32 samples.
_FLOAT_FORMATS = ("f", "<f", "=f") if sys.byteorder == "little" else ("f", ">f", "=f")
_BYTE_FORMATS = ("B", "b", "c")


class Producer:
    """One region and its streams.

    Use it in a `with` block or call close(); a Producer that is neither closed nor left by its
    block removes its region when it is garbage collected or when the interpreter exits.
    Timeouts are in seconds (None: no limit)."""

    def __init__(self, name: str, streams: int, channels: int = 2, sample_rate: int = 48000,
                 frames_per_chunk: int = 1024, slots: int = 16, start_frame: int = 0,
                 end_frame: int = 0, library: Optional[str] = None) -> None:
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
        pointer = ctypes.c_void_p()
        status = lib.vaskel_producer_create(name.encode("utf-8"), ctypes.byref(config),
                                            ctypes.byref(pointer))
        if status == ERROR_INVALID_CONFIG:
            given = {"streams": config.stream_count, "slots": config.slots_per_stream,
                     "frames_per_chunk": config.frames_per_chunk,
                     "channels": config.channel_count, "sample_rate": config.sample_rate}
            for field, least, most in _CONFIG_BOUNDS:
                if not least <= given[field] <= most:
                    raise VaskelError(status, "cannot create region %r" % name,
                                      "%s must be in %d..%d, not %d"
                                      % (field, least, most, given[field]))
            if config.logical_start_frame > config.logical_end_frame:
                raise VaskelError(status, "cannot create region %r" % name,
                                  "start_frame must not be past end_frame (%d > %d)"
                                  % (config.logical_start_frame, config.logical_end_frame))
        if status != OK:
            raise VaskelError(status, "cannot create region %r" % name)
        self._handle = _Handle(lib, pointer)
        # Holds the handle, not the Producer, so it can run when the Producer is collected.
        self._finalizer = weakref.finalize(self, self._handle.close)

    def __enter__(self) -> Producer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Unmaps the region and removes its name; safe to call more than once and from any
        thread. Calls running in other threads end first, with VaskelError; so does any call
        after it. A renderer still attached keeps its own view: close every stream and wait()
        first."""
        self._finalizer()

    def destroy(self) -> None:
        """The same as close()."""
        self.close()

    def _stream(self, stream: int) -> int:
        index = operator.index(stream)
        if not 0 <= index < self.streams:
            raise VaskelError(ERROR_STREAM_RANGE, "stream %d of %d" % (index, self.streams))
        return index

    def _buffer(self, samples: Any) -> Tuple[int, int, Any]:
        """The address and frame count of `samples`, and the object that keeps it alive."""
        try:
            view = memoryview(samples)
        except TypeError:
            raise TypeError("samples must be a buffer of float32 (array('f'), a numpy float32 "
                            "array, a memoryview) or bytes of native float32, not %s"
                            % type(samples).__name__) from None
        if view.format not in _FLOAT_FORMATS + _BYTE_FORMATS:
            # A float64 array read as float32 would be published as noise.
            raise TypeError("samples must be float32 or raw bytes, not format %r (convert "
                            "with numpy's astype(numpy.float32))" % view.format)
        if not view.c_contiguous:
            raise TypeError("samples must be C-contiguous (numpy: numpy.ascontiguousarray)")
        # Any other shape would be published interleaved as if it were one stream's frames.
        shape = view.shape or ()
        if len(shape) != 1 and (len(shape) != 2 or shape[1] != self.channels or
                                view.format in _BYTE_FORMATS):
            raise ValueError("samples of shape %r are neither flat nor (frames, %d channels)"
                             % (shape, self.channels))
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

    def write(self, stream: int, samples: Samples, *legacy: float, timeout: Optional[float] = 1.0,
              timeout_ms: Optional[float] = None) -> int:
        """Publishes interleaved float32 frames into stream `stream`, in order.

        `samples` is any C-contiguous buffer of float32 (array('f'), memoryview, a numpy array
        of shape (frames, channels) or flat) or raw bytes of native float32, taken without a
        copy where it is writable. Waits up to `timeout` seconds for ring space (0: never
        waits; None: no limit). Returns the frames written. Raises TypeError for other sample
        types (float64) or a non-contiguous buffer, ValueError for another shape or partial
        frames, WriteTimeout when only part went out in time, CaptureFailed once a failure is
        published, VaskelError for a stream out of range or closed, or a closed Producer.
        `timeout_ms`, or a positional timeout, is the deprecated timeout in milliseconds."""
        seconds = _seconds(legacy, timeout, timeout_ms, "write")
        index = self._stream(stream)
        address, frames, keep = self._buffer(samples)
        frame_bytes = 4 * self.channels
        what = "write to stream %d" % index
        next_slice = _slices(seconds)
        done = 0
        while True:
            slice_ms = next_slice()
            if slice_ms is None:
                break
            written = ctypes.c_uint64(0)
            status = self._handle.call(
                what, _lib().vaskel_producer_write, index,
                address + done * frame_bytes if address else None, frames - done, slice_ms,
                ctypes.byref(written))
            done += written.value
            if status != ERROR_TIMEOUT:
                break
        del keep
        if status == OK:
            return frames
        if status == ERROR_TIMEOUT:
            raise WriteTimeout(status, what, done)
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, what, self.failure_code)
        raise VaskelError(status, what)

    def close_stream(self, stream: int) -> None:
        """Marks the stream finished after its last write; raises VaskelError when it was
        closed or aborted before or is out of range."""
        index = self._stream(stream)
        self._check("close_stream", _lib().vaskel_producer_close_stream, index)

    def abort_stream(self, stream: int) -> None:
        """Marks the stream aborted: the renderer stops with "producer_abort"."""
        index = self._stream(stream)
        self._check("abort_stream", _lib().vaskel_producer_abort_stream, index)

    def fail(self, failure_code: int) -> None:
        """Publishes a failure code (1..7) unless one is published already; raises
        VaskelError (CaptureFailed's status) when one was."""
        code = _whole(failure_code, "failure_code", _U32_MAX)
        self._check("fail", _lib().vaskel_producer_fail, code)

    def wait(self, *legacy: float, timeout: Optional[float] = None,
             timeout_ms: Optional[float] = None) -> bool:
        """Waits up to `timeout` seconds (None: no limit) for the renderer's verdict: True when
        it completed the capture, False when the time ran out; raises CaptureFailed when a
        failure code is published. Any length of wait can be interrupted with Ctrl-C.
        `timeout_ms`, or a positional timeout, is the deprecated timeout in milliseconds."""
        next_slice = _slices(_seconds(legacy, timeout, timeout_ms, "wait"))
        code = ctypes.c_uint32(0)
        status = ERROR_TIMEOUT
        while status == ERROR_TIMEOUT:
            slice_ms = next_slice()
            if slice_ms is None:
                return False
            status = self._handle.call("wait", _lib().vaskel_producer_wait, slice_ms,
                                       ctypes.byref(code))
        if status == ERROR_CAPTURE_FAILED:
            raise CaptureFailed(status, "capture", code.value)
        if status != OK:
            raise VaskelError(status, "wait")
        return True

    @property
    def consumer_state(self) -> int:
        """The renderer's state: CONSUMER_NONE, _ATTACHED, _COMPLETED or _FAILED."""
        return int(self._handle.call("consumer_state", _lib().vaskel_producer_consumer_state))

    @property
    def failure_code(self) -> int:
        """The published failure code; 0 while there is none."""
        return int(self._handle.call("failure_code", _lib().vaskel_producer_failure_code))

    def _check(self, what: str, function: Callable[..., int], *arguments: Any) -> None:
        status = self._handle.call(what, function, *arguments)
        if status != OK:
            raise VaskelError(status, what)
