/*
 * A producer in plain C99 over the vaskel C interface: it publishes a tone per stream into the
 * region <region-name>, closes its streams, waits for the renderer's verdict and removes the
 * region. Start vaskel_renderer with the same name, before or after this program:
 *
 *     tone_producer my-render 4 96000 &
 *     vaskel_renderer my-render /tmp/my-render
 *
 * The tone is a triangle wave computed in integers, so every sample is an exact float that any
 * checker can recompute bit for bit: stream s at 220 + 110 * (s mod 16) Hz, channel 0 at
 * amplitude 0.5, channel 1 at 0.25. Ctrl-C aborts the streams, so the renderer stops at once
 * with "producer_abort", and still removes the region.
 *
 * Exit codes: 0 the renderer completed the capture, 1 an error (message on stderr), 4 the
 * capture failed (the failure's name on stderr), 130 interrupted.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <vaskel/producer.h>

enum {
    kChannels = 2,
    kSampleRate = 48000,
    kFramesPerWrite = 4800, /* 100 ms of every stream per round */
    kWaitStepMs = 100,      /* how often a wait looks at Ctrl-C */
    kPatienceSteps = 300    /* 30 s without progress: the renderer is not coming */
};

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int signal_number) {
    (void)signal_number;
    interrupted = 1;
}

/* The sample of (stream, frame, channel); see the comment at the top. */
static float tone_sample(uint32_t stream, uint64_t frame, uint32_t channel) {
    const uint64_t frequency = 220u + 110u * (stream % 16u);
    const uint64_t phase = (frame * frequency) % kSampleRate * 65536u / kSampleRate; /* 0..65535 */
    const long level = phase < 32768u ? (long)phase - 16384 : 49151 - (long)phase;
    return (float)level / (channel == 0 ? 32768.0f : 65536.0f);
}

static int fail_with(const char* what, int status) {
    fprintf(stderr, "tone_producer: %s: %s\n", what, vaskel_status_text(status));
    return 1;
}

/* Writes all `frames` of one stream, a timeout step at a time, so Ctrl-C is seen within 100 ms
   while the ring is full. */
static int write_all(vaskel_producer* producer, uint32_t stream, const float* samples,
                     uint64_t frames) {
    int idle_steps = 0;
    while (frames > 0 && !interrupted) {
        uint64_t written = 0;
        const int status =
            vaskel_producer_write(producer, stream, samples, frames, kWaitStepMs, &written);
        samples += written * kChannels;
        frames -= written;
        if (status == VASKEL_OK) {
            return VASKEL_OK;
        }
        if (status != VASKEL_ERROR_TIMEOUT) {
            return status;
        }
        idle_steps = written > 0 ? 0 : idle_steps + 1;
        if (idle_steps == kPatienceSteps) {
            return VASKEL_ERROR_TIMEOUT;
        }
    }
    return VASKEL_OK;
}

int main(int argc, char** argv) {
    static float samples[kFramesPerWrite * kChannels];
    vaskel_config config = {0};
    vaskel_producer* producer = NULL;
    uint64_t frames;
    uint64_t first;
    uint32_t stream;
    uint32_t failure_code = 0;
    int status = VASKEL_OK;
    int steps;

    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: tone_producer <region-name> [streams (2)] [frames (48000)]\n");
        return 1;
    }
    config.stream_count = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 2u;
    frames = argc > 3 ? (uint64_t)strtoull(argv[3], NULL, 10) : 48000u;
    config.slots_per_stream = 16;
    config.frames_per_chunk = 1024;
    config.channel_count = kChannels;
    config.sample_rate = kSampleRate;
    config.logical_start_frame = 0;
    config.logical_end_frame = frames; /* the renderer checks every stream reaches it */

    status = vaskel_producer_create(argv[1], &config, &producer);
    if (status != VASKEL_OK) {
        return fail_with("cannot create the region", status);
    }
    signal(SIGINT, on_interrupt);

    /* Round by round, every stream gets its next 100 ms. */
    for (first = 0; first < frames && status == VASKEL_OK && !interrupted;
         first += kFramesPerWrite) {
        const uint64_t count = frames - first < kFramesPerWrite ? frames - first : kFramesPerWrite;
        for (stream = 0; stream < config.stream_count && status == VASKEL_OK; ++stream) {
            uint64_t i;
            for (i = 0; i < count * kChannels; ++i) {
                samples[i] = tone_sample(stream, first + i / kChannels, (uint32_t)(i % kChannels));
            }
            status = write_all(producer, stream, samples, count);
        }
    }

    if (interrupted) {
        /* Aborting tells the renderer to stop now rather than wait for its idle timeout. */
        for (stream = 0; stream < config.stream_count; ++stream) {
            vaskel_producer_abort_stream(producer, stream);
        }
        vaskel_producer_destroy(producer);
        fprintf(stderr, "tone_producer: interrupted; the streams were aborted\n");
        return 130;
    }
    if (status != VASKEL_OK && status != VASKEL_ERROR_CAPTURE_FAILED) {
        vaskel_producer_destroy(producer);
        return fail_with("write", status);
    }

    for (stream = 0; stream < config.stream_count; ++stream) {
        vaskel_producer_close_stream(producer, stream); /* after its last write */
    }
    /* The verdict: completed (every file is whole), or a failure code from either side. */
    status = VASKEL_ERROR_TIMEOUT;
    for (steps = 0; status == VASKEL_ERROR_TIMEOUT && steps < kPatienceSteps && !interrupted;
         ++steps) {
        status = vaskel_producer_wait(producer, kWaitStepMs, &failure_code);
    }
    vaskel_producer_destroy(producer);

    if (status == VASKEL_OK) {
        printf("capture complete: %u streams of %llu frames\n", (unsigned)config.stream_count,
               (unsigned long long)frames);
        return 0;
    }
    if (status == VASKEL_ERROR_CAPTURE_FAILED) {
        fprintf(stderr, "%s\n", vaskel_failure_name(failure_code));
        return 4;
    }
    if (interrupted) {
        return 130;
    }
    return fail_with("no verdict from the renderer", status);
}
