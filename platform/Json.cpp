#include "platform/Json.h"

#include <cmath>

namespace platform {

namespace {

bool hasJsonForm(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case nlohmann::json::value_t::object:
    case nlohmann::json::value_t::array:
      for (const auto& member : value)
        if (!hasJsonForm(member)) return false;
      return true;
    default:
      return true;
  }
}

// A slash never occurs inside an escape sequence the writer produces, so
// every slash in the text stands for itself and can be escaped afterwards.
std::string escapeSlashes(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

std::optional<std::string> serialize(const nlohmann::json& message, int indent) {
  if (!hasJsonForm(message)) return std::nullopt;
  try {
    // The strict handler throws on invalid UTF-8 instead of altering it.
    return escapeSlashes(message.dump(indent, ' ', false, nlohmann::json::error_handler_t::strict));
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> serializeJson(const nlohmann::json& message) { return serialize(message, -1); }

std::optional<std::string> serializePrettyJson(const nlohmann::json& message) { return serialize(message, 2); }

}  // namespace platform
