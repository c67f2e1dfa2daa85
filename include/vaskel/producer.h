/*
 * vaskel producer library: the C interface.
 *
 * A producer creates a named shared-memory region, publishes the audio of each stream into it
 * and closes its streams; vaskel_renderer, attached to the same name, writes one WAV file per
 * stream. This header is C99 and C++ alike; every name in it starts with vaskel_ / VASKEL_.
 *
 *     vaskel_config config = {0};
 *     config.stream_count = 2; config.slots_per_stream = 16; config.frames_per_chunk = 1024;
 *     config.channel_count = 2; config.sample_rate = 48000;
 *     vaskel_producer* p = NULL;
 *     if (vaskel_producer_create("my-render", &config, &p) != VASKEL_OK) { ... }
 *     uint64_t written = 0;
 *     vaskel_producer_write(p, 0, samples, frames, 1000, &written);   (per stream, in order)
 *     vaskel_producer_close_stream(p, 0); ...
 *     uint32_t code = 0;
 *     vaskel_producer_wait(p, 60000, &code);    (VASKEL_OK: every file is complete)
 *     vaskel_producer_destroy(p);
 *
 * Threads: one thread may write a given stream (write, close_stream and abort_stream of that
 * stream); different streams may be written from different threads at the same time. fail,
 * wait, consumer_state and failure_code may be called from any thread. create and destroy must
 * not overlap any other call on the same producer.
 *
 * Real time: vaskel_producer_write with timeout_ms 0 never waits, never allocates, takes no lock
 * and makes no system call, so it may be called from an audio callback.
 *
 * Names are UTF-8 on every platform (converted to UTF-16 on Windows). Every function checks its
 * arguments and returns a status; none of them ever aborts the process.
 */
#ifndef VASKEL_PRODUCER_H
#define VASKEL_PRODUCER_H

#include <stdint.h>

#include <vaskel/version.h> /* VASKEL_VERSION_MAJOR, _MINOR, _PATCH, _STRING */

#if defined(_WIN32)
#if defined(VASKEL_PRODUCER_BUILDING)
#define VASKEL_API __declspec(dllexport)
#elif defined(VASKEL_PRODUCER_SHARED)
#define VASKEL_API __declspec(dllimport)
#else
#define VASKEL_API
#endif
#elif defined(__GNUC__)
#define VASKEL_API __attribute__((visibility("default")))
#else
#define VASKEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses: 0 is success, every failure a distinct negative number. */
typedef enum vaskel_status {
    VASKEL_OK = 0,
    VASKEL_ERROR_NULL_ARGUMENT = -1,   /* a required pointer is NULL */
    VASKEL_ERROR_INVALID_CONFIG = -2,  /* the configuration is outside the transport's bounds */
    VASKEL_ERROR_INVALID_NAME = -3,    /* empty, not UTF-8, or holds a character the platform
                                          does not allow in a region name */
    VASKEL_ERROR_NAME_TOO_LONG = -4,   /* longer than VASKEL_MAX_NAME_BYTES */
    VASKEL_ERROR_NAME_TAKEN = -5,      /* a region of that name exists already */
    VASKEL_ERROR_SYSTEM = -6,          /* the operating system refused the region */
    VASKEL_ERROR_STREAM_RANGE = -7,    /* stream index >= stream_count */
    VASKEL_ERROR_STREAM_CLOSED = -8,   /* the stream was closed or aborted before */
    VASKEL_ERROR_TIMEOUT = -9,         /* the time ran out: write published only part (see
                                          frames_written), wait saw no outcome yet */
    VASKEL_ERROR_CAPTURE_FAILED = -10, /* a failure code is published; nothing more goes out */
    VASKEL_ERROR_INVALID_FAILURE_CODE = -11 /* vaskel_producer_fail with code 0 */
} vaskel_status;

/* Longest region name, in UTF-8 bytes. */
#define VASKEL_MAX_NAME_BYTES 200

/* The failure codes both sides publish (see vaskel_failure_name). */
#define VASKEL_FAILURE_NONE 0u
#define VASKEL_FAILURE_PROTOCOL_MISMATCH 1u
#define VASKEL_FAILURE_OVERFLOW 2u
#define VASKEL_FAILURE_GAP 3u
#define VASKEL_FAILURE_DUPLICATE_OR_OUT_OF_ORDER 4u
#define VASKEL_FAILURE_LOGICAL_RANGE_MISMATCH 5u
#define VASKEL_FAILURE_PRODUCER_ABORT 6u
#define VASKEL_FAILURE_WRITER_FAILURE 7u

/* The renderer's state as the producer sees it (vaskel_producer_consumer_state). */
#define VASKEL_CONSUMER_NONE 0u /* no renderer attached yet */
#define VASKEL_CONSUMER_ATTACHED 1u
#define VASKEL_CONSUMER_COMPLETED 2u /* every stream file is complete */
#define VASKEL_CONSUMER_FAILED 3u

typedef struct vaskel_producer vaskel_producer;

typedef struct vaskel_config {
    uint32_t stream_count;        /* 1 .. 128 */
    uint32_t slots_per_stream;    /* 1 .. 64: chunks a ring holds */
    uint32_t frames_per_chunk;    /* 1 .. 2048: the largest chunk */
    uint32_t channel_count;       /* 1 or 2 */
    uint32_t sample_rate;         /* at least 1 */
    uint64_t logical_start_frame; /* where every stream begins */
    uint64_t logical_end_frame;   /* exclusive end every stream must reach; 0: none declared
                                     (then logical_start_frame must be 0 too) */
} vaskel_config;

/* Creates the region `name` with `config` and makes it ready for the renderer. On success *out
   holds the producer; on failure *out is left unchanged and nothing was created.
   VASKEL_ERROR_NULL_ARGUMENT, _INVALID_NAME ('/', '\', control characters, malformed UTF-8 and
   the names "." and ".." are refused on every platform), _NAME_TOO_LONG, _INVALID_CONFIG,
   _NAME_TAKEN, _SYSTEM. */
VASKEL_API int vaskel_producer_create(const char* name, const vaskel_config* config,
                                      vaskel_producer** out);

/* Publishes `frames` interleaved frames (channel_count floats each) into `stream`, cut into
   chunks of at most frames_per_chunk, in order. Waits for ring space for up to timeout_ms in
   all; with 0 it never waits (real-time safe, see above). VASKEL_OK when every frame went out;
   VASKEL_ERROR_TIMEOUT when only part did; VASKEL_ERROR_CAPTURE_FAILED, at once and with
   nothing published, once either side has published a failure code. frames_written (may be
   NULL) receives the frames published by this call, always whole chunks. frames 0 is a no-op
   (interleaved may then be NULL). The failure code is checked before every chunk, so a failure
   published while a write waits ends it with VASKEL_ERROR_CAPTURE_FAILED. Only a call that has
   to wait (timeout_ms > 0 and a full ring) reads the clock.
   Also VASKEL_ERROR_NULL_ARGUMENT, _STREAM_RANGE, _STREAM_CLOSED, with nothing published. */
VASKEL_API int vaskel_producer_write(vaskel_producer* p, uint32_t stream, const float* interleaved,
                                     uint64_t frames, uint32_t timeout_ms,
                                     uint64_t* frames_written);

/* Marks the stream finished after its last write; no further write, close or abort of it is
   accepted (VASKEL_ERROR_STREAM_CLOSED). Also VASKEL_ERROR_NULL_ARGUMENT, _STREAM_RANGE. */
VASKEL_API int vaskel_producer_close_stream(vaskel_producer* p, uint32_t stream);

/* Marks the stream aborted: the renderer stops with "producer_abort". Statuses as for
   vaskel_producer_close_stream. */
VASKEL_API int vaskel_producer_abort_stream(vaskel_producer* p, uint32_t stream);

/* Publishes a failure code (not 0) unless one is published already; the first code stays.
   VASKEL_OK when this call published it, VASKEL_ERROR_CAPTURE_FAILED when a code was there
   already, VASKEL_ERROR_INVALID_FAILURE_CODE for 0, VASKEL_ERROR_NULL_ARGUMENT. */
VASKEL_API int vaskel_producer_fail(vaskel_producer* p, uint32_t failure_code);

/* Waits up to timeout_ms for the renderer's verdict: VASKEL_OK when it completed the capture,
   VASKEL_ERROR_CAPTURE_FAILED with *failure_code set (may be NULL) when a failure is published,
   VASKEL_ERROR_TIMEOUT otherwise (at once with timeout_ms 0). *failure_code is 0 unless the
   status is VASKEL_ERROR_CAPTURE_FAILED. A completed capture stays VASKEL_OK even if a failure
   is published afterwards: its files are whole. */
VASKEL_API int vaskel_producer_wait(vaskel_producer* p, uint32_t timeout_ms,
                                    uint32_t* failure_code);

/* The renderer's state (VASKEL_CONSUMER_*) and the published failure code; 0 for NULL. */
VASKEL_API uint32_t vaskel_producer_consumer_state(const vaskel_producer* p);
VASKEL_API uint32_t vaskel_producer_failure_code(const vaskel_producer* p);

/* Unmaps the region and removes its name. NULL is fine. A renderer still attached keeps its
   own view; close every stream and wait for the verdict first. */
VASKEL_API void vaskel_producer_destroy(vaskel_producer* p);

/* A constant English text for a status; "unknown status" for any other number. */
VASKEL_API const char* vaskel_status_text(int status);

/* The name of a failure code as the renderer prints it: "none", "protocol_mismatch", ...,
   "writer_failure"; "unknown" above 7. */
VASKEL_API const char* vaskel_failure_name(uint32_t failure_code);

/* The library's version, "MAJOR.MINOR.PATCH": the VASKEL_VERSION_STRING the library was built
   with, which may differ from the one of the header a program was compiled with. */
VASKEL_API const char* vaskel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VASKEL_PRODUCER_H */
