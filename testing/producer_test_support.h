// Helpers the producer tool's tests share: the tool as a child process, the tool and the
// renderer's capture both in this process, and the tool's closing "outcome=..." line.
#pragma once

#include "capture/capture_result.h"
#include "platform/text.h"
#include "test_support.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vaskel::producer_tool::testing {

using vaskel::testing::linesOf;
using vaskel::testing::nativeWords;
using vaskel::testing::producerPath;
using ToolResult = vaskel::testing::ChildResult;

// Runs vaskel_producer as a child to its end.
ToolResult runTool(const std::vector<std::string>& arguments);

// The key=value pairs of the "outcome=..." line in `out`; empty when there is none.
std::map<std::string, std::string> outcomeLine(const std::string& out);

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

} // namespace vaskel::producer_tool::testing
