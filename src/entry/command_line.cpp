#include "entry/command_line.h"

#include "transport/transport_layout.h"

namespace vaskel {

std::string capabilityAnswer() {
    return "{\"protocolVersion\":" + std::to_string(transport::kProtocolVersion) +
           ",\"maximumStreams\":" + std::to_string(transport::kMaxStreams) + "}\n";
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
