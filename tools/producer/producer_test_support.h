// Helpers the producer tool's tests share: the tool as a child process, the tool and the
// renderer's capture both in this process, and the tool's closing "outcome=..." line.
#pragma once

#include "capture/capture_result.h"
#include "platform/platform.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vaskel::producer_tool::testing {

// Path of vaskel_producer built beside the test binary.
std::filesystem::path producerPath();

struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs vaskel_producer as a child to its end.
ToolResult runTool(const std::vector<std::string>& arguments);

// The key=value pairs of the "outcome=..." line in `out`; empty when there is none.
std::map<std::string, std::string> outcomeLine(const std::string& out);

// The lines of `text`, without line ends ("\r\n" or "\n").
std::vector<std::string> linesOf(const std::string& text);

struct InProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
    bool attached = false; // the renderer side attached
    CaptureResult capture; // what its runCapture returned
};

// Runs a production with `arguments` (its mapping name is added) while a renderer, attach wait
// and capture as the renderer binary does them, works on a thread of its own. When
// `interruptAfterMs` is set, the production is interrupted that long after the renderer attached.
InProcessResult runInProcess(const std::vector<std::string>& arguments,
                             const std::filesystem::path& outputRoot, std::uint32_t idleTimeoutMs,
                             std::uint32_t mappingOpenTimeoutMs,
                             std::optional<std::uint32_t> interruptAfterMs = std::nullopt);

std::vector<platform::NativeString> nativeWords(const std::vector<std::string>& words);

} // namespace vaskel::producer_tool::testing
