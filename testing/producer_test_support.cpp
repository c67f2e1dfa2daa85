#include "producer_test_support.h"

#include "capture/capture_loop.h"
#include "entry/renderer.h"
#include "platform/time.h"
#include "tools/producer/producer_run.h"
#include "transport/transport_mapping.h"

#include <atomic>
#include <sstream>
#include <thread>

namespace vaskel::producer_tool::testing {

ToolResult runTool(const std::vector<std::string>& arguments) {
    return vaskel::testing::runChild(producerPath(), nativeWords(arguments));
}

std::map<std::string, std::string> outcomeLine(const std::string& out) {
    std::map<std::string, std::string> pairs;
    for (const std::string& line : linesOf(out)) {
        if (line.rfind("outcome=", 0) != 0) {
            continue;
        }
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, ',')) {
            const std::size_t equals = field.find('=');
            pairs[field.substr(0, equals)] =
                equals == std::string::npos ? std::string() : field.substr(equals + 1);
        }
    }
    return pairs;
}

InProcessResult runInProcess(const std::vector<std::string>& arguments,
                             const std::filesystem::path& outputRoot, std::uint32_t idleTimeoutMs,
                             std::uint32_t mappingOpenTimeoutMs,
                             std::optional<std::uint32_t> interruptAfterMs) {
    const platform::NativeString name = vaskel::testing::uniqueRegionName("inproc");
    std::vector<platform::NativeString> words = nativeWords(arguments);
    words.push_back(name);
    const ParsedCommandLine parsed = parseProducerCommandLine(words);
    InProcessResult result;
    if (parsed.mode != Mode::Run) {
        result.err = parsed.error;
        return result;
    }

    std::atomic<bool> stop{false};
    std::thread renderer([&] {
        transport::TransportMapping mapping;
        if (waitForRegion(mapping, name, mappingOpenTimeoutMs)) {
            result.attached = true;
            std::thread interrupter;
            if (interruptAfterMs) {
                interrupter = std::thread([&] {
                    platform::sleepMilliseconds(*interruptAfterMs);
                    stop.store(true);
                });
            }
            result.capture = runCapture(mapping, outputRoot, 0, idleTimeoutMs);
            if (interrupter.joinable()) {
                interrupter.join();
            }
        }
        mapping.detach();
    });
    std::ostringstream out;
    std::ostringstream err;
    result.exitCode = runProduction(parsed.options, stop, out, err);
    renderer.join();
    result.out = out.str();
    result.err = err.str();
    return result;
}

} // namespace vaskel::producer_tool::testing
