// The byte layout of the shared region between a producer and the renderer, its constants and
// checks, and the one place where each shared field's memory ordering is fixed. Both sides go
// through the accessors at the end of this file, so a field is read and written with the same
// ordering everywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vaskel::transport {

inline constexpr std::uint32_t kProtocolVersion = 3;
inline constexpr std::uint64_t kHeaderSize = 64;
inline constexpr std::uint64_t kControlBlockSize = 64;
inline constexpr std::uint64_t kChunkHeaderSize = 32;
inline constexpr std::uint64_t kPayloadSize = 16384;
inline constexpr std::uint64_t kSlotSize = kChunkHeaderSize + kPayloadSize;
inline constexpr std::uint32_t kBitsPerSample = 32;
inline constexpr std::uint32_t kBytesPerSample = kBitsPerSample / 8;
inline constexpr std::uint32_t kMaxStreams = 128;
inline constexpr std::uint32_t kMaxSlotsPerStream = 64;
inline constexpr std::uint32_t kMaxFramesPerChunk = 2048;
inline constexpr std::uint32_t kMaxChannels = 2;

// producerState: the producer has initialised the header and accepts a consumer.
inline constexpr std::uint32_t kProducerReady = 1;
// consumerState values.
inline constexpr std::uint32_t kConsumerAttached = 1;
inline constexpr std::uint32_t kConsumerCompleted = 2;
inline constexpr std::uint32_t kConsumerFailed = 3;
// streamState values; anything else is an open stream.
inline constexpr std::uint32_t kStreamOpen = 0;
inline constexpr std::uint32_t kStreamClosed = 2;
inline constexpr std::uint32_t kStreamAborted = 3;

struct TransportConfig {
    std::uint32_t streamCount;
    std::uint32_t slotsPerStream;
    std::uint32_t framesPerChunk;
    std::uint32_t channelCount;
    std::uint32_t sampleRate;
    std::uint32_t reserved;
    std::uint64_t logicalStartFrame;
    std::uint64_t logicalEndFrame; // exclusive; 0 = no end declared
};

struct TransportHeader {
    std::uint32_t protocolVersion;
    std::uint32_t reserved0;
    TransportConfig config;
    std::uint32_t producerState;
    std::uint32_t consumerState;
    std::uint32_t failureCode;
    std::uint32_t reserved1;
};

struct StreamControlBlock {
    std::uint32_t streamState;
    std::uint32_t reserved0;
    std::uint64_t writeIndex;
    std::uint64_t readIndex;
    std::uint64_t maxOccupancy;
    std::uint8_t reserved1[32];
};

struct ChunkHeader {
    std::uint32_t streamId;
    std::uint32_t frameCount;
    std::uint32_t channelCount;
    std::uint32_t bitsPerSample;
    std::uint64_t sequence;
    std::uint64_t firstFrame;
};

struct ChunkSlot {
    ChunkHeader header;
    std::byte payload[kPayloadSize];
};

static_assert(sizeof(TransportConfig) == 40);
static_assert(offsetof(TransportConfig, streamCount) == 0);
static_assert(offsetof(TransportConfig, slotsPerStream) == 4);
static_assert(offsetof(TransportConfig, framesPerChunk) == 8);
static_assert(offsetof(TransportConfig, channelCount) == 12);
static_assert(offsetof(TransportConfig, sampleRate) == 16);
static_assert(offsetof(TransportConfig, reserved) == 20);
static_assert(offsetof(TransportConfig, logicalStartFrame) == 24);
static_assert(offsetof(TransportConfig, logicalEndFrame) == 32);

static_assert(sizeof(TransportHeader) == kHeaderSize);
static_assert(offsetof(TransportHeader, protocolVersion) == 0);
static_assert(offsetof(TransportHeader, reserved0) == 4);
static_assert(offsetof(TransportHeader, config) == 8);
static_assert(offsetof(TransportHeader, producerState) == 48);
static_assert(offsetof(TransportHeader, consumerState) == 52);
static_assert(offsetof(TransportHeader, failureCode) == 56);
static_assert(offsetof(TransportHeader, reserved1) == 60);

static_assert(sizeof(StreamControlBlock) == kControlBlockSize);
static_assert(offsetof(StreamControlBlock, streamState) == 0);
static_assert(offsetof(StreamControlBlock, writeIndex) == 8);
static_assert(offsetof(StreamControlBlock, readIndex) == 16);
static_assert(offsetof(StreamControlBlock, maxOccupancy) == 24);
static_assert(offsetof(StreamControlBlock, reserved1) == 32);

static_assert(sizeof(ChunkHeader) == kChunkHeaderSize);
static_assert(offsetof(ChunkHeader, streamId) == 0);
static_assert(offsetof(ChunkHeader, frameCount) == 4);
static_assert(offsetof(ChunkHeader, channelCount) == 8);
static_assert(offsetof(ChunkHeader, bitsPerSample) == 12);
static_assert(offsetof(ChunkHeader, sequence) == 16);
static_assert(offsetof(ChunkHeader, firstFrame) == 24);

static_assert(sizeof(ChunkSlot) == kSlotSize);
static_assert(offsetof(ChunkSlot, payload) == kChunkHeaderSize);
static_assert(kMaxFramesPerChunk * kMaxChannels * kBytesPerSample == kPayloadSize);

static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment == alignof(std::uint64_t));

// True exactly when every configuration field is within its bounds.
constexpr bool isValidConfig(const TransportConfig& config) {
    return config.streamCount >= 1 && config.streamCount <= kMaxStreams &&
           config.slotsPerStream >= 1 && config.slotsPerStream <= kMaxSlotsPerStream &&
           config.framesPerChunk >= 1 && config.framesPerChunk <= kMaxFramesPerChunk &&
           config.channelCount >= 1 && config.channelCount <= kMaxChannels &&
           config.sampleRate != 0 && config.logicalStartFrame <= config.logicalEndFrame;
}

// Bytes the region of a configuration occupies; 0 for an invalid configuration.
constexpr std::uint64_t regionSize(const TransportConfig& config) {
    if (!isValidConfig(config)) {
        return 0;
    }
    return (std::uint64_t{config.slotsPerStream} * kSlotSize + kControlBlockSize) *
               config.streamCount +
           kHeaderSize;
}

constexpr std::uint64_t controlBlockOffset(std::uint32_t stream) {
    return kHeaderSize + kControlBlockSize * stream;
}

// Offset of the slot that holds chunk number `chunk` of `stream`.
constexpr std::uint64_t slotOffset(const TransportConfig& config, std::uint32_t stream,
                                   std::uint64_t chunk) {
    return kHeaderSize + kControlBlockSize * config.streamCount +
           (std::uint64_t{stream} * config.slotsPerStream + chunk % config.slotsPerStream) *
               kSlotSize;
}

// Bytes a chunk of `frameCount` frames occupies in its slot's payload. Within the payload for
// every chunk that passes the checks (frameCount <= framesPerChunk <= 2048, channels <= 2).
constexpr std::uint64_t chunkPayloadBytes(std::uint32_t channelCount, std::uint32_t frameCount) {
    return std::uint64_t{channelCount} * frameCount * kBytesPerSample;
}

// Typed places inside a mapped region. `base` is the first byte of the view; callers keep
// `stream` below the streamCount the view was sized by.
inline TransportHeader& headerAt(std::byte* base) {
    return *reinterpret_cast<TransportHeader*>(base);
}
inline StreamControlBlock& controlBlockAt(std::byte* base, std::uint32_t stream) {
    return *reinterpret_cast<StreamControlBlock*>(base + controlBlockOffset(stream));
}
inline ChunkSlot& slotAt(std::byte* base, const TransportConfig& config, std::uint32_t stream,
                         std::uint64_t chunk) {
    return *reinterpret_cast<ChunkSlot*>(base + slotOffset(config, stream, chunk));
}

// --- shared fields, each with the one ordering both sides use ---------------------------------

// producerState: written by the producer last, after the header (release); read by the renderer
// before any other header field (acquire).
inline std::uint32_t loadProducerState(TransportHeader& header) {
    return std::atomic_ref<std::uint32_t>(header.producerState).load(std::memory_order_acquire);
}
inline void storeProducerState(TransportHeader& header, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(header.producerState).store(value, std::memory_order_release);
}

// consumerState: written by the renderer only (release); the producer reads it (acquire).
inline void storeConsumerState(TransportHeader& header, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(header.consumerState).store(value, std::memory_order_release);
}
inline std::uint32_t loadConsumerState(TransportHeader& header) {
    return std::atomic_ref<std::uint32_t>(header.consumerState).load(std::memory_order_acquire);
}

// failureCode: set by either side only from 0, so the first failure stays.
inline std::uint32_t loadFailureCode(TransportHeader& header) {
    return std::atomic_ref<std::uint32_t>(header.failureCode).load(std::memory_order_acquire);
}
// Returns true when this call set the code; a failed exchange is not retried.
inline bool publishFailureCode(TransportHeader& header, std::uint32_t code) {
    std::uint32_t expected = 0;
    return std::atomic_ref<std::uint32_t>(header.failureCode)
        .compare_exchange_strong(expected, code, std::memory_order_seq_cst);
}

// streamState: written by the producer (release) after the stream's last writeIndex store.
inline std::uint32_t loadStreamState(StreamControlBlock& block) {
    return std::atomic_ref<std::uint32_t>(block.streamState).load(std::memory_order_acquire);
}
inline void storeStreamState(StreamControlBlock& block, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(block.streamState).store(value, std::memory_order_release);
}

// writeIndex: the producer releases a chunk's slot contents with it; the renderer acquires them.
inline std::uint64_t loadWriteIndex(StreamControlBlock& block) {
    return std::atomic_ref<std::uint64_t>(block.writeIndex).load(std::memory_order_acquire);
}
inline void storeWriteIndex(StreamControlBlock& block, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(block.writeIndex).store(value, std::memory_order_release);
}

// readIndex: the renderer releases a consumed slot with it; the producer acquires it before it
// reuses the slot. The renderer, its only writer, reads its own value without ordering.
inline std::uint64_t loadOwnReadIndex(StreamControlBlock& block) {
    return std::atomic_ref<std::uint64_t>(block.readIndex).load(std::memory_order_relaxed);
}
inline std::uint64_t loadReadIndex(StreamControlBlock& block) {
    return std::atomic_ref<std::uint64_t>(block.readIndex).load(std::memory_order_acquire);
}
inline void storeReadIndex(StreamControlBlock& block, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(block.readIndex).store(value, std::memory_order_release);
}

// maxOccupancy: the producer's high-water mark, relayed unchanged by the renderer.
inline std::uint64_t loadMaxOccupancy(StreamControlBlock& block) {
    return std::atomic_ref<std::uint64_t>(block.maxOccupancy).load(std::memory_order_acquire);
}
inline void storeMaxOccupancy(StreamControlBlock& block, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(block.maxOccupancy).store(value, std::memory_order_release);
}

} // namespace vaskel::transport
