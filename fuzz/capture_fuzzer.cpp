// Fuzzes the capture against a producer that the input scripts: the input picks a valid
// configuration, the region is made with the producer library and attached like the renderer
// does, and the rest of the input is a list of operations on the region (honest and dishonest
// chunks, raw writes anywhere in the header, control blocks and slots, wild ring indices, stream
// states, failure codes), run one per step of the capture through its hooks. A fake clock that
// moves a millisecond per reading ends every stalled run after a few dozen passes.
//
// Besides the sanitizers, every run is checked against what the renderer may do:
// - it writes nothing in the region but readIndex, consumerState and failureCode (a shadow copy
//   of every byte the script wrote is compared at the end);
// - it moves readIndex only forward over the chunks it consumed, at most 16 a stream at a time,
//   and what reaches a stream file is exactly the payloads of those slots, as they were when it
//   read them;
// - the result agrees with itself and with the files, which hold exactly the streams of the
//   validated configuration.
// Guard pages right after and before the renderer's view, where the address space allows, make
// any read past the view fault.
//
// Input: [streams-1][slots-1][framesPerChunk-1 u16][channels-1][sampleRate u32][flags]
//        [logicalStartFrame u64][span u16][idle ms][operations before the capture] operations...
// Multi-byte numbers are little-endian; a short input reads as zeros.
#include "capture/capture_loop.h"
#include "fuzz_check.h"
#include "output/output_paths.h"
#include "output/wav_format.h"
#include "platform/file.h"
#include "producer/transport_producer.h"
#include "test_platform.h"
#include "transport/transport_mapping.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace vaskel;
using namespace vaskel::transport;

// The most chunks the capture takes from one stream in one visit.
constexpr std::uint64_t kMaxChunksAVisit = 16;

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint64_t take(int bytes) {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const std::uint64_t byte = at_ < size_ ? data_[at_] : 0;
            ++at_;
            value |= byte << (8 * i);
        }
        return value;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    std::uint64_t u64() { return take(8); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

enum Op : std::uint8_t {
    kPublish,       // stream, frames u16, tweak, argument u64: one chunk, maybe wrong
    kPublishRound,  // one honest full chunk into every ring that has room
    kClose,         // stream
    kAbort,         // stream
    kRawWrite,      // offset u32, length (1..16), bytes: anywhere in the region
    kSetWriteIndex, // stream, value u64
    kSetReadIndex,  // stream, value u64
    kFailure,       // code u32
    kCloseAll,
    kClockJump, // milliseconds u16
    kOpCount
};

struct StreamCursor {
    std::uint64_t sequence = 0;
    std::uint64_t nextFrame = 0;
};

// One run: the region, its shadow and the script.
struct Run {
    Reader* input = nullptr;
    producer::TransportProducer* producer = nullptr;
    TransportConfig config{};
    std::uint64_t size = 0;
    std::vector<std::uint8_t> shadow;          // every byte as the script left it
    std::vector<StreamCursor> cursors;         // the script's own idea of each stream
    std::vector<std::uint64_t> knownReadIndex; // readIndex as last seen
    std::vector<std::string> expectedData;     // payloads the renderer consumed, per stream
    std::vector<std::uint64_t> consumedChunks;
    std::int64_t clock = 0;

    std::byte* view() const { return producer->view(); }

    void put(std::uint64_t offset, const void* bytes, std::size_t length) {
        if (length == 0) {
            return;
        }
        FUZZ_CHECK(offset + length <= size);
        std::memcpy(view() + offset, bytes, length);
        std::memcpy(shadow.data() + offset, bytes, length);
    }
    template <typename T> void putValue(std::uint64_t offset, T value) {
        put(offset, &value, sizeof value);
    }

    std::uint64_t readIndexNow(std::uint32_t stream) const {
        return loadReadIndex(controlBlockAt(view(), stream));
    }

    // The renderer has moved readIndex since the last look: it consumed the chunks from the old
    // position on, at most a visit's worth, and their slots are untouched since (no step ran in
    // between).
    void observeConsumption() {
        for (std::uint32_t s = 0; s < config.streamCount; ++s) {
            const std::uint64_t now = readIndexNow(s);
            FUZZ_CHECK(now - knownReadIndex[s] <= kMaxChunksAVisit);
            for (; knownReadIndex[s] != now; ++knownReadIndex[s]) {
                const std::uint64_t slot = slotOffset(config, s, knownReadIndex[s]);
                ChunkHeader header;
                std::memcpy(&header, shadow.data() + slot, sizeof header);
                FUZZ_CHECK(header.frameCount >= 1 && header.frameCount <= config.framesPerChunk);
                const std::size_t bytes = std::size_t{header.frameCount} * config.channelCount * 4;
                expectedData[s].append(
                    reinterpret_cast<const char*>(shadow.data() + slot + kChunkHeaderSize), bytes);
                ++consumedChunks[s];
            }
        }
    }

    void refreshReadIndices() {
        for (std::uint32_t s = 0; s < config.streamCount; ++s) {
            knownReadIndex[s] = readIndexNow(s);
        }
    }

    std::uint32_t stream() { return input->u8() % config.streamCount; }

    void publish(std::uint32_t s, std::uint32_t frames, std::uint8_t tweak, std::uint64_t arg) {
        StreamControlBlock& block = controlBlockAt(view(), s);
        const std::uint64_t w = loadWriteIndex(block);
        ChunkHeader header{s,
                           frames,
                           config.channelCount,
                           kBitsPerSample,
                           cursors[s].sequence,
                           cursors[s].nextFrame};
        // Tweaks 1-4 set a 32-bit field to `arg`, 5-6 move a 64-bit one on by it, 0 and 7 leave
        // the header as it should be.
        constexpr std::uint32_t ChunkHeader::*kSet[] = {
            &ChunkHeader::streamId, &ChunkHeader::frameCount, &ChunkHeader::channelCount,
            &ChunkHeader::bitsPerSample};
        constexpr std::uint64_t ChunkHeader::*kMoved[] = {&ChunkHeader::sequence,
                                                          &ChunkHeader::firstFrame};
        const unsigned which = tweak % 8;
        if (which >= 1 && which <= 4) {
            header.*kSet[which - 1] = static_cast<std::uint32_t>(arg);
        } else if (which == 5 || which == 6) {
            header.*kMoved[which - 5] += arg;
        }
        const std::uint64_t slot = slotOffset(config, s, w);
        put(slot, &header, sizeof header);
        // Payload bytes that differ per chunk and stream, up to what the header claims.
        const std::uint64_t claimed = std::min<std::uint64_t>(
            std::uint64_t{header.frameCount} * config.channelCount * 4, kPayloadSize);
        std::vector<std::uint8_t> payload(static_cast<std::size_t>(claimed));
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<std::uint8_t>(i * 31 + header.sequence * 7 + s);
        }
        put(slot + kChunkHeaderSize, payload.data(), payload.size());
        putValue(controlBlockOffset(s) + offsetof(StreamControlBlock, writeIndex), w + 1);
        cursors[s].sequence += 1;
        cursors[s].nextFrame += header.frameCount;
    }

    void setState(std::uint32_t s, std::uint32_t state) {
        putValue(controlBlockOffset(s) + offsetof(StreamControlBlock, streamState), state);
    }

    // Runs one operation of the script, if any is left.
    void step() {
        observeConsumption();
        if (input->done()) {
            return;
        }
        switch (input->u8() % kOpCount) {
        case kPublish: {
            const std::uint32_t s = stream();
            const std::uint32_t frames = 1 + input->u16() % config.framesPerChunk;
            const std::uint8_t tweak = input->u8();
            publish(s, frames, tweak, input->u64());
            break;
        }
        case kPublishRound:
            for (std::uint32_t s = 0; s < config.streamCount; ++s) {
                StreamControlBlock& block = controlBlockAt(view(), s);
                if (loadWriteIndex(block) - loadReadIndex(block) < config.slotsPerStream) {
                    publish(s, config.framesPerChunk, 0, 0);
                }
            }
            break;
        case kClose:
            setState(stream(), kStreamClosed);
            break;
        case kAbort:
            setState(stream(), kStreamAborted);
            break;
        case kRawWrite: {
            const std::uint32_t length = 1 + input->u8() % 16;
            const std::uint64_t offset = input->u32() % (size - length + 1);
            std::uint8_t bytes[16];
            for (std::uint32_t i = 0; i < length; ++i) {
                bytes[i] = input->u8();
            }
            put(offset, bytes, length);
            break;
        }
        case kSetWriteIndex: {
            const std::uint32_t s = stream();
            putValue(controlBlockOffset(s) + offsetof(StreamControlBlock, writeIndex),
                     input->u64());
            break;
        }
        case kSetReadIndex: {
            const std::uint32_t s = stream();
            putValue(controlBlockOffset(s) + offsetof(StreamControlBlock, readIndex), input->u64());
            break;
        }
        case kFailure:
            publishFailureCode(headerAt(view()), input->u32());
            break;
        case kCloseAll:
            for (std::uint32_t s = 0; s < config.streamCount; ++s) {
                setState(s, kStreamClosed);
            }
            break;
        case kClockJump:
            clock += std::int64_t{input->u16()} * 1000000;
            break;
        default:
            break;
        }
        refreshReadIndices();
    }
};

Run* current = nullptr;

std::int64_t fakeNow() {
    return current->clock += 1000000;
}
void onStep() {
    current->step();
}
void onYield() {
    current->step();
}
// A quiet spell's sleep is one more step of the producer, on the fake clock.
void onSleep(std::int64_t) {
    current->step();
}

// Inaccessible pages around the renderer's view. Before the attach, a hole of exactly the view's
// size is left below a guard; the kernel, handing out addresses from the top down, usually puts
// the view into it. Below the view a guard is claimed where nothing is mapped yet.
struct Guards {
    std::vector<std::pair<void*, std::size_t>> pages;

    static std::size_t pageSize() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
    static std::size_t rounded(std::uint64_t bytes) {
        return static_cast<std::size_t>((bytes + pageSize() - 1) / pageSize() * pageSize());
    }

    // Call right before the view of `bytes` bytes is mapped.
    void prepare(std::uint64_t bytes) {
        const std::size_t hole = rounded(bytes);
        void* at =
            ::mmap(nullptr, hole + 4 * pageSize(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED) {
            ::munmap(at, hole);
            pages.emplace_back(static_cast<std::byte*>(at) + hole, 4 * pageSize());
        }
    }

    // Call once the view is mapped.
    void surround(std::byte* view) {
        const auto below = reinterpret_cast<std::uintptr_t>(view) - 4 * pageSize();
        void* guard = ::mmap(reinterpret_cast<void*>(below), 4 * pageSize(), PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (guard == reinterpret_cast<void*>(below)) {
            pages.emplace_back(guard, 4 * pageSize());
        } else if (guard != MAP_FAILED) {
            ::munmap(guard, 4 * pageSize()); // an old kernel placed it elsewhere
        }
    }

    // True when the page right after the view is a guard.
    bool after(std::byte* view, std::uint64_t bytes) const {
        const std::byte* end = view + rounded(bytes);
        for (const auto& [at, length] : pages) {
            if (at == end) {
                return true;
            }
        }
        return false;
    }

    Guards() = default;
    Guards(const Guards&) = delete;
    Guards& operator=(const Guards&) = delete;
    ~Guards() {
        for (const auto& [at, length] : pages) {
            ::munmap(at, length);
        }
    }
};
std::string readWhole(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string headerText(const TransportConfig& config, std::uint32_t dataSize) {
    const auto bytes =
        makeWavHeader(config.sampleRate, static_cast<std::uint16_t>(config.channelCount), dataSize);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// One output directory per fuzzing process, under a name no one can guess (the process id in
// it, for the stage script: libFuzzer ends the process without running exit handlers, so the
// script removes it afterwards).
const std::filesystem::path& outputRoot() {
    static const std::filesystem::path root = [] {
        platform::ErrorOr<std::filesystem::path> made =
            platform::createPrivateDirectory(std::filesystem::temp_directory_path(),
                                             "vaskel-fuzz-" + std::to_string(::getpid()) + "-");
        FUZZ_CHECK(static_cast<bool>(made));
        return *made;
    }();
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader input(data, size);
    TransportConfig config{};
    config.streamCount = 1 + input.u8() % 4;
    config.slotsPerStream = 1 + input.u8() % 4;
    config.framesPerChunk = 1 + input.u16() % kMaxFramesPerChunk;
    config.channelCount = 1 + input.u8() % 2;
    config.sampleRate = input.u32();
    if (config.sampleRate == 0) {
        config.sampleRate = 48000;
    }
    const std::uint8_t flags = input.u8();
    const std::uint64_t start = input.u64();
    const std::uint16_t span = input.u16();
    if ((flags & 1) != 0) {
        // A declared range, kept clear of the top so start + span cannot wrap.
        config.logicalStartFrame = start >> 1;
        config.logicalEndFrame = config.logicalStartFrame + span;
        if (config.logicalEndFrame == 0) {
            config.logicalStartFrame = 0;
        }
    }
    config.reserved = flags;
    const std::uint32_t idleMs = 1 + input.u8() % 64;
    const std::uint32_t before = input.u8() % 8;

    static std::uint64_t counter = 0;
    const std::string name =
        "vaskel-fuzz-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    vaskel::testing::removeRegionName(name); // left by an earlier run that crashed
    producer::TransportProducer producer;
    FUZZ_CHECK(producer.create(name, config));
    Guards guards;
    guards.prepare(regionSize(config));
    TransportMapping mapping;
    FUZZ_CHECK(mapping.attach(name));
    FUZZ_CHECK(mapping.viewSize() == regionSize(config));
    guards.surround(mapping.view());

    Run run;
    run.input = &input;
    run.producer = &producer;
    run.config = config;
    run.size = regionSize(config);
    run.shadow.assign(reinterpret_cast<const std::uint8_t*>(producer.view()),
                      reinterpret_cast<const std::uint8_t*>(producer.view()) + run.size);
    run.cursors.assign(config.streamCount, StreamCursor{});
    for (StreamCursor& cursor : run.cursors) {
        cursor.nextFrame = config.logicalStartFrame;
    }
    run.knownReadIndex.assign(config.streamCount, 0);
    run.expectedData.assign(config.streamCount, std::string());
    run.consumedChunks.assign(config.streamCount, 0);
    current = &run;
    for (std::uint32_t i = 0; i < before; ++i) {
        run.step();
    }

    std::error_code error;
    std::filesystem::remove_all(outputRoot(), error);
    const CaptureResult result =
        runCapture(mapping, outputRoot(), 0, idleMs,
                   CaptureEnvironment{.now = &fakeNow,
                                      .yield = &onYield,
                                      .sleep = CaptureEnvironment::Sleep{&onSleep, 0},
                                      .onChunk = &onStep});
    run.observeConsumption();
    current = nullptr;
    if (std::getenv("VASKEL_FUZZ_VERBOSE") != nullptr) {
        std::fprintf(stderr, "streams %u slots %u: %s after %llu chunks, view %s\n",
                     config.streamCount, config.slotsPerStream, failureCodeName(result.failureCode),
                     static_cast<unsigned long long>(result.streams[0].writtenChunks),
                     guards.after(mapping.view(), mapping.viewSize()) ? "guarded" : "not guarded");
    }

    // The result agrees with itself.
    FUZZ_CHECK(result.success == (result.failureCode == 0));
    FUZZ_CHECK(result.streamCount == config.streamCount);
    for (std::uint32_t s = config.streamCount; s < kMaxStreamStats; ++s) {
        FUZZ_CHECK(result.streams[s].writtenChunks == 0 && result.streams[s].writtenFrames == 0);
    }
    const TransportHeader& header = headerAt(producer.view());
    if (result.success) {
        FUZZ_CHECK(header.consumerState == kConsumerCompleted);
    }

    // Nothing in the region changed but the renderer's own three fields.
    std::vector<std::uint8_t> now(reinterpret_cast<const std::uint8_t*>(producer.view()),
                                  reinterpret_cast<const std::uint8_t*>(producer.view()) +
                                      run.size);
    const auto blank = [&](std::uint64_t offset, std::size_t length) {
        std::memset(now.data() + offset, 0, length);
        std::memset(run.shadow.data() + offset, 0, length);
    };
    blank(offsetof(TransportHeader, consumerState), 4);
    blank(offsetof(TransportHeader, failureCode), 4);
    for (std::uint32_t s = 0; s < config.streamCount; ++s) {
        blank(controlBlockOffset(s) + offsetof(StreamControlBlock, readIndex), 8);
    }
    FUZZ_CHECK(now == run.shadow);

    // The files hold exactly what was consumed, behind a header of the validated configuration.
    for (std::uint32_t s = 0; s < config.streamCount; ++s) {
        const StreamStats& stats = result.streams[s];
        FUZZ_CHECK(stats.writtenChunks == run.consumedChunks[s]);
        FUZZ_CHECK(stats.writtenFrames * config.channelCount * 4 == run.expectedData[s].size());
        const std::string file = readWhole(streamFilePath(outputRoot(), s));
        FUZZ_CHECK(file.size() == 44 + run.expectedData[s].size());
        const std::string head = file.substr(0, 44);
        const auto dataSize = static_cast<std::uint32_t>(run.expectedData[s].size());
        if (result.success) {
            FUZZ_CHECK(head == headerText(config, dataSize));
        } else {
            // Only a range mismatch finalises some streams before it stops.
            FUZZ_CHECK(head == headerText(config, 0) ||
                       (result.failureCode ==
                            static_cast<std::uint32_t>(FailureCode::LogicalRangeMismatch) &&
                        head == headerText(config, dataSize)));
        }
        FUZZ_CHECK(file.compare(44, std::string::npos, run.expectedData[s]) == 0);
    }
    FUZZ_CHECK(!std::filesystem::exists(streamFilePath(outputRoot(), config.streamCount), error));
    return 0;
}
