// Reading media files back with the ffprobe and ffmpeg command-line tools,
// as an independent check of what the agent wrote.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
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

// A decoded picture as 8-bit RGB, rows top to bottom.
struct Rgb {
  int r = 0, g = 0, b = 0;
};
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  Rgb at(int x, int y) const;
};
// The picture the video shows at `seconds` of its timeline: the last frame
// presented at or before that time. Nothing when no frame is that early or
// the file cannot be decoded.
std::optional<Picture> pictureAt(const std::string& path, double seconds);
// The colour of pixel (x, y) in every frame, with the frame's presentation
// time in seconds, in presentation order. Empty when the file cannot be
// decoded.
struct PixelSample {
  double time = 0;
  Rgb colour;
};
std::vector<PixelSample> pixelOverTime(const std::string& path, int x, int y);

// The first audio track decoded, its channels mixed to one, at `rate`
// samples per second. The first sample is at the track's start time
// (ffprobe's "start_time" of the stream, the encoder's priming removed).
std::vector<float> audioSamples(const std::string& path, int rate);
// The time in seconds of the first sample whose magnitude reaches `level`.
std::optional<double> firstSampleReaching(const std::vector<float>& samples, int rate, float level);

}  // namespace testing_support
