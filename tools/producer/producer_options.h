// The command line of vaskel_producer: what to create, what to render, how to publish it, which
// fault to inject, whether to start the renderer, or which finished capture to verify.
#pragma once

#include "platform/text.h"
#include "tools/producer/faults.h"
#include "transport/transport_layout.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::producer_tool {

enum class SignalKind { Sine, Pattern };
enum class ChunkMode { Fixed, Random };

// What the signal in the files depends on: a run and a later --verify must agree on these.
struct SignalSettings {
    SignalKind kind = SignalKind::Sine;
    std::uint32_t streams = 8;
    std::uint32_t channels = 2;
    std::uint32_t sampleRate = 48000;
    std::uint64_t startFrame = 0;
    std::uint64_t frames = 480000; // per stream
    std::uint64_t endFrame = 0;    // declared logical end; 0 = none
};

struct ProducerOptions {
    SignalSettings signal;
    std::uint32_t slots = 16;
    std::uint32_t framesPerChunk = 1024;
    ChunkMode chunks = ChunkMode::Fixed;
    std::uint64_t seed = 1;
    double pace = 0; // 0 = as fast as the renderer drains; 1 = real time
    std::uint32_t timeoutMs = 60000;

    FaultKind fault = FaultKind::None;
    std::uint32_t faultStream = 0;
    std::uint64_t faultChunk = 1;
    std::uint32_t faultCode = 2;

    platform::NativeString mappingName;
    std::filesystem::path rendererPath; // empty: no renderer child
    std::vector<platform::NativeString> rendererArguments;
    std::filesystem::path verifyRoot;

    // The configuration the region is created with (before any fault changes it).
    transport::TransportConfig config() const;
};

enum class Mode { Help, Version, Run, Verify, Error };

struct ParsedCommandLine {
    Mode mode = Mode::Error;
    ProducerOptions options;
    std::string error; // names the offending option
};

// `arguments` are the words after the program name.
[[nodiscard]] ParsedCommandLine
parseProducerCommandLine(const std::vector<platform::NativeString>& arguments);

// The --help text.
const std::string& producerHelp();

// The --version line, "vaskel_producer <version>".
const std::string& producerVersion();

// Plain text of a native word for messages; characters outside ASCII become '?'.
std::string toDisplay(platform::NativeStringView word);

} // namespace vaskel::producer_tool
