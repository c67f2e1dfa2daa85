// The renderer process from its command line to its exit code.
#pragma once

#include "platform/platform.h"
#include "transport/transport_mapping.h"

#include <vector>

namespace vaskel {

// Retries attach every 2 ms until it succeeds (true) or the timeout has passed (false). At
// least one attempt is made.
bool waitForRegion(transport::TransportMapping& mapping, const platform::NativeString& name,
                   std::uint32_t mappingOpenTimeoutMs);

// `arguments` are the words after the program name; returns the process's exit code.
int runRenderer(const std::vector<platform::NativeString>& arguments);

} // namespace vaskel
