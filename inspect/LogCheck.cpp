#include "inspect/LogCheck.h"

#include <cmath>
#include <fstream>
#include <sstream>

namespace inspect {

namespace {

using nlohmann::json;

// Problems reported one by one per log; the rest are counted.
constexpr int kProblemsShown = 3;
// `t` is written rounded to hundredths of a millisecond, the duration is not.
constexpr double kRoundingMs = 0.01;

std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

bool isNumber(const json& record, const char* key) {
  auto found = record.find(key);
  return found != record.end() && found->is_number() && std::isfinite(found->get<double>());
}

bool isOneOf(const json& record, const char* key, std::initializer_list<const char*> values) {
  auto found = record.find(key);
  if (found == record.end() || !found->is_string()) return false;
  for (const char* value : values) {
    if (*found == value) return true;
  }
  return false;
}

// What is wrong with the members of a record of `kind`, or "".
std::string shapeProblem(const json& record, LogKind kind) {
  if (!isNumber(record, "t")) return "has no numeric \"t\"";
  if (kind == LogKind::keys) {
    if (!record.contains("key") || !record["key"].is_string()) return "has no string \"key\"";
    if (!record.contains("modifiers") || !record["modifiers"].is_array()) return "has no \"modifiers\" list";
    for (const json& modifier : record["modifiers"]) {
      if (!modifier.is_string()) return "has a modifier that is not a string";
    }
    if (!record.contains("isRepeat") || !record["isRepeat"].is_boolean()) return "has no boolean \"isRepeat\"";
    return "";
  }
  if (!isNumber(record, "x") || !isNumber(record, "y")) return "has no numeric \"x\" and \"y\"";
  if (!record.contains("cursor") || !record["cursor"].is_string()) return "has no string \"cursor\"";
  if (kind == LogKind::clicks) {
    if (!isOneOf(record, "type", {"mouseDown", "mouseUp"})) return "has no \"type\" mouseDown or mouseUp";
    if (!isOneOf(record, "button", {"left", "right"})) return "has no \"button\" left or right";
  }
  return "";
}

class LineChecker {
 public:
  LineChecker(const LogCheckInput& input, Report& report) : input_(input), report_(report) {}

  void problem(const std::string& checkName, int64_t line, const std::string& message) {
    if (shown_++ < kProblemsShown) report_.add(checkName, input_.file, "line " + std::to_string(line) + ": " + message);
  }
  void finish() {
    if (shown_ > kProblemsShown)
      report_.add(check::logLine, input_.file, std::to_string(shown_ - kProblemsShown) + " more problems in this log.");
  }

 private:
  const LogCheckInput& input_;
  Report& report_;
  int shown_ = 0;
};

}  // namespace

LogReport checkLogText(const LogCheckInput& input, const std::string& text, Report& report,
                       std::set<std::string>& cursorIds, std::vector<json>* records) {
  LogReport summary;
  summary.file = input.file;
  summary.present = true;
  LineChecker lines(input, report);
  std::optional<double> previous;
  int64_t lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    ++lineNumber;
    const size_t end = text.find('\n', start);
    const bool whole = end != std::string::npos;
    const std::string line = text.substr(start, (whole ? end : text.size()) - start);
    start = whole ? end + 1 : text.size();
    if (!whole) {
      lines.problem(check::logLine, lineNumber, "is cut off (no line feed at the end of the file).");
      break;
    }
    const json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
      lines.problem(check::logLine, lineNumber, "is not a JSON object.");
      continue;
    }
    if (std::string shape = shapeProblem(record, input.kind); !shape.empty()) {
      lines.problem(check::logLine, lineNumber, "the record " + shape + ".");
      continue;
    }
    const double t = record["t"].get<double>();
    if (previous && t < *previous)
      lines.problem(check::logOrder, lineNumber,
                    "t " + number(t) + " ms comes after t " + number(*previous) + " ms on the line before.");
    if (t < 0 || (input.durationMs && t > *input.durationMs + kRoundingMs))
      lines.problem(check::logRange, lineNumber,
                    "t " + number(t) + " ms is outside the recording (0 to " +
                        (input.durationMs ? number(*input.durationMs) : std::string("…")) + " ms).");
    previous = t;
    ++summary.records;
    summary.lastMs = t;
    if (record.contains("cursor")) cursorIds.insert(record["cursor"].get<std::string>());
    if (records) records->push_back(record);
  }
  lines.finish();
  return summary;
}

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

}  // namespace inspect
