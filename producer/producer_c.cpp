// The C interface of the producer library, over TransportProducer and its ring writers. Every
// entry point checks its arguments and turns any exception into a status: nothing may unwind
// into a caller written in C, C#, Rust or Python.
#include "platform/time.h"
#include "producer/transport_producer.h"
#include "transport/failure_code.h"
#include "vaskel/producer.h"

#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#ifndef VASKEL_VERSION_STRING
#error "the build defines VASKEL_VERSION_STRING"
#endif

struct vaskel_producer {
    vaskel::producer::TransportProducer region;
    // Per stream, set by close or abort. A stream's byte is touched only by the thread that
    // writes that stream, so neighbouring streams on other threads do not race on it.
    std::vector<std::uint8_t> finished;
};

// The C header spells the shared values out as macros; they must stay the values the library
// writes and reads.
static_assert(VASKEL_FAILURE_NONE == vaskel::code(vaskel::FailureCode::None));
static_assert(VASKEL_FAILURE_PROTOCOL_MISMATCH ==
              vaskel::code(vaskel::FailureCode::ProtocolMismatch));
static_assert(VASKEL_FAILURE_OVERFLOW == vaskel::code(vaskel::FailureCode::Overflow));
static_assert(VASKEL_FAILURE_GAP == vaskel::code(vaskel::FailureCode::Gap));
static_assert(VASKEL_FAILURE_DUPLICATE_OR_OUT_OF_ORDER ==
              vaskel::code(vaskel::FailureCode::DuplicateOrOutOfOrder));
static_assert(VASKEL_FAILURE_LOGICAL_RANGE_MISMATCH ==
              vaskel::code(vaskel::FailureCode::LogicalRangeMismatch));
static_assert(VASKEL_FAILURE_PRODUCER_ABORT == vaskel::code(vaskel::FailureCode::ProducerAbort));
static_assert(VASKEL_FAILURE_WRITER_FAILURE == vaskel::code(vaskel::FailureCode::WriterFailure));
static_assert(VASKEL_CONSUMER_NONE == 0u);
static_assert(VASKEL_CONSUMER_ATTACHED == vaskel::transport::kConsumerAttached);
static_assert(VASKEL_CONSUMER_COMPLETED == vaskel::transport::kConsumerCompleted);
static_assert(VASKEL_CONSUMER_FAILED == vaskel::transport::kConsumerFailed);

namespace {

using namespace vaskel;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isWellFormedUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t code = 0;
        std::uint32_t least = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, code = lead & 0x1Fu, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, code = lead & 0x0Fu, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, code = lead & 0x07u, least = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// The name rules of both platforms at once, so a name that works on one works on the other:
// no separator of either ('/' ends a POSIX object name, '\' picks a Windows namespace), no
// control character, and not "." or "..".
int checkName(const char* name, platform::NativeString& native) {
    const std::size_t length = std::strlen(name);
    if (length > VASKEL_MAX_NAME_BYTES) {
        return VASKEL_ERROR_NAME_TOO_LONG;
    }
    const std::string_view text(name, length);
    // "." and ".." name no object of their own: POSIX reads them as the directory of all regions.
    if (text.empty() || text == "." || text == ".." || !isWellFormedUtf8(text)) {
        return VASKEL_ERROR_INVALID_NAME;
    }
    for (const char c : text) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return VASKEL_ERROR_INVALID_NAME;
        }
    }
    platform::ErrorOr<platform::NativeString> converted = platform::nativeFromUtf8(text);
    if (!converted) {
        return VASKEL_ERROR_INVALID_NAME;
    }
    native = std::move(*converted);
    return VASKEL_OK;
}

transport::TransportConfig transportConfig(const vaskel_config& config) {
    transport::TransportConfig out{};
    out.streamCount = config.stream_count;
    out.slotsPerStream = config.slots_per_stream;
    out.framesPerChunk = config.frames_per_chunk;
    out.channelCount = config.channel_count;
    out.sampleRate = config.sample_rate;
    out.logicalStartFrame = config.logical_start_frame;
    out.logicalEndFrame = config.logical_end_frame;
    return out;
}

// The common checks of the calls that name a stream.
int checkStream(const vaskel_producer* p, std::uint32_t stream) {
    if (p == nullptr) {
        return VASKEL_ERROR_NULL_ARGUMENT;
    }
    if (stream >= p->region.config().streamCount) {
        return VASKEL_ERROR_STREAM_RANGE;
    }
    return p->finished[stream] != 0 ? VASKEL_ERROR_STREAM_CLOSED : VASKEL_OK;
}

// A wait of at most `timeoutMs`, its deadline set only once waiting has begun: a call that never
// has to wait never reads the clock.
class TimedWait {
public:
    explicit TimedWait(std::uint32_t timeoutMs) : timeoutMs_(timeoutMs) {}

    // True while time is left; the first call starts the clock.
    bool timeLeft() {
        if (timeoutMs_ == 0) {
            return false;
        }
        if (!started_) {
            started_ = true;
            deadline_ = platform::Deadline::after(std::int64_t{timeoutMs_} * 1000000);
            return true;
        }
        return !deadline_.expired();
    }

    // Waits a little: a few yields first, so a ring the renderer drains promptly costs no
    // sleep, then a millisecond at a time.
    void pause() {
        if (++pauses_ < 64) {
            platform::yieldThread();
        } else {
            platform::sleepMilliseconds(1);
        }
    }

private:
    std::uint32_t timeoutMs_;
    bool started_ = false;
    platform::Deadline deadline_ = platform::Deadline::at(0);
    std::uint32_t pauses_ = 0;
};

int createProducer(const char* name, const vaskel_config* config, vaskel_producer** out) {
    if (name == nullptr || config == nullptr || out == nullptr) {
        return VASKEL_ERROR_NULL_ARGUMENT;
    }
    platform::NativeString native;
    if (const int status = checkName(name, native); status != VASKEL_OK) {
        return status;
    }
    const transport::TransportConfig wanted = transportConfig(*config);
    if (!transport::isValidConfig(wanted)) {
        return VASKEL_ERROR_INVALID_CONFIG;
    }
    auto made = std::make_unique<vaskel_producer>();
    made->finished.assign(wanted.streamCount, 0);
    if (!made->region.create(native, wanted)) {
        return made->region.createError() == producer::CreateError::NameTaken
                   ? VASKEL_ERROR_NAME_TAKEN
                   : VASKEL_ERROR_SYSTEM;
    }
    *out = made.release();
    return VASKEL_OK;
}

// The real-time path: with timeout 0 it only copies into slots and touches atomics.
int writeFrames(vaskel_producer* p, std::uint32_t stream, const float* interleaved,
                std::uint64_t frames, std::uint32_t timeoutMs, std::uint64_t* framesWritten) {
    // Set first, so a caller that only looks at the count never reads an old one.
    if (framesWritten != nullptr) {
        *framesWritten = 0;
    }
    if (const int status = checkStream(p, stream); status != VASKEL_OK) {
        return status;
    }
    if (interleaved == nullptr && frames != 0) {
        return VASKEL_ERROR_NULL_ARGUMENT;
    }
    const transport::TransportConfig& config = p->region.config();
    transport::TransportHeader& header = p->region.header();
    transport::RingWriter& writer = p->region.writer(stream);
    TimedWait wait(timeoutMs);
    std::uint64_t done = 0;
    int status = VASKEL_OK;
    while (done < frames) {
        // Checked before every chunk: once either side has failed, nothing more goes out.
        if (transport::loadFailureCode(header) != 0) {
            status = VASKEL_ERROR_CAPTURE_FAILED;
            break;
        }
        const std::uint64_t left = frames - done;
        const auto chunk =
            static_cast<std::uint32_t>(left < config.framesPerChunk ? left : config.framesPerChunk);
        if (writer.tryPublish(interleaved + done * config.channelCount, chunk)) {
            done += chunk;
            continue;
        }
        if (!wait.timeLeft()) {
            status = VASKEL_ERROR_TIMEOUT;
            break;
        }
        wait.pause();
    }
    if (framesWritten != nullptr) {
        *framesWritten = done;
    }
    return status;
}

int finishStream(vaskel_producer* p, std::uint32_t stream, bool aborted) {
    if (const int status = checkStream(p, stream); status != VASKEL_OK) {
        return status;
    }
    p->finished[stream] = 1;
    if (aborted) {
        p->region.writer(stream).abort();
    } else {
        p->region.writer(stream).close();
    }
    return VASKEL_OK;
}

int waitForVerdict(vaskel_producer* p, std::uint32_t timeoutMs, std::uint32_t* failureCode) {
    if (p == nullptr) {
        return VASKEL_ERROR_NULL_ARGUMENT;
    }
    TimedWait wait(timeoutMs);
    for (;;) {
        // Completion first: once the renderer has finished every file, a failure published
        // afterwards changes nothing that was written.
        const std::uint32_t state = p->region.consumerState();
        const std::uint32_t code = p->region.failureCode();
        if (failureCode != nullptr) {
            *failureCode = state == transport::kConsumerCompleted ? 0 : code;
        }
        if (state == transport::kConsumerCompleted) {
            return VASKEL_OK;
        }
        if (code != 0) {
            return VASKEL_ERROR_CAPTURE_FAILED;
        }
        if (!wait.timeLeft()) {
            return VASKEL_ERROR_TIMEOUT;
        }
        wait.pause();
    }
}

} // namespace

extern "C" {

int vaskel_producer_create(const char* name, const vaskel_config* config, vaskel_producer** out) {
    try {
        return createProducer(name, config, out);
    } catch (...) {
        return VASKEL_ERROR_SYSTEM;
    }
}

int vaskel_producer_write(vaskel_producer* p, uint32_t stream, const float* interleaved,
                          uint64_t frames, uint32_t timeout_ms, uint64_t* frames_written) {
    // Nothing on this path throws; the guard keeps it that way for whoever changes it.
    try {
        return writeFrames(p, stream, interleaved, frames, timeout_ms, frames_written);
    } catch (...) {
        return VASKEL_ERROR_SYSTEM;
    }
}

int vaskel_producer_close_stream(vaskel_producer* p, uint32_t stream) {
    return finishStream(p, stream, false);
}

int vaskel_producer_abort_stream(vaskel_producer* p, uint32_t stream) {
    return finishStream(p, stream, true);
}

int vaskel_producer_fail(vaskel_producer* p, uint32_t failure_code) {
    if (p == nullptr) {
        return VASKEL_ERROR_NULL_ARGUMENT;
    }
    if (failure_code == 0) {
        return VASKEL_ERROR_INVALID_FAILURE_CODE;
    }
    return p->region.publishFailure(failure_code) ? VASKEL_OK : VASKEL_ERROR_CAPTURE_FAILED;
}

int vaskel_producer_wait(vaskel_producer* p, uint32_t timeout_ms, uint32_t* failure_code) {
    try {
        return waitForVerdict(p, timeout_ms, failure_code);
    } catch (...) {
        return VASKEL_ERROR_SYSTEM;
    }
}

uint32_t vaskel_producer_consumer_state(const vaskel_producer* p) {
    return p == nullptr ? 0 : p->region.consumerState();
}

uint32_t vaskel_producer_failure_code(const vaskel_producer* p) {
    return p == nullptr ? 0 : p->region.failureCode();
}

void vaskel_producer_destroy(vaskel_producer* p) {
    delete p;
}

const char* vaskel_status_text(int status) {
    switch (status) {
    case VASKEL_OK:
        return "success";
    case VASKEL_ERROR_NULL_ARGUMENT:
        return "a required pointer is NULL";
    case VASKEL_ERROR_INVALID_CONFIG:
        return "the configuration is out of bounds";
    case VASKEL_ERROR_INVALID_NAME:
        return "the region name is empty, not UTF-8 or holds a character not allowed";
    case VASKEL_ERROR_NAME_TOO_LONG:
        return "the region name is too long";
    case VASKEL_ERROR_NAME_TAKEN:
        return "a region of that name exists already";
    case VASKEL_ERROR_SYSTEM:
        return "the operating system refused the region";
    case VASKEL_ERROR_STREAM_RANGE:
        return "the stream index is out of range";
    case VASKEL_ERROR_STREAM_CLOSED:
        return "the stream is closed or aborted";
    case VASKEL_ERROR_TIMEOUT:
        return "the time ran out";
    case VASKEL_ERROR_CAPTURE_FAILED:
        return "the capture failed";
    case VASKEL_ERROR_INVALID_FAILURE_CODE:
        return "failure code 0 cannot be published";
    default:
        return "unknown status";
    }
}

const char* vaskel_failure_name(uint32_t failure_code) {
    return failureCodeName(failure_code);
}

const char* vaskel_version(void) {
    return VASKEL_VERSION_STRING;
}

} // extern "C"
