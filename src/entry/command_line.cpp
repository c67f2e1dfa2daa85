#include "entry/command_line.h"

#include "transport/transport_layout.h"

#include <vaskel/version.h>

namespace vaskel {

std::string capabilityAnswer() {
    return "{\"protocolVersion\":" + std::to_string(transport::kProtocolVersion) +
           ",\"maximumStreams\":" + std::to_string(transport::kMaxStreams) + "}\n";
}

std::string helpText() {
    return std::string(kUsageLine) +
           "       vaskel_renderer --transport-capacity | --help | --version\n"
           "\n"
           "Captures the audio a producer publishes into the shared-memory region <mapping-name>:\n"
           "one 32-bit float WAV file per stream (stream-<i>.wav) and render-progress.json in\n"
           "<output-root>, then one summary line per stream on standard output.\n"
           "\n"
           "Options:\n"
           "  delay-us                 pause after every chunk, in microseconds (default 0)\n"
           "  idle-timeout-ms          fail with producer_abort when no chunk arrives for this\n"
           "                           long (default 30000; 0 is refused)\n"
           "  mapping-open-timeout-ms  how long to wait for the region (default 30000; 0 is\n"
           "                           refused)\n"
           "  --transport-capacity     print the transport this renderer speaks, as JSON\n"
           "  --help                   print this text\n"
           "  --version                print the version\n"
           "\n"
           "Exit status: 0 complete (or a query answered), 2 bad command line, 3 no region in\n"
           "time, 4 the capture failed (its failure name on standard error), 130 interrupted.\n";
}

std::string versionText() {
    return "vaskel_renderer " VASKEL_VERSION_STRING "\n";
}

std::uint32_t parseNumber(const platform::NativeString& word) {
    return parseU32<char>(platform::asciiNumberWord(word));
}

Command parseCommandLine(const std::vector<platform::NativeString>& arguments) {
    Command command;
    if (arguments.size() == 1 &&
        arguments[0] == platform::nativeFromAscii("--transport-capacity")) {
        command.kind = CommandKind::Capability;
        return command;
    }
    // A region cannot sensibly be named like an option, so these two lone words are queries.
    if (arguments.size() == 1 && arguments[0] == platform::nativeFromAscii("--help")) {
        command.kind = CommandKind::Help;
        return command;
    }
    if (arguments.size() == 1 && arguments[0] == platform::nativeFromAscii("--version")) {
        command.kind = CommandKind::Version;
        return command;
    }
    if (arguments.size() < 2 || arguments.size() > 5) {
        command.kind = CommandKind::Usage;
        return command;
    }
    RunSettings& settings = command.settings;
    settings.mappingName = arguments[0];
    settings.outputRoot = arguments[1];
    if (arguments.size() > 2) {
        settings.delayUs = parseNumber(arguments[2]);
    }
    if (arguments.size() > 3) {
        settings.idleTimeoutMs = parseNumber(arguments[3]);
        if (settings.idleTimeoutMs == 0) {
            command.kind = CommandKind::IdleTimeoutInvalid;
            return command;
        }
    }
    if (arguments.size() > 4) {
        settings.mappingOpenTimeoutMs = parseNumber(arguments[4]);
        if (settings.mappingOpenTimeoutMs == 0) {
            command.kind = CommandKind::MappingOpenTimeoutInvalid;
            return command;
        }
    }
    command.kind = CommandKind::Run;
    return command;
}

} // namespace vaskel
