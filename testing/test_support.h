// Helpers the tests share: unique names, scratch directories, files, and the renderer binary
// run as a child process.
#pragma once

#include "platform/platform.h"
#include "transport/transport_layout.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vaskel::testing {

// True when the tests run the Windows build (under Wine), where standard output is in text
// mode and every "\n" reaches a redirected file as "\r\n".
inline constexpr bool kWindowsTarget = std::string_view(VASKEL_EXE_SUFFIX) == ".exe";

// "\n" as the renderer's standard streams write it on this platform.
std::string platformNewlines(std::string_view text);

// A region name no other test (or test process) uses.
platform::NativeString uniqueRegionName(std::string_view tag);

// A fresh empty directory, removed again by the destructor.
class ScratchDir {
public:
    explicit ScratchDir(std::string_view tag);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// The stream file's bytes must be exactly this header followed by the samples.
std::string wavHeaderBytes(std::uint32_t sampleRate, std::uint16_t channels,
                           std::uint32_t dataSize);

transport::TransportConfig makeConfig(std::uint32_t streams, std::uint32_t slots,
                                      std::uint32_t framesPerChunk, std::uint32_t channels = 2,
                                      std::uint32_t sampleRate = 48000,
                                      std::uint64_t startFrame = 0, std::uint64_t endFrame = 0);

// A deterministic sample for (stream, frame, channel), different for every triple nearby.
float patternSample(std::uint32_t stream, std::uint64_t frame, std::uint32_t channel);

// `frames` interleaved frames of the pattern, starting at `firstFrame`.
std::vector<float> patternChunk(std::uint32_t stream, std::uint64_t firstFrame,
                                std::uint32_t frames, std::uint32_t channels);

// Path of the renderer built beside the test binary.
std::filesystem::path rendererPath();

struct ChildResult {
    int exitCode = -1;
    std::string out; // as written, newlines untouched
    std::string err;
};

// The renderer running as a child process with its output captured to files.
class RendererProcess {
public:
    explicit RendererProcess(const std::vector<platform::NativeString>& arguments);
    ~RendererProcess();
    RendererProcess(const RendererProcess&) = delete;
    RendererProcess& operator=(const RendererProcess&) = delete;
    bool started() const { return static_cast<bool>(child_); }
    ChildResult wait();
    void kill();

private:
    ScratchDir dir_;
    platform::ChildProcess child_;
};

// Runs the renderer to its end.
ChildResult runRenderer(const std::vector<platform::NativeString>& arguments);

// Native form of plain text (paths and numbers for a command line).
platform::NativeString native(std::string_view ascii);
platform::NativeString nativePath(const std::filesystem::path& path);

} // namespace vaskel::testing
