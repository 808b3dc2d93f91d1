#include "config/RecordConfig.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <limits>
#include <string_view>

namespace {

using nlohmann::json;

// Thrown inside decoding only; turned into a rejection at the top.
struct Invalid {};

// The exact value of a JSON number's text when it is whole and its
// magnitude fits 64 bits. Worked on the decimal digits, so that neither
// rounding to a double (-9223372036854775809 would become -2^63) nor a
// fraction too small for a double (30.0000000000000001) can pass for an
// integer.
struct WholeNumber {
  bool negative = false;
  uint64_t magnitude = 0;
};

std::optional<WholeNumber> wholeNumber(std::string_view text) {
  WholeNumber number;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    number.negative = true;
    ++i;
  }
  std::string digits;
  int64_t exponent = 0;  // of the last digit in `digits`
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) digits += text[i];
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      digits += text[i];
      --exponent;
    }
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    int64_t written = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      written = std::min<int64_t>(written * 10 + (text[i] - '0'), int64_t{1} << 40);  // saturates far out of range
    }
    exponent += negativeExponent ? -written : written;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return number;  // zero, however written
  const size_t last = digits.find_last_not_of('0');
  exponent += static_cast<int64_t>(digits.size() - 1 - last);
  digits = digits.substr(first, last - first + 1);
  if (exponent < 0) return std::nullopt;  // a non-zero digit below the units
  if (static_cast<int64_t>(digits.size()) + exponent > 20) return std::nullopt;  // beyond 2^64
  digits.append(static_cast<size_t>(exponent), '0');
  for (char d : digits) {
    const uint64_t digit = static_cast<uint64_t>(d - '0');
    if (number.magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    number.magnitude = number.magnitude * 10 + digit;
  }
  return number;
}

// Builds the document like the library's own reader, except that a number
// the library could only hold as floating point becomes an integer when its
// text denotes a whole value within the 64-bit ranges.
class ConfigReader : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  explicit ConfigReader(json& result) : json_sax_dom_parser(result, false) {}

  bool number_float(double value, const std::string& text) {
    if (std::optional<WholeNumber> whole = wholeNumber(text)) {
      constexpr uint64_t int64Magnitude = uint64_t{1} << 63;
      if (!whole->negative || whole->magnitude == 0) return number_unsigned(whole->magnitude);
      if (whole->magnitude < int64Magnitude) return number_integer(-static_cast<int64_t>(whole->magnitude));
      if (whole->magnitude == int64Magnitude) return number_integer(std::numeric_limits<int64_t>::min());
    }
    return json_sax_dom_parser::number_float(value, text);
  }
};

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

// An integral JSON number within [min, max]. The reader hands over every
// number whose text denotes a whole value within the 64-bit ranges as an
// integer (30.0 and 3e1 included); what is left as floating point has a
// fraction or lies outside every 64-bit range.
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
  json object;
  ConfigReader reader(object);
  if (!json::sax_parse(line, &reader) || reader.is_errored() || !object.is_object()) return invalid;

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
