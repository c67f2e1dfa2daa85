#include "tools/producer/faults.h"

#include "producer/transport_producer.h"
#include "tools/producer/producer_run.h"
#include "tools/producer/signal_source.h"

#include <array>

namespace vaskel::producer_tool {

using namespace transport;

namespace {

constexpr std::array<Fault, 17> kFaults{{
    {.kind = FaultKind::SequenceGap,
     .name = "sequence-gap",
     .help = "the chunk's sequence number skips one",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.sequence += 1; }},
    {.kind = FaultKind::Duplicate,
     .name = "duplicate",
     .help = "the previous chunk is published again",
     .chunk =
         [](ChunkHeader& header, const ChunkAtFault& at) {
             header = at.previous;
             renderFrames(at.signal, at.stream, header.firstFrame, header.frameCount, at.samples);
         },
     .needsEarlierChunk = true},
    {.kind = FaultKind::FrameGap,
     .name = "frame-gap",
     .help = "the chunk's first frame skips one frame",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.firstFrame += 1; }},
    {.kind = FaultKind::FrameOverlap,
     .name = "frame-overlap",
     .help = "the chunk's first frame repeats one frame",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.firstFrame -= 1; },
     .needsEarlierChunk = true},
    {.kind = FaultKind::WrongStreamId,
     .name = "wrong-stream-id",
     .help = "the chunk names the next stream",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.streamId += 1; }},
    {.kind = FaultKind::WrongChannels,
     .name = "wrong-channels",
     .help = "the chunk claims the other channel count",
     .chunk =
         [](ChunkHeader& header, const ChunkAtFault& at) {
             header.channelCount = at.config.channelCount == 1 ? 2 : 1;
         }},
    {.kind = FaultKind::ZeroFrames,
     .name = "zero-frames",
     .help = "the chunk carries 0 frames",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.frameCount = 0; }},
    {.kind = FaultKind::TooManyFrames,
     .name = "too-many-frames",
     .help = "the chunk carries frames-per-chunk + 1 frames",
     .chunk = [](ChunkHeader& header,
                 const ChunkAtFault& at) { header.frameCount = at.config.framesPerChunk + 1; }},
    {.kind = FaultKind::WrongBits,
     .name = "wrong-bits",
     .help = "the chunk claims 16 bits per sample",
     .chunk = [](ChunkHeader& header, const ChunkAtFault&) { header.bitsPerSample = 16; }},
    {.kind = FaultKind::Abort,
     .name = "abort",
     .help = "the stream is aborted instead",
     .replace = [](producer::TransportProducer& producer, std::uint32_t stream, std::uint32_t,
                   Observation&) { producer.abortStream(stream); }},
    {.kind = FaultKind::PublishFailure,
     .name = "publish-failure",
     .help = "failure code --fault-code is published instead",
     .replace =
         [](producer::TransportProducer& producer, std::uint32_t, std::uint32_t faultCode,
            Observation& seen) {
             seen.ownFailure = producer.publishFailure(faultCode);
             seen.failureCode = producer.failureCode();
         }},
    {.kind = FaultKind::Stall,
     .name = "stall",
     .help = "the stream stops without being closed",
     // Nothing more is published, and the stream is never closed.
     .replace = [](producer::TransportProducer&, std::uint32_t, std::uint32_t, Observation&) {}},
    {.kind = FaultKind::ShortStream,
     .name = "short-stream",
     .help = "the stream is closed instead (short of its end)",
     .replace = [](producer::TransportProducer& producer, std::uint32_t stream, std::uint32_t,
                   Observation&) { producer.closeStream(stream); },
     .needsDeclaredEnd = true},
    {.kind = FaultKind::HeaderRewrite,
     .name = "header-rewrite",
     .help = "the region's configuration is overwritten once\n"
             "the renderer has attached; the chunk follows",
     // What a renderer would see if it read the header again: it must keep the configuration
     // it attached with.
     .attached =
         [](producer::TransportProducer& producer, const TransportConfig& config) {
             TransportConfig& live = producer.header().config;
             live.streamCount = config.streamCount == kMaxStreams ? 1 : config.streamCount + 1;
             live.sampleRate = config.sampleRate == 1 ? 2 : config.sampleRate / 2;
         }},
    {.kind = FaultKind::WrongVersion,
     .name = "wrong-version",
     .help = "protocol version 2",
     .region =
         [](const TransportConfig&, TransportConfig&, producer::CreateOptions& create) {
             create.protocolVersion = kProtocolVersion - 1;
         }},
    {.kind = FaultKind::InvalidConfig,
     .name = "invalid-config",
     .help = "channel count 3",
     .region =
         [](const TransportConfig& config, TransportConfig& written,
            producer::CreateOptions& create) {
             written.channelCount = kMaxChannels + 1;
             create.regionBytes = regionSize(config);
         }},
    {.kind = FaultKind::ShortRegion,
     .name = "short-region",
     .help = "the region is one slot smaller than its size",
     // A whole slot short, so the shortfall survives rounding to pages.
     .region =
         [](const TransportConfig& config, TransportConfig&, producer::CreateOptions& create) {
             create.regionBytes = regionSize(config) - kSlotSize;
         }},
}};

// Where the fault list sits in --help: its rows, and the description that follows the name.
constexpr std::string_view kRowIndent = "                             ";
constexpr std::size_t kNameWidth = 17;

} // namespace

std::span<const Fault> faultTable() {
    return kFaults;
}

const Fault* findFault(FaultKind kind) {
    for (const Fault& fault : kFaults) {
        if (fault.kind == kind) {
            return &fault;
        }
    }
    return nullptr;
}

std::string_view faultName(FaultKind kind) {
    const Fault* fault = findFault(kind);
    return fault != nullptr ? fault->name : "none";
}

std::optional<FaultKind> faultFromName(std::string_view name) {
    for (const Fault& fault : kFaults) {
        if (fault.name == name) {
            return fault.kind;
        }
    }
    return std::nullopt;
}

const std::vector<FaultKind>& allFaults() {
    static const std::vector<FaultKind> faults = [] {
        std::vector<FaultKind> list;
        for (const Fault& fault : kFaults) {
            list.push_back(fault.kind);
        }
        return list;
    }();
    return faults;
}

bool faultBlocksAttach(FaultKind kind) {
    const Fault* fault = findFault(kind);
    return fault != nullptr && fault->region != nullptr;
}

std::string faultHelp() {
    std::string text;
    bool regionFaults = false;
    for (const Fault& fault : kFaults) {
        if (fault.region != nullptr && !regionFaults) {
            text +=
                "                           and, for the whole region (nothing is published):\n";
            regionFaults = true;
        }
        std::string name(fault.name);
        name.resize(kNameWidth, ' ');
        text += std::string(kRowIndent) + name;
        for (const char c : fault.help) {
            text += c;
            if (c == '\n') {
                text += std::string(kRowIndent) + std::string(kNameWidth, ' ');
            }
        }
        text += '\n';
    }
    return text;
}

} // namespace vaskel::producer_tool
