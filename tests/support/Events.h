// The agent's output as a host reads it to the end: every line one JSON
// object, the last one final, then nothing more until the output closes.
#pragma once

#include "support/HostProcess.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

// The "event" of each line ("<document>" for a line without one).
std::vector<std::string> eventNames(const std::vector<nlohmann::json>& events);

// Every remaining line up to the end of the output, parsed; a line that is
// not a JSON object, or output that does not end in time, fails the test.
std::vector<nlohmann::json> readEventsToEnd(HostProcess& host,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Reads the output to its end and expects exactly the events `names`, in
// order; returns them parsed.
std::vector<nlohmann::json> expectEvents(HostProcess& host, const std::vector<std::string>& names,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// After the final event: nothing more comes before the output ends.
void expectNoMoreOutput(HostProcess& host, std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace testing_support
