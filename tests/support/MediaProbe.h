// Reading media files back with the ffprobe and ffmpeg command-line tools,
// as an independent check of what the agent wrote.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Output and exit status of a shell command (standard error discarded unless
// the command redirects it).
struct CommandResult {
  std::string output;
  int status = -1;
};
CommandResult runCommand(const std::string& command);
std::string shellQuote(const std::string& s);

// ffprobe's streams and format of `path`, or nothing when it cannot read it.
std::optional<nlohmann::json> probe(const std::string& path);
// Presentation times (seconds) of every video frame, in decode order of
// presentation, from the container.
std::vector<double> videoFrameTimes(const std::string& path);
// Errors reported by decoding the whole file; empty when it decodes cleanly.
std::string decodeErrors(const std::string& path);

}  // namespace testing_support
