//! Feeds `vaskel_renderer` from Rust: the vaskel producer library's C interface
//! (`vaskel/producer.h`) in [`ffi`], and a safe [`Producer`] over it.
//!
//! ```no_run
//! use std::time::Duration;
//! use vaskel::{Config, Producer};
//!
//! let config = Config { stream_count: 2, channel_count: 2, logical_end_frame: 48000, ..Config::default() };
//! let mut producer = Producer::create("my-render", &config)?;
//! let samples = vec![0.0f32; 48000 * 2];
//! for stream in 0..2 {
//!     producer.write(stream, &samples, Duration::from_secs(1))?; // per stream, in order
//! }
//! for stream in 0..2 {
//!     producer.close_stream(stream)?;
//! }
//! producer.wait(Duration::from_secs(60))?; // Ok: every file is complete
//! # Ok::<(), vaskel::Error>(())
//! ```
//!
//! Dropping the producer destroys it: the region is unmapped and its name removed.

use std::ffi::{CStr, CString};
use std::fmt;
use std::os::raw::c_char;
use std::ptr;
use std::time::Duration;

/// The C interface, as declared in `vaskel/producer.h`.
pub mod ffi {
    use std::os::raw::{c_char, c_int};

    pub const VASKEL_OK: c_int = 0;
    pub const VASKEL_ERROR_NULL_ARGUMENT: c_int = -1;
    pub const VASKEL_ERROR_INVALID_CONFIG: c_int = -2;
    pub const VASKEL_ERROR_INVALID_NAME: c_int = -3;
    pub const VASKEL_ERROR_NAME_TOO_LONG: c_int = -4;
    pub const VASKEL_ERROR_NAME_TAKEN: c_int = -5;
    pub const VASKEL_ERROR_SYSTEM: c_int = -6;
    pub const VASKEL_ERROR_STREAM_RANGE: c_int = -7;
    pub const VASKEL_ERROR_STREAM_CLOSED: c_int = -8;
    pub const VASKEL_ERROR_TIMEOUT: c_int = -9;
    pub const VASKEL_ERROR_CAPTURE_FAILED: c_int = -10;
    pub const VASKEL_ERROR_INVALID_FAILURE_CODE: c_int = -11;

    pub const VASKEL_MAX_NAME_BYTES: usize = 200;

    pub const VASKEL_FAILURE_NONE: u32 = 0;
    pub const VASKEL_FAILURE_PROTOCOL_MISMATCH: u32 = 1;
    pub const VASKEL_FAILURE_OVERFLOW: u32 = 2;
    pub const VASKEL_FAILURE_GAP: u32 = 3;
    pub const VASKEL_FAILURE_DUPLICATE_OR_OUT_OF_ORDER: u32 = 4;
    pub const VASKEL_FAILURE_LOGICAL_RANGE_MISMATCH: u32 = 5;
    pub const VASKEL_FAILURE_PRODUCER_ABORT: u32 = 6;
    pub const VASKEL_FAILURE_WRITER_FAILURE: u32 = 7;

    pub const VASKEL_CONSUMER_NONE: u32 = 0;
    pub const VASKEL_CONSUMER_ATTACHED: u32 = 1;
    pub const VASKEL_CONSUMER_COMPLETED: u32 = 2;
    pub const VASKEL_CONSUMER_FAILED: u32 = 3;

    /// Opaque: only ever behind a pointer.
    #[repr(C)]
    pub struct vaskel_producer {
        _private: [u8; 0],
    }

    #[repr(C)]
    #[derive(Clone, Copy, Debug, Default, PartialEq, Eq)]
    pub struct vaskel_config {
        pub stream_count: u32,
        pub slots_per_stream: u32,
        pub frames_per_chunk: u32,
        pub channel_count: u32,
        pub sample_rate: u32,
        pub logical_start_frame: u64,
        pub logical_end_frame: u64,
    }

    extern "C" {
        pub fn vaskel_producer_create(
            name: *const c_char,
            config: *const vaskel_config,
            out: *mut *mut vaskel_producer,
        ) -> c_int;
        pub fn vaskel_producer_write(
            p: *mut vaskel_producer,
            stream: u32,
            interleaved: *const f32,
            frames: u64,
            timeout_ms: u32,
            frames_written: *mut u64,
        ) -> c_int;
        pub fn vaskel_producer_close_stream(p: *mut vaskel_producer, stream: u32) -> c_int;
        pub fn vaskel_producer_abort_stream(p: *mut vaskel_producer, stream: u32) -> c_int;
        pub fn vaskel_producer_fail(p: *mut vaskel_producer, failure_code: u32) -> c_int;
        pub fn vaskel_producer_wait(
            p: *mut vaskel_producer,
            timeout_ms: u32,
            failure_code: *mut u32,
        ) -> c_int;
        pub fn vaskel_producer_consumer_state(p: *const vaskel_producer) -> u32;
        pub fn vaskel_producer_failure_code(p: *const vaskel_producer) -> u32;
        pub fn vaskel_producer_destroy(p: *mut vaskel_producer);
        pub fn vaskel_status_text(status: c_int) -> *const c_char;
        pub fn vaskel_failure_name(failure_code: u32) -> *const c_char;
        pub fn vaskel_version() -> *const c_char;
    }
}

/// The region's shape: 1..=128 streams, 1..=64 slots per stream, 1..=2048 frames per chunk,
/// 1 or 2 channels. `logical_end_frame` 0 declares no end; otherwise every stream must deliver
/// exactly `logical_end_frame - logical_start_frame` frames.
pub type Config = ffi::vaskel_config;

/// What went wrong, with the library's status.
#[derive(Clone, Debug, PartialEq, Eq)]
pub enum Error {
    /// The ring stayed full (write: `frames_written` frames, whole chunks, went out first;
    /// write the rest later), or no verdict came in time (wait: `frames_written` is 0).
    Timeout { frames_written: u64 },
    /// A failure code is published by either side; nothing more goes out.
    CaptureFailed { failure_code: u32 },
    /// The slice does not hold whole frames: nothing was written.
    PartialFrame { samples: usize, channels: u32 },
    /// Any other status of the C interface.
    Status(i32),
}

impl Error {
    /// The C interface's status (`ffi::VASKEL_ERROR_*`); none for `PartialFrame`, which is
    /// refused before the library is called.
    pub fn status(&self) -> Option<i32> {
        match *self {
            Error::Timeout { .. } => Some(ffi::VASKEL_ERROR_TIMEOUT),
            Error::CaptureFailed { .. } => Some(ffi::VASKEL_ERROR_CAPTURE_FAILED),
            Error::PartialFrame { .. } => None,
            Error::Status(status) => Some(status),
        }
    }

    /// The failure's name as the renderer prints it ("overflow", "producer_abort", ...) for
    /// `CaptureFailed`.
    pub fn failure_name(&self) -> Option<&'static str> {
        match *self {
            Error::CaptureFailed { failure_code } => Some(failure_name(failure_code)),
            _ => None,
        }
    }
}

impl fmt::Display for Error {
    fn fmt(&self, f: &mut fmt::Formatter<'_>) -> fmt::Result {
        match *self {
            Error::Timeout { .. } => f.write_str(status_text(ffi::VASKEL_ERROR_TIMEOUT)),
            Error::CaptureFailed { failure_code } => write!(
                f,
                "{} ({})",
                status_text(ffi::VASKEL_ERROR_CAPTURE_FAILED),
                failure_name(failure_code)
            ),
            Error::PartialFrame { samples, channels } => {
                write!(
                    f,
                    "{} samples are not whole frames of {} channels",
                    samples, channels
                )
            }
            Error::Status(status) => f.write_str(status_text(status)),
        }
    }
}

impl std::error::Error for Error {}

fn static_text(text: *const c_char) -> &'static str {
    if text.is_null() {
        return "";
    }
    // The library returns constant ASCII strings that live as long as the process.
    unsafe { CStr::from_ptr(text) }.to_str().unwrap_or("")
}

/// An English text for a status; "unknown status" for any other number.
pub fn status_text(status: i32) -> &'static str {
    static_text(unsafe { ffi::vaskel_status_text(status) })
}

/// The name of a failure code as the renderer prints it; "unknown" above 7.
pub fn failure_name(failure_code: u32) -> &'static str {
    static_text(unsafe { ffi::vaskel_failure_name(failure_code) })
}

/// The library's version, "MAJOR.MINOR.PATCH".
pub fn version() -> &'static str {
    static_text(unsafe { ffi::vaskel_version() })
}

// The C interface counts milliseconds in 32 bits: longer waits are clamped, not wrapped.
fn milliseconds(timeout: Duration) -> u32 {
    u32::try_from(timeout.as_millis()).unwrap_or(u32::MAX)
}

fn check(status: i32) -> Result<(), Error> {
    if status == ffi::VASKEL_OK {
        Ok(())
    } else {
        Err(Error::Status(status))
    }
}

/// One region and its streams. `write`, `close_stream` and `abort_stream` take `&mut self`;
/// `fail`, `wait`, `consumer_state` and `failure_code` may run from any thread at once.
pub struct Producer {
    raw: *mut ffi::vaskel_producer,
    channels: u32,
}

// The handle belongs to no thread; the `&self` methods are the ones the library allows from
// any thread, and `&mut self` keeps a stream's writes to one thread at a time.
unsafe impl Send for Producer {}
unsafe impl Sync for Producer {}

impl Producer {
    /// Creates the region `name` (UTF-8, at most 200 bytes) with `config`.
    pub fn create(name: &str, config: &Config) -> Result<Producer, Error> {
        // A NUL is a control character, which the library refuses in a name too.
        let name = CString::new(name).map_err(|_| Error::Status(ffi::VASKEL_ERROR_INVALID_NAME))?;
        let mut raw = ptr::null_mut();
        check(unsafe { ffi::vaskel_producer_create(name.as_ptr(), config, &mut raw) })?;
        Ok(Producer {
            raw,
            channels: config.channel_count,
        })
    }

    /// Publishes interleaved frames (`channel_count` samples each) into `stream`, in order.
    /// Waits up to `timeout` for ring space; with `Duration::ZERO` it never waits, allocates
    /// nothing and makes no system call, so it may run in an audio callback. Returns the frames
    /// written (all of them); `Error::Timeout` tells how many went out when the ring stayed full.
    pub fn write(
        &mut self,
        stream: u32,
        interleaved: &[f32],
        timeout: Duration,
    ) -> Result<u64, Error> {
        let channels = self.channels as usize;
        if channels == 0 || interleaved.len() % channels != 0 {
            // A partial frame would shift every later sample into the wrong channel.
            return Err(Error::PartialFrame {
                samples: interleaved.len(),
                channels: self.channels,
            });
        }
        let frames = (interleaved.len() / channels) as u64;
        let mut written = 0u64;
        let status = unsafe {
            ffi::vaskel_producer_write(
                self.raw,
                stream,
                interleaved.as_ptr(),
                frames,
                milliseconds(timeout),
                &mut written,
            )
        };
        match status {
            ffi::VASKEL_OK => Ok(written),
            ffi::VASKEL_ERROR_TIMEOUT => Err(Error::Timeout {
                frames_written: written,
            }),
            ffi::VASKEL_ERROR_CAPTURE_FAILED => Err(Error::CaptureFailed {
                failure_code: self.failure_code(),
            }),
            other => Err(Error::Status(other)),
        }
    }

    /// Marks the stream finished after its last write.
    pub fn close_stream(&mut self, stream: u32) -> Result<(), Error> {
        check(unsafe { ffi::vaskel_producer_close_stream(self.raw, stream) })
    }

    /// Marks the stream aborted: the renderer stops with "producer_abort".
    pub fn abort_stream(&mut self, stream: u32) -> Result<(), Error> {
        check(unsafe { ffi::vaskel_producer_abort_stream(self.raw, stream) })
    }

    /// Publishes a failure code (not 0); `Error::CaptureFailed` with the code that stays when
    /// one was published before.
    pub fn fail(&self, failure_code: u32) -> Result<(), Error> {
        match unsafe { ffi::vaskel_producer_fail(self.raw, failure_code) } {
            ffi::VASKEL_ERROR_CAPTURE_FAILED => Err(Error::CaptureFailed {
                failure_code: self.failure_code(),
            }),
            status => check(status),
        }
    }

    /// Waits up to `timeout` for the renderer's verdict: `Ok(())` when it completed the capture
    /// (every file is whole), `Error::CaptureFailed` when a failure is published,
    /// `Error::Timeout` when neither happened in time (at once with `Duration::ZERO`).
    pub fn wait(&self, timeout: Duration) -> Result<(), Error> {
        let mut code = 0u32;
        match unsafe { ffi::vaskel_producer_wait(self.raw, milliseconds(timeout), &mut code) } {
            ffi::VASKEL_ERROR_TIMEOUT => Err(Error::Timeout { frames_written: 0 }),
            ffi::VASKEL_ERROR_CAPTURE_FAILED => Err(Error::CaptureFailed { failure_code: code }),
            status => check(status),
        }
    }

    /// The renderer's state (`ffi::VASKEL_CONSUMER_*`).
    pub fn consumer_state(&self) -> u32 {
        unsafe { ffi::vaskel_producer_consumer_state(self.raw) }
    }

    /// The published failure code; 0: none.
    pub fn failure_code(&self) -> u32 {
        unsafe { ffi::vaskel_producer_failure_code(self.raw) }
    }
}

impl Drop for Producer {
    /// Unmaps the region and removes its name: close every stream and wait for the verdict
    /// first.
    fn drop(&mut self) {
        unsafe { ffi::vaskel_producer_destroy(self.raw) }
    }
}
