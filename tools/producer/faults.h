// Every fault vaskel_producer can inject, in one table: its option word, its --help line, where it
// acts and what it does there. Adding a fault is one row and its behaviour.
#pragma once

#include "transport/transport_layout.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::producer {
class TransportProducer;
struct CreateOptions;
} // namespace vaskel::producer

namespace vaskel::producer_tool {

struct SignalSettings;
struct Observation;

enum class FaultKind {
    None,
    SequenceGap,
    Duplicate,
    FrameGap,
    FrameOverlap,
    WrongStreamId,
    WrongChannels,
    ZeroFrames,
    TooManyFrames,
    WrongBits,
    Abort,
    PublishFailure,
    Stall,
    ShortStream,
    HeaderRewrite,
    WrongVersion,
    InvalidConfig,
    ShortRegion,
};

// The chosen chunk as it is about to be published, for a fault that changes it.
struct ChunkAtFault {
    const transport::TransportConfig& config;
    const SignalSettings& signal;
    std::uint32_t stream;
    const transport::ChunkHeader& previous; // the stream's last published chunk
    std::vector<float>& samples;            // the payload, rendered for the right header
};

// One fault. Exactly one of the four actions is set, and which one says where the fault acts.
struct Fault {
    FaultKind kind;
    std::string_view name;
    // The --help text after the name; a "\n" continues it on the next line, under itself.
    std::string_view help;

    // The region as created: what is written into its header and how it is created. Such a
    // fault makes the region unattachable, so nothing is published into it.
    void (*region)(const transport::TransportConfig& config, transport::TransportConfig& written,
                   producer::CreateOptions& create) = nullptr;
    // Instead of the chosen chunk, on its stream, which then publishes nothing more; may report
    // a failure code in `seen`.
    void (*replace)(producer::TransportProducer& producer, std::uint32_t stream,
                    std::uint32_t faultCode, Observation& seen) = nullptr;
    // The chosen chunk is published with the header this changes.
    void (*chunk)(transport::ChunkHeader& header, const ChunkAtFault& at) = nullptr;
    // Once the renderer has attached, before the chosen chunk, which then follows as usual.
    void (*attached)(producer::TransportProducer& producer,
                     const transport::TransportConfig& config) = nullptr;

    // Options the fault needs, checked on the command line.
    bool needsEarlierChunk = false; // it repeats frames of an earlier chunk
    bool needsDeclaredEnd = false;  // it ends a stream short of the declared end
};

// Every fault, in the order of --help; FaultKind::None has no row.
std::span<const Fault> faultTable();

// The row of `kind`; null for FaultKind::None.
const Fault* findFault(FaultKind kind);

// The option word of a fault ("sequence-gap"); "none" for FaultKind::None.
std::string_view faultName(FaultKind kind);
std::optional<FaultKind> faultFromName(std::string_view name);
// Every fault kind but None, in table order.
const std::vector<FaultKind>& allFaults();
// Faults that make the region unattachable; the producer then publishes nothing.
bool faultBlocksAttach(FaultKind kind);

// The lines of --help that list the faults.
std::string faultHelp();

} // namespace vaskel::producer_tool
