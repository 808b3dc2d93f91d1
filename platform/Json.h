// JSON text as the agent writes it everywhere (standard output, logs,
// metadata.json): "/" is written as "\/", and a value with no JSON form (a
// non-finite number, a string that is not valid UTF-8) makes the whole
// message unserialisable rather than being altered.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace platform {

// Compact text, or nothing when the message has no JSON form.
std::optional<std::string> serializeJson(const nlohmann::json& message);
// Pretty-printed text (two-space indent), or nothing.
std::optional<std::string> serializePrettyJson(const nlohmann::json& message);

}  // namespace platform
