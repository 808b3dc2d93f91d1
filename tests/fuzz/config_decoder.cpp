// The configuration decoder on arbitrary bytes as the configuration line.
// Property: the decoder's verdict is the one the decoding rules give, worked
// out here independently from the JSON document and from the exact text of
// each number: a rejection carries code "invalidConfiguration" and one of
// the two messages (the window one exactly when only windowId is missing in
// window mode); an accepted configuration holds the document's values, its
// integers are integral and inside their field's range as written, and
// writing it out again decodes to the same configuration. White space around
// the object changes nothing.
#include "FuzzSupport.h"
#include "config/RecordConfig.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>

using nlohmann::json;

namespace {

// ---- exact numbers -------------------------------------------------------

// A JSON number as written: sign, significant digits and the position of the
// decimal point among them.
struct DecimalNumber {
  bool negative = false;
  std::string digits;  // no leading zeros; empty for zero
  long long point = 0;  // digits[0, point) is the integer part
};

DecimalNumber parseDecimal(const std::string& text) {
  DecimalNumber n;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') n.negative = true, ++i;
  std::string digits;
  long long point = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) digits += text[i], ++point;
  if (i < text.size() && text[i] == '.')
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) digits += text[i];
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    long long exponent = 0;
    for (; i < text.size(); ++i) exponent = std::min(exponent * 10 + (text[i] - '0'), 1LL << 40);
    point += negativeExponent ? -exponent : exponent;
  }
  size_t lead = 0;
  while (lead < digits.size() && digits[lead] == '0') ++lead, --point;
  n.digits = digits.substr(lead);
  while (!n.digits.empty() && n.digits.back() == '0' && static_cast<long long>(n.digits.size()) > point)
    n.digits.pop_back();
  if (n.digits.empty()) n.point = 0, n.negative = false;
  else n.point = point;
  return n;
}

bool isIntegral(const DecimalNumber& n) { return static_cast<long long>(n.digits.size()) <= n.point; }

// |n| <= bound, for an integral n; `bound` is a decimal string.
bool magnitudeAtMost(const DecimalNumber& n, const std::string& bound) {
  if (n.digits.empty()) return true;
  if (n.point != static_cast<long long>(bound.size())) return n.point < static_cast<long long>(bound.size());
  std::string whole = n.digits + std::string(static_cast<size_t>(n.point) - n.digits.size(), '0');
  return whole <= bound;
}

// The integer value of an integral n whose magnitude fits 64 bits.
__int128 integerValue(const DecimalNumber& n) {
  __int128 v = 0;
  for (long long k = 0; k < n.point; ++k)
    v = v * 10 + (k < static_cast<long long>(n.digits.size()) ? n.digits[static_cast<size_t>(k)] - '0' : 0);
  return n.negative ? -v : v;
}

// Records the text of every number that is a direct member of the top-level
// object; the last occurrence of a key counts, as in the parsed document.
class NumberTexts : public nlohmann::json_sax<json> {
 public:
  std::map<std::string, std::string> texts;

  bool null() override { return value(""); }
  bool boolean(bool) override { return value(""); }
  bool number_integer(number_integer_t v) override { return value(std::to_string(v)); }
  bool number_unsigned(number_unsigned_t v) override { return value(std::to_string(v)); }
  bool number_float(number_float_t, const string_t& s) override { return value(s); }
  bool string(string_t&) override { return value(""); }
  bool binary(binary_t&) override { return value(""); }
  bool start_object(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (depth_ == 1) key_ = k;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool value(const std::string& text) {
    if (depth_ == 1) texts[key_] = text;
    return true;
  }
  bool open() {
    if (depth_ == 1) texts[key_] = "";
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }
  int depth_ = 0;
  std::string key_;
};

// ---- the expected verdict -----------------------------------------------

enum class Verdict { accept, invalid, windowMissing };

struct Expectation {
  Verdict verdict = Verdict::invalid;
  RecordConfig cfg;
};

struct Invalid {};

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

// An integer field, judged on the number as written: accepted exactly when
// its text denotes a whole value in the field's range (30.0 and 3e1 are 30;
// 30.0000000000000001 and -9223372036854775809 are rejected, though a double
// would hold them as 30 and -2^63), and taken with that exact value.
template <typename T>
std::optional<T> integerField(const json& object, const char* key, const std::map<std::string, std::string>& texts) {
  const json* v = member(object, key);
  if (!v) return std::nullopt;
  if (!v->is_number()) throw Invalid{};
  const DecimalNumber n = parseDecimal(texts.at(key));
  constexpr bool isSigned = std::numeric_limits<T>::is_signed;
  const std::string bound = !isSigned ? "4294967295" : n.negative ? "9223372036854775808" : "9223372036854775807";
  if (!isIntegral(n)) throw Invalid{};
  if (n.negative && !isSigned) throw Invalid{};
  if (!magnitudeAtMost(n, bound)) throw Invalid{};
  return static_cast<T>(integerValue(n));
}

Expectation expect(const std::string& line) {
  Expectation e;
  json object = json::parse(line, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return e;
  NumberTexts numbers;
  FUZZ_CHECK(json::sax_parse(line, &numbers));

  auto str = [&](const char* key, bool required) -> std::optional<std::string> {
    const json* v = member(object, key);
    if (!v) {
      if (required) throw Invalid{};
      return std::nullopt;
    }
    if (!v->is_string()) throw Invalid{};
    return v->get<std::string>();
  };
  auto boolean = [&](const char* key) -> std::optional<bool> {
    const json* v = member(object, key);
    if (!v) return std::nullopt;
    if (!v->is_boolean()) throw Invalid{};
    return v->get<bool>();
  };
  try {
    RecordConfig& c = e.cfg;
    c.outputDir = *str("outputDir", true);
    c.mode = *str("mode", true);
    c.displayId = integerField<uint32_t>(object, "displayId", numbers.texts);
    c.windowId = integerField<uint32_t>(object, "windowId", numbers.texts);
    if (const json* a = member(object, "area")) {
      if (!a->is_object()) throw Invalid{};
      double f[4];
      const char* names[4] = {"x", "y", "width", "height"};
      for (int k = 0; k < 4; ++k) {
        const json* v = member(*a, names[k]);
        if (!v || !v->is_number()) throw Invalid{};
        f[k] = v->get<double>();
      }
      c.area = Area{f[0], f[1], f[2], f[3]};
    }
    c.fps = integerField<int64_t>(object, "fps", numbers.texts);
    c.systemAudio = boolean("systemAudio");
    c.microphone = boolean("microphone");
    c.microphoneId = str("microphoneId", false);
    if (const json* list = member(object, "excludeBundleIds")) {
      if (!list->is_array()) throw Invalid{};
      c.excludeBundleIds.emplace();
      for (const json& s : *list) {
        if (!s.is_string()) throw Invalid{};
        c.excludeBundleIds->push_back(s.get<std::string>());
      }
    }
    c.captureKeystrokes = boolean("captureKeystrokes");
    c.hideDesktopIcons = boolean("hideDesktopIcons");
    c.minFreeDiskBytes = integerField<int64_t>(object, "minFreeDiskBytes", numbers.texts);
  } catch (const Invalid&) {
    e.verdict = Verdict::invalid;
    return e;
  }
  e.verdict = e.cfg.mode == "window" && !e.cfg.windowId ? Verdict::windowMissing : Verdict::accept;
  return e;
}

// ---- comparing and writing configurations ----------------------------------

bool sameDouble(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool sameConfig(const RecordConfig& a, const RecordConfig& b) {
  auto sameArea = [](const std::optional<Area>& x, const std::optional<Area>& y) {
    if (x.has_value() != y.has_value()) return false;
    return !x || (sameDouble(x->x, y->x) && sameDouble(x->y, y->y) && sameDouble(x->width, y->width) &&
                  sameDouble(x->height, y->height));
  };
  return a.outputDir == b.outputDir && a.mode == b.mode && a.displayId == b.displayId && a.windowId == b.windowId &&
         sameArea(a.area, b.area) && a.fps == b.fps && a.systemAudio == b.systemAudio &&
         a.microphone == b.microphone && a.microphoneId == b.microphoneId &&
         a.excludeBundleIds == b.excludeBundleIds && a.captureKeystrokes == b.captureKeystrokes &&
         a.hideDesktopIcons == b.hideDesktopIcons && a.minFreeDiskBytes == b.minFreeDiskBytes;
}

json toJson(const RecordConfig& c) {
  json j = {{"outputDir", c.outputDir}, {"mode", c.mode}};
  if (c.displayId) j["displayId"] = *c.displayId;
  if (c.windowId) j["windowId"] = *c.windowId;
  if (c.area) j["area"] = {{"x", c.area->x}, {"y", c.area->y}, {"width", c.area->width}, {"height", c.area->height}};
  if (c.fps) j["fps"] = *c.fps;
  if (c.systemAudio) j["systemAudio"] = *c.systemAudio;
  if (c.microphone) j["microphone"] = *c.microphone;
  if (c.microphoneId) j["microphoneId"] = *c.microphoneId;
  if (c.excludeBundleIds) j["excludeBundleIds"] = *c.excludeBundleIds;
  if (c.captureKeystrokes) j["captureKeystrokes"] = *c.captureKeystrokes;
  if (c.hideDesktopIcons) j["hideDesktopIcons"] = *c.hideDesktopIcons;
  if (c.minFreeDiskBytes) j["minFreeDiskBytes"] = *c.minFreeDiskBytes;
  return j;
}

Verdict verdictOf(const std::variant<RecordConfig, ConfigRejection>& result) {
  if (std::holds_alternative<RecordConfig>(result)) return Verdict::accept;
  const ConfigRejection& r = std::get<ConfigRejection>(result);
  FUZZ_CHECK(r.code == "invalidConfiguration");
  FUZZ_CHECK(r.message == kInvalidConfigurationMessage || r.message == kMissingWindowIdMessage);
  return r.message == kMissingWindowIdMessage ? Verdict::windowMissing : Verdict::invalid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const auto result = decodeRecordConfig(line);
  const Verdict verdict = verdictOf(result);
  const Expectation e = expect(line);
  FUZZ_CHECK(verdict == e.verdict);

  const auto padded = decodeRecordConfig(" \t\r\n" + line + "\n\r\t ");
  FUZZ_CHECK(verdictOf(padded) == verdict);
  if (verdict != Verdict::accept) return 0;

  const RecordConfig& cfg = std::get<RecordConfig>(result);
  FUZZ_CHECK(sameConfig(std::get<RecordConfig>(padded), cfg));
  FUZZ_CHECK(sameConfig(cfg, e.cfg));

  // Written out again (area values that are not finite have no JSON form).
  bool finiteArea = !cfg.area || (std::isfinite(cfg.area->x) && std::isfinite(cfg.area->y) &&
                                  std::isfinite(cfg.area->width) && std::isfinite(cfg.area->height));
  if (finiteArea) {
    const auto again = decodeRecordConfig(toJson(cfg).dump());
    FUZZ_CHECK(std::holds_alternative<RecordConfig>(again));
    FUZZ_CHECK(sameConfig(std::get<RecordConfig>(again), cfg));
  }
  return 0;
}
