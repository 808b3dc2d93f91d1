#include "config/RecordConfig.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace {

using nlohmann::json;

// Thrown inside decoding only; turned into a rejection at the top.
struct Invalid {};

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string requiredString(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value || !value->is_string()) throw Invalid{};
  return value->get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) throw Invalid{};
  return value->get<std::string>();
}

std::optional<bool> optionalBool(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return std::nullopt;
  if (!value->is_boolean()) throw Invalid{};
  return value->get<bool>();
}

// An integral JSON number within [min, max]. Whole floating values (30.0)
// count; the range test is done on the exact integer or on a double that is
// known to be integral and inside the type's range.
template <typename T>
std::optional<T> optionalInteger(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return std::nullopt;
  constexpr auto min = std::numeric_limits<T>::min();
  constexpr auto max = std::numeric_limits<T>::max();
  if (value->is_number_unsigned()) {
    auto v = value->get<uint64_t>();
    if (v > static_cast<uint64_t>(max)) throw Invalid{};
    return static_cast<T>(v);
  }
  if (value->is_number_integer()) {
    auto v = value->get<int64_t>();
    if (v < static_cast<int64_t>(min)) throw Invalid{};
    if (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(max)) throw Invalid{};
    return static_cast<T>(v);
  }
  if (value->is_number_float()) {
    double v = value->get<double>();
    if (!std::isfinite(v) || std::trunc(v) != v) throw Invalid{};
    // 2^63 and 2^32 are exact doubles; the largest value is below them.
    const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
    const double lower = static_cast<double>(min);
    if (v < lower || v >= upper) throw Invalid{};
    return static_cast<T>(v);
  }
  throw Invalid{};
}

double requiredNumber(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value || !value->is_number()) throw Invalid{};
  return value->get<double>();
}

std::optional<Area> optionalArea(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return std::nullopt;
  if (!value->is_object()) throw Invalid{};
  return Area{requiredNumber(*value, "x"), requiredNumber(*value, "y"), requiredNumber(*value, "width"),
              requiredNumber(*value, "height")};
}

std::optional<std::vector<std::string>> optionalStrings(const json& object, const char* key) {
  const json* value = member(object, key);
  if (!value) return std::nullopt;
  if (!value->is_array()) throw Invalid{};
  std::vector<std::string> strings;
  for (const json& element : *value) {
    if (!element.is_string()) throw Invalid{};
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

}  // namespace

std::variant<RecordConfig, ConfigRejection> decodeRecordConfig(const std::string& line) {
  const ConfigRejection invalid{kInvalidConfigurationMessage};
  // Parse errors (including trailing text) are reported, not thrown.
  json object = json::parse(line, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return invalid;

  RecordConfig cfg;
  try {
    cfg.outputDir = requiredString(object, "outputDir");
    cfg.mode = requiredString(object, "mode");
    cfg.displayId = optionalInteger<uint32_t>(object, "displayId");
    cfg.windowId = optionalInteger<uint32_t>(object, "windowId");
    cfg.area = optionalArea(object, "area");
    cfg.fps = optionalInteger<int64_t>(object, "fps");
    cfg.systemAudio = optionalBool(object, "systemAudio");
    cfg.microphone = optionalBool(object, "microphone");
    cfg.microphoneId = optionalString(object, "microphoneId");
    cfg.excludeBundleIds = optionalStrings(object, "excludeBundleIds");
    cfg.captureKeystrokes = optionalBool(object, "captureKeystrokes");
    cfg.hideDesktopIcons = optionalBool(object, "hideDesktopIcons");
    cfg.minFreeDiskBytes = optionalInteger<int64_t>(object, "minFreeDiskBytes");
  } catch (const Invalid&) {
    return invalid;
  }
  if (cfg.mode == "window" && !cfg.windowId) return ConfigRejection{kMissingWindowIdMessage};
  return cfg;
}

std::variant<RecordConfig, ConfigRejection> readRecordConfig(platform::LineReader& reader) {
  std::string line;
  if (reader.readLine(line, kMaxConfigurationLineBytes) != platform::LineReader::Status::line)
    return ConfigRejection{kInvalidConfigurationMessage};
  return decodeRecordConfig(line);
}
