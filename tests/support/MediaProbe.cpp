#include "support/MediaProbe.h"

#include <algorithm>
#include <cstdio>
#include <sys/wait.h>

namespace testing_support {

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::optional<nlohmann::json> probe(const std::string& path) {
  auto result = runCommand("ffprobe -v error -of json -show_streams -show_format " + shellQuote(path) +
                           " 2>/dev/null");
  if (result.status != 0) return std::nullopt;
  auto value = nlohmann::json::parse(result.output, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::vector<double> videoFrameTimes(const std::string& path) {
  auto result = runCommand("ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries packet=pts_time " +
                           shellQuote(path) + " 2>/dev/null");
  std::vector<double> times;
  size_t start = 0;
  while (start < result.output.size()) {
    size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    std::string line = result.output.substr(start, end - start);
    if (!line.empty() && line != "N/A") times.push_back(std::stod(line));
    start = end + 1;
  }
  std::sort(times.begin(), times.end());
  return times;
}

std::string decodeErrors(const std::string& path) {
  auto result = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f null - 2>&1");
  if (result.status != 0 && result.output.empty()) return "ffmpeg exited with " + std::to_string(result.status);
  return result.output;
}

}  // namespace testing_support
