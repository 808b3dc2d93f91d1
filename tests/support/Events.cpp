#include "support/Events.h"

#include <gtest/gtest.h>

namespace testing_support {

std::vector<std::string> eventNames(const std::vector<nlohmann::json>& events) {
  std::vector<std::string> names;
  for (const auto& event : events) names.push_back(event.is_object() ? event.value("event", "<document>") : "<not an object>");
  return names;
}

std::vector<nlohmann::json> readEventsToEnd(HostProcess& host, std::chrono::milliseconds timeout) {
  std::vector<nlohmann::json> events;
  for (const std::string& line : host.readRemainingLines(timeout)) {
    auto value = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(value.is_object()) << "not a JSON object: " << line;
    events.push_back(value.is_discarded() ? nlohmann::json(line) : value);
  }
  EXPECT_TRUE(host.outputEnded()) << "the output did not end; so far: " << nlohmann::json(events).dump();
  return events;
}

std::vector<nlohmann::json> expectEvents(HostProcess& host, const std::vector<std::string>& names,
                                         std::chrono::milliseconds timeout) {
  std::vector<nlohmann::json> events = readEventsToEnd(host, timeout);
  EXPECT_EQ(eventNames(events), names) << nlohmann::json(events).dump();
  return events;
}

void expectNoMoreOutput(HostProcess& host, std::chrono::milliseconds timeout) {
  const std::vector<nlohmann::json> late = readEventsToEnd(host, timeout);
  EXPECT_TRUE(late.empty()) << "output after the final event: " << nlohmann::json(late).dump();
}

}  // namespace testing_support
