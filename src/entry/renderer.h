// The renderer process from its command line to its exit code.
#pragma once

#include "platform/text.h"
#include "transport/transport_mapping.h"

#include <atomic>
#include <vector>

namespace vaskel {

// Retries attach every 2 ms until it succeeds (true) or the timeout has passed (false). At
// least one attempt is made unless `stop` is already set; once it is set the wait ends (false).
bool waitForRegion(transport::TransportMapping& mapping, const platform::NativeString& name,
                   std::uint32_t mappingOpenTimeoutMs, const std::atomic<bool>* stop = nullptr);

// `arguments` are the words after the program name; returns the process's exit code. `stop`,
// set from an interrupt, ends the attach wait or the capture early with "interrupted", 130.
int runRenderer(const std::vector<platform::NativeString>& arguments,
                const std::atomic<bool>* stop = nullptr);

} // namespace vaskel
